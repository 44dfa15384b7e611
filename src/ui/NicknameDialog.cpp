#include "NicknameDialog.h"

#include "Fonts.h"
#include "MessageBox.h"
#include "Twips.h"
#include "relay/ChatServer.h"
#include "settings/Settings.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include <limits>

namespace kova {

NicknameDialog::NicknameDialog(ChatServer& server, Settings& settings)
    : QDialog(nullptr, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::MSWindowsFixedSizeDialogHint)
    , m_server(server)
    , m_settings(settings)
{
    setObjectName(QStringLiteral("Form2"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("KV"));
    setWindowIcon(appIcon());
    setModal(false);
    setFixedSize(twips::toPixels(ClientWidth, logicalDpiX()), twips::toPixels(ClientHeight, logicalDpiY()));
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    Text4 = new QLineEdit(m_settings.Nickname, this);
    Text4->setObjectName(QStringLiteral("Text4"));
    Text4->setMaxLength(std::numeric_limits<int>::max());
    Text4->setFont(dialogFont());
    Text4->setGeometry(twips::toPixels(QRect(1800, 120, 3255, 375), *this));

    const QString captions[2] = {QStringLiteral("設定"), QStringLiteral("キャンセル")};
    const QRect places[2] = {QRect(1800, 600, 1575, 615), QRect(3480, 600, 1575, 615)};
    for (int i = 0; i < 2; ++i) {
        Command1[i] = new QPushButton(captions[i], this);
        Command1[i]->setObjectName(QStringLiteral("Command1_%1").arg(i));
        Command1[i]->setGeometry(twips::toPixels(places[i], *this));
        // Enter and Escape in the box press no button.
        Command1[i]->setAutoDefault(false);
        Command1[i]->setDefault(false);
        connect(Command1[i], &QPushButton::clicked, this, [this, i] { Command1Click(i); });
    }

    Label1 = new QLabel(QStringLiteral("ニックネーム"), this);
    Label1->setObjectName(QStringLiteral("Label1_1"));
    Label1->setFont(dialogFont());
    Label1->setGeometry(twips::toPixels(QRect(120, 120, 1575, 375), *this));

    setTabOrder(Text4, Command1[0]);
    setTabOrder(Command1[0], Command1[1]);
    Text4->setFocus(Qt::OtherFocusReason);
}

void NicknameDialog::Command1Click(int index)
{
    if (index == 0) {
        if (Text4->text().isEmpty()) {
            showMessage(this, QStringLiteral("入力を行って下さい。"));
            return;
        }
        m_settings.Nickname = Text4->text();
        m_server.AnnounceNickname(m_settings.Nickname);
    }
    close();
    Q_EMIT finishedWithButton();
}

void NicknameDialog::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

} // namespace kova
