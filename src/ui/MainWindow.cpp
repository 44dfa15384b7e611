#include "MainWindow.h"

#include "Fonts.h"
#include "LogView.h"
#include "MessageBox.h"
#include "NicknameDialog.h"
#include "ParticipantMenu.h"
#include "Twips.h"
#include "relay/ChatServer.h"
#include "settings/Preferences.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QScreen>

namespace kova {

MainWindow::MainWindow(ChatServer& server, const LogText& log, Preferences& preferences, Settings& settings,
                       QWidget* parent)
    : QMainWindow(parent)
    , m_server(server)
    , m_preferences(preferences)
    , m_settings(settings)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(AppTitle);
    setWindowIcon(appIcon());
    buildControls(log);
    buildMenus();

    resize(twips::toPixels(ClientWidth, logicalDpiX()),
           twips::toPixels(ClientHeight, logicalDpiY()) + menuBar()->sizeHint().height());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    connect(&m_server, &ChatServer::nameListRefreshed, this, [this](const QStringList& rows) {
        List1->clear();
        List1->addItems(rows);
    });
    connect(&m_preferences, &Preferences::checksChanged, this, &MainWindow::syncChecks);
    connect(&m_preferences, &Preferences::fontSizeChanged, this, &MainWindow::setPointSize);
}

MainWindow::~MainWindow()
{
    delete m_form2;
}

void MainWindow::buildControls(const LogText& log)
{
    auto* client = new QWidget(this);
    setCentralWidget(client);

    Text3 = new LogView(log, client);
    Text3->setObjectName(QStringLiteral("Text3"));
    List1 = new QListWidget(client);
    List1->setObjectName(QStringLiteral("List1"));
    List1->setSortingEnabled(false);
    Text1 = new QLineEdit(client);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setMaxLength(std::numeric_limits<int>::max());
    connect(Text1, &QLineEdit::returnPressed, this, &MainWindow::onInputReturn);
    new ParticipantMenu(m_server, *List1);

    const QString captions[3] = {QStringLiteral("発言監視"), QStringLiteral("入室者リスト"), QStringLiteral("発言")};
    for (int i = 0; i < 3; ++i) {
        Label1[i] = new QLabel(captions[i], client);
        Label1[i]->setObjectName(QStringLiteral("Label1_%1").arg(i));
        Label1[i]->setFont(labelFont());
        Label1[i]->setFocusPolicy(Qt::NoFocus);
    }
    setTabOrder(Text3, List1);
    setTabOrder(List1, Text1);
    applyLayout();
}

void MainWindow::buildMenus()
{
    auto addAction = [this](QMenu* menu, const char* name, const QString& caption, bool checkable) {
        QAction* action = menu->addAction(caption);
        action->setObjectName(QString::fromLatin1(name));
        action->setCheckable(checkable);
        return action;
    };

    QMenu* files = menuBar()->addMenu(QStringLiteral("ファイル"));
    files->setObjectName(QStringLiteral("Files"));
    FilesChg = addAction(files, "FilesChg", QStringLiteral("ニックネーム変更"), false);
    FilesEnd = addAction(files, "FilesEnd", QStringLiteral("終了"), false);

    QMenu* options = menuBar()->addMenu(QStringLiteral("オプション"));
    options->setObjectName(QStringLiteral("OptionS"));
    QMenu* fontSize = options->addMenu(QStringLiteral("文字サイズ"));
    fontSize->setObjectName(QStringLiteral("OptionFontSize"));
    OptionsFontSizeBig = addAction(fontSize, "OptionsFontSizeBig", QStringLiteral("大"), true);
    OptionsFontSizeMid = addAction(fontSize, "OptionsFontSizeMid", QStringLiteral("中"), true);
    OptionsFontSizeSmall = addAction(fontSize, "OptionsFontSizeSmall", QStringLiteral("小"), true);
    QMenu* sound = options->addMenu(QStringLiteral("音"));
    sound->setObjectName(QStringLiteral("OptionSound"));
    SoundsInOut = addAction(sound, "SoundsInOut", QStringLiteral("入退室で鳴らす"), true);
    SoundsMsg = addAction(sound, "SoundsMsg", QStringLiteral("発言で鳴らす"), true);

    QMenu* help = menuBar()->addMenu(QStringLiteral("ヘルプ"));
    help->setObjectName(QStringLiteral("Helps"));
    HelpsVerSion = addAction(help, "HelpsVerSion", QStringLiteral("バージョン"), false);

    connect(FilesChg, &QAction::triggered, this, &MainWindow::openNicknameDialog);
    // Leaving from the menu runs the same shutdown as closing the window, so nothing of the run is lost.
    connect(FilesEnd, &QAction::triggered, this, &QWidget::close);
    connect(HelpsVerSion, &QAction::triggered, this, &MainWindow::showVersion);
    // The commands own the check marks: whatever Qt toggled on its own is put back by syncChecks().
    connect(OptionsFontSizeBig, &QAction::triggered, &m_preferences, &Preferences::OptionsFontSizeBig);
    connect(OptionsFontSizeMid, &QAction::triggered, &m_preferences, &Preferences::OptionsFontSizeMid);
    connect(OptionsFontSizeSmall, &QAction::triggered, &m_preferences, &Preferences::OptionsFontSizeSmall);
    connect(SoundsInOut, &QAction::triggered, &m_preferences, &Preferences::SoundsInOut);
    connect(SoundsMsg, &QAction::triggered, &m_preferences, &Preferences::SoundsMsg);
    syncChecks();
}

