#include "ParticipantMenu.h"

#include "BanListDialog.h"
#include "MessageBox.h"
#include "relay/ChatServer.h"

#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QToolTip>

namespace kova {

ParticipantMenu::ParticipantMenu(ChatServer& server, QListWidget& list)
    : QObject(&list)
    , m_server(server)
    , m_list(list)
{
    m_menu = new QMenu(&list);
    m_menu->setObjectName(QStringLiteral("participantMenu"));
    m_disconnect = m_menu->addAction(QStringLiteral("切断する"));
    m_disconnect->setObjectName(QStringLiteral("disconnectClient"));
    m_ban = m_menu->addAction(QStringLiteral("締め出す..."));
    m_ban->setObjectName(QStringLiteral("banClient"));
    m_menu->addSeparator();
    m_bans = m_menu->addAction(QStringLiteral("締め出したアドレス..."));
    m_bans->setObjectName(QStringLiteral("showBans"));
    connect(m_disconnect, &QAction::triggered, this, &ParticipantMenu::disconnectClient);
    connect(m_ban, &QAction::triggered, this, &ParticipantMenu::askToBan);
    connect(m_bans, &QAction::triggered, this, &ParticipantMenu::showBans);

    m_list.installEventFilter(this);
    m_list.viewport()->installEventFilter(this);
}

ParticipantMenu::~ParticipantMenu()
{
    delete m_banList;
}

bool ParticipantMenu::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::ContextMenu: {
        const auto* request = static_cast<QContextMenuEvent*>(event);
        if (request->reason() == QContextMenuEvent::Keyboard) {
            popup(m_list.currentRow());
        } else {
            const QPoint onViewport = m_list.viewport()->mapFromGlobal(request->globalPos());
            const int row = m_list.indexAt(onViewport).row();
            if (row >= 0)
                m_list.setCurrentRow(row);
            popupAt(row, request->globalPos());
        }
        return true;
    }
    case QEvent::KeyPress: {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool shiftF10 = key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier;
        if (watched != &m_list || !(key->key() == Qt::Key_Menu || shiftF10))
            return false;
        popup(m_list.currentRow());
        return true;
    }
    case QEvent::ToolTip: {
        if (watched != m_list.viewport())
            return false;
        const auto* help = static_cast<QHelpEvent*>(event);
        const QHostAddress address = m_server.clientAddress(m_list.indexAt(help->pos()).row());
        if (address.isNull())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), address.toString(), m_list.viewport());
        return true;
    }
    default:
        return false;
    }
}

void ParticipantMenu::popup(int row)
{
    QRect place = m_list.visualItemRect(m_list.item(row));
    if (!place.isValid())
        place = QRect(QPoint(), m_list.viewport()->size() / 2);
    popupAt(row, m_list.viewport()->mapToGlobal(place.bottomLeft()));
}

void ParticipantMenu::popupAt(int row, const QPoint& globalPosition)
{
    m_slot = row;
    m_address = m_server.clientAddress(row);
    m_name = m_server.nameList().value(row);
    m_connection = m_server.connectionId(row);
    // Row 0 is the operator and an empty row nobody: only the list of banned addresses is there for them.
    m_disconnect->setEnabled(!m_address.isNull());
    m_ban->setEnabled(!m_address.isNull());
    m_menu->popup(globalPosition);
}

// The client may have gone, and somebody else taken its slot, while the menu or the question was open.
bool ParticipantMenu::stillThere(int slot, quint64 connection, const QString& name, const QHostAddress& address) const
{
    if (connection != 0 && m_server.connectionId(slot) == connection)
        return true;
    showMessage(m_list.window(), QStringLiteral("%1（%2）はもう接続していません。").arg(name, address.toString()));
    return false;
}

void ParticipantMenu::disconnectClient()
{
    if (stillThere(m_slot, m_connection, m_name, m_address))
        m_server.disconnectClient(m_slot);
}

void ParticipantMenu::askToBan()
{
    if (!stillThere(m_slot, m_connection, m_name, m_address))
        return;
    auto* box = new QMessageBox(
        QMessageBox::Question, AppTitle,
        QStringLiteral("%1（%2）を締め出しますか？\nサーバが終わるまで、このアドレスからの接続を断ります。")
            .arg(m_name, m_address.toString()),
        QMessageBox::Yes | QMessageBox::No, m_list.window());
    box->setObjectName(QStringLiteral("banConfirmation"));
    box->setDefaultButton(QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    connect(box, &QMessageBox::finished, this,
            [this, slot = m_slot, connection = m_connection, name = m_name, address = m_address](int answer) {
                if (answer == QMessageBox::Yes && stillThere(slot, connection, name, address))
                    m_server.banClient(slot);
            });
    box->open();
}

void ParticipantMenu::showBans()
{
    if (!m_banList)
        m_banList = new BanListDialog(m_server, m_list.window());
    m_banList->show();
    m_banList->raise();
    m_banList->activateWindow();
}

} // namespace kova
