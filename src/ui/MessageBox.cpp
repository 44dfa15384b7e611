#include "MessageBox.h"

#include <QGuiApplication>
#include <QIcon>
#include <QMessageBox>

namespace kova {

namespace {
QMessageBox* makeBox(QWidget* parent, const QString& text)
{
    auto* box = new QMessageBox(QMessageBox::NoIcon, AppTitle, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    return box;
}
} // namespace

void showMessage(QWidget* parent, const QString& text)
{
    QMessageBox* box = makeBox(parent, text);
    box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    box->open();
}

void showMessageAndWait(const QString& text)
{
    makeBox(nullptr, text)->exec();
}

bool canShowWindows()
{
    const QString platform = QGuiApplication::platformName();
    return platform != QStringLiteral("offscreen") && platform != QStringLiteral("minimal");
}

} // namespace kova
