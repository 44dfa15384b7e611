#include "Console.h"

#include "Application.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace kova {

Console::Console(Application& app, QObject* parent)
    : Frontend(parent)
    , m_app(app)
{
    // A closed standard output must not kill the server before it has saved anything.
    std::signal(SIGPIPE, SIG_IGN);
    connect(&m_app, &Application::started, this, &Console::announce);
    connect(&m_app.log(), &LogText::appended, this, &Console::mirror);
}

void Console::announce()
{
    // Nobody sees the caption that would show the address.
    QTextStream(stderr)
        << "kova: 画面がないので、ウィンドウなしで動きます。ログは標準出力にも出します。待ち受けアドレス: "
        << m_app.listeningAddress() << Qt::endl;
}

void Console::end()
{
    m_app.shutdown();
    QCoreApplication::exit(m_app.exitStatus());
}

QByteArray Console::terminalLines(QStringView chunk)
{
    // Each log line comes preceded by CR LF.
    if (chunk.startsWith(u"\r\n"))
        chunk = chunk.sliced(2);
    QString line;
    line.reserve(chunk.size() + 1);
    for (const QChar c : chunk) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7F) {
            line += u'^';
            line += QChar(u ^ 0x40);
        } else if (u >= 0x80 && u < 0xA0) {
            line += QChar::ReplacementCharacter;
        } else {
            line += c;
        }
    }
    line += u'\n';
    return line.toUtf8();
}

void Console::mirror(const QString& chunk)
{
    if (m_outputClosed)
        return;
    const QByteArray bytes = terminalLines(chunk);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(STDOUT_FILENO, bytes.constData() + done, size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            m_outputClosed = true;
            QTextStream(stderr) << "kova: 標準出力に書けないので、ログを出すのをやめます: "
                                << QString::fromLocal8Bit(std::strerror(errno)) << Qt::endl;
            return;
        }
        done += written;
    }
}

} // namespace kova
