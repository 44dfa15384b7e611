#include "BanListDialog.h"

#include "MessageBox.h"
#include "relay/ChatServer.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace kova {

BanListDialog::BanListDialog(ChatServer& server, QWidget* parent)
    : QDialog(parent)
    , m_server(server)
{
    setObjectName(QStringLiteral("banList"));
    setWindowTitle(AppTitle);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("締め出したアドレス（サーバが終わるまで）"), this));
    m_addresses = new QListWidget(this);
    m_addresses->setObjectName(QStringLiteral("bannedAddresses"));
    layout->addWidget(m_addresses);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    m_lift = buttons->addButton(QStringLiteral("締め出しを解く"), QDialogButtonBox::ActionRole);
    m_lift->setObjectName(QStringLiteral("liftBan"));
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    connect(m_lift, &QPushButton::clicked, this, &BanListDialog::liftSelected);
    connect(m_addresses, &QListWidget::currentRowChanged, this, [this](int row) { m_lift->setEnabled(row >= 0); });
    connect(&m_server, &ChatServer::bansChanged, this, &BanListDialog::refresh);
    refresh();
}

void BanListDialog::refresh()
{
    const QString chosen = m_addresses->currentItem() ? m_addresses->currentItem()->text() : QString();
    m_addresses->clear();
    for (const QHostAddress& address : m_server.bannedAddresses())
        m_addresses->addItem(address.toString());
    const QList<QListWidgetItem*> again = m_addresses->findItems(chosen, Qt::MatchExactly);
    m_addresses->setCurrentItem(again.isEmpty() ? nullptr : again.first());
    m_lift->setEnabled(m_addresses->currentItem() != nullptr);
}

void BanListDialog::liftSelected()
{
    if (const QListWidgetItem* item = m_addresses->currentItem())
        m_server.liftBan(QHostAddress(item->text()));
}

} // namespace kova