void MainWindow::syncChecks()
{
    OptionsFontSizeBig->setChecked(m_preferences.isChecked(Preferences::FontSize::Big));
    OptionsFontSizeMid->setChecked(m_preferences.isChecked(Preferences::FontSize::Mid));
    OptionsFontSizeSmall->setChecked(m_preferences.isChecked(Preferences::FontSize::Small));
    SoundsInOut->setChecked(m_preferences.soundsInOutChecked());
    SoundsMsg->setChecked(m_preferences.soundsMsgChecked());
}

void MainWindow::setPointSize(int points)
{
    for (QWidget* control :
         {static_cast<QWidget*>(Text1), static_cast<QWidget*>(Text3), static_cast<QWidget*>(List1)}) {
        QFont font = control->font();
        font.setPointSize(points);
        control->setFont(font);
    }
}

void MainWindow::FormResize()
{
    const QRect frame = frameGeometry();
    m_laidOutFor = frame.size();
    const int dpiX = logicalDpiX();
    const int dpiY = logicalDpiY();
    // A size set on a control comes back rounded to whole pixels.
    const ReadBack readBack = [dpiX](int value) { return twips::fromPixels(twips::toPixels(value, dpiX), dpiX); };
    m_layout = kova::FormResize(m_layout, twips::fromPixels(frame.width(), dpiX),
                                twips::fromPixels(frame.height(), dpiY), isMinimized(), readBack);
    applyLayout();

    if (m_layout.correctedWidth || m_layout.correctedHeight) {
        const int frameExtraX = frame.width() - width();
        const int frameExtraY = frame.height() - height();
        const int newWidth =
            m_layout.correctedWidth ? twips::toPixelsAtLeast(*m_layout.correctedWidth, dpiX) - frameExtraX : width();
        const int newHeight =
            m_layout.correctedHeight ? twips::toPixelsAtLeast(*m_layout.correctedHeight, dpiY) - frameExtraY : height();
        resize(newWidth, newHeight);
    }
}

void MainWindow::applyLayout()
{
    Text3->setGeometry(twips::toPixels(m_layout.Text3, *this));
    List1->setGeometry(twips::toPixels(m_layout.List1, *this));
    Text1->setGeometry(twips::toPixels(m_layout.Text1, *this));
    for (int i = 0; i < 3; ++i)
        Label1[i]->setGeometry(twips::toPixels(m_layout.Label1[i], *this));
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    FormResize();
}

// The window manager frames the window after it is first laid out and shown: the outer size grows by the title
// bar and borders without a resize, and the move that framing brings is the first moment to lay it out again.
void MainWindow::moveEvent(QMoveEvent* event)
{
    QMainWindow::moveEvent(event);
    if (frameGeometry().size() != m_laidOutFor)
        FormResize();
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        FormResize();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    Q_EMIT unloading();
    if (m_form2)
        m_form2->close();
    event->accept();
}

void MainWindow::clearInput()
{
    Text1->clear();
}

void MainWindow::focusInput()
{
    activateWindow();
    Text1->setFocus(Qt::OtherFocusReason);
}

void MainWindow::focusLog()
{
    Text3->setFocus(Qt::OtherFocusReason);
}

void MainWindow::onInputReturn()
{
    if (m_server.SendOperatorLine(Text1->text()))
        Text1->clear();
}

void MainWindow::showVersion()
{
    showMessage(this, QStringLiteral("Mokka Chat Server\r\n     Version 1.00"));
}

void MainWindow::openNicknameDialog()
{
    if (!m_form2) {
        m_form2 = new NicknameDialog(m_server, m_settings);
        connect(m_form2, &NicknameDialog::finishedWithButton, this, &MainWindow::focusInput);
    }
    m_form2->show();
    m_form2->raise();
    m_form2->activateWindow();
}

} // namespace kova
