#include "OperatorCommands.h"

#include "Application.h"
#include "SingleInstance.h"
#include "io/Printable.h"

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QTextStream>

#include <cstdio>

namespace kova {

namespace {

const QByteArray Ok("ok\n");
const QByteArray Error("error\n");
// Never sent: the usage is printed without asking anybody.
const QByteArray HelpRequest("help");

QByteArray ok(const QString& text)
{
    return Ok + text.toUtf8() + '\n';
}

QByteArray error(const QString& text)
{
    return Error + text.toUtf8() + '\n';
}

QString duration(qint64 seconds)
{
    const QString clock = QStringLiteral("%1:%2:%3")
                              .arg(seconds / 3600 % 24, 2, 10, QLatin1Char('0'))
                              .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                              .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return seconds >= 86400 ? QStringLiteral("%1日 %2").arg(seconds / 86400).arg(clock) : clock;
}

// Options that take a value, as "--kick 3" or "--kick=3", and the request verb each becomes.
struct Option {
    const char* name;
    const char* verb;
    bool takesValue;
};
constexpr Option Options[] = {
    {"--status", "status", false}, {"--list", "list", false},  {"--kick", "kick", true},
    {"--ban", "ban", true},        {"--unban", "unban", true},
};

} // namespace

QString OperatorCommands::usage()
{
    return QStringLiteral(
        "使い方: kova [--status | --list | --kick 枠 | --ban 枠 | --unban アドレス]\n"
        "  引数なしでサーバとして動きます。ほかは動いているサーバに尋ねます:\n"
        "  --status         待ち受けアドレス、接続数、起動からの時間\n"
        "  --list           接続している人（枠、ニックネーム、アドレス、接続時刻）と締め出し中のアドレス\n"
        "  --kick 枠        枠 1〜9 の人を切断する\n"
        "  --ban 枠         枠 1〜9 の人を切断し、サーバが終わるまでそのアドレスを締め出す\n"
        "  --unban アドレス  締め出しを解く\n");
}

std::optional<QByteArray> OperatorCommands::requestFor(int argc, const char* const* argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return requestFor(arguments);
}

std::optional<QByteArray> OperatorCommands::requestFor(const QStringList& arguments)
{
    QByteArray request;
    bool operatorCommand = false;
    bool wrong = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == u"--help" || argument == u"-h")
            return HelpRequest;
        const Option* option = nullptr;
        QString value;
        bool hasValue = false;
        for (const Option& candidate : Options) {
            const QString name = QString::fromLatin1(candidate.name);
            if (argument == name) {
                option = &candidate;
            } else if (candidate.takesValue && argument.startsWith(name + u'=')) {
                option = &candidate;
                value = argument.mid(name.size() + 1);
                hasValue = true;
            }
        }
        if (!option) {
            // Qt's own options (-platform ...) belong to a server start; anything else beside a command is wrong.
            wrong = true;
            continue;
        }
        if (operatorCommand)
            wrong = true; // one command at a time
        operatorCommand = true;
        if (option->takesValue && !hasValue) {
            if (i + 1 >= arguments.size()) {
                wrong = true;
                break;
            }
            value = arguments.at(++i);
        }
        request = QByteArray(option->verb);
        if (option->takesValue)
            request += ' ' + value.toUtf8();
    }
    if (!operatorCommand)
        return std::nullopt;
    if (wrong || request.contains('\n') || request.size() >= SingleInstance::LongestRequest)
        return QByteArray();
    return request;
}

QByteArray OperatorCommands::answer(const QByteArray& request)
{
    if (!m_app.isRunning())
        return error(QStringLiteral("サーバは起動に失敗したまま、待ち受けていません。"));
    const qsizetype space = request.indexOf(' ');
    const QByteArray verb = space < 0 ? request : request.left(space);
    const QByteArray argument = space < 0 ? QByteArray() : request.mid(space + 1);
    if (request == "status")
        return status();
    if (request == "list")
        return list();
    if ((verb == "kick" || verb == "ban") && space >= 0)
        return onSlot(verb, argument);
    if (verb == "unban" && space >= 0)
        return unban(argument);
    return error(QStringLiteral("知らない要求です: %1").arg(printable(QString::fromUtf8(request))));
}

QByteArray OperatorCommands::status() const
{
    int connected = 0;
    for (int slot = 1; slot < SlotCount; ++slot)
        connected += m_app.server().isOccupied(slot) ? 1 : 0;
    return ok(QStringLiteral("%1 で待ち受け中、接続 %2/%3、起動から %4")
                  .arg(m_app.listeningAddress())
                  .arg(connected)
                  .arg(SlotCount - 1)
                  .arg(duration(m_app.secondsRunning())));
}

QByteArray OperatorCommands::list() const
{
    const ChatServer& server = m_app.server();
    QStringList lines{QStringLiteral("枠\tニックネーム\tアドレス\t接続時刻")};
    for (int slot = 1; slot < SlotCount; ++slot) {
        if (!server.isOccupied(slot))
            continue;
        lines.append(QStringLiteral("%1\t%2\t%3\t%4")
                         .arg(slot)
                         .arg(printable(server.nameList().value(slot)))
                         .arg(server.clientAddress(slot).toString())
                         .arg(server.connectedSince(slot).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
    }
    if (!server.bannedAddresses().isEmpty()) {
        QStringList banned;
        for (const QHostAddress& address : server.bannedAddresses())
            banned.append(address.toString());
        lines.append(QStringLiteral("締め出し中: ") + banned.join(u' '));
    }
    return ok(lines.join(u'\n'));
}

QByteArray OperatorCommands::onSlot(const QByteArray& verb, const QByteArray& argument)
{
    bool isNumber = false;
    const int slot = argument.toInt(&isNumber);
    if (!isNumber || argument.startsWith('+') || argument.startsWith('-') || slot < 0 || slot >= SlotCount)
        return error(QStringLiteral("枠は 1 から 9 の数です: %1").arg(printable(QString::fromUtf8(argument))));
    if (slot == 0)
        return error(QStringLiteral("枠 0 はサーバ自身です。切断や締め出しができるのは枠 1 から 9 です。"));
    ChatServer& server = m_app.server();
    if (!server.isOccupied(slot))
        return error(QStringLiteral("枠 %1 には誰も接続していません。").arg(slot));
    const QString name = printable(server.nameList().value(slot));
    const QString address = server.clientAddress(slot).toString();
    if (verb == "kick") {
        server.disconnectClient(slot);
        return ok(QStringLiteral("枠 %1 の %2（%3）を切断しました。").arg(slot).arg(name, address));
    }
    server.banClient(slot);
    return ok(QStringLiteral("枠 %1 の %2（%3）を切断し、%3 を締め出しました。").arg(slot).arg(name, address));
}

QByteArray OperatorCommands::unban(const QByteArray& argument)
{
    const QString text = QString::fromUtf8(argument);
    const QHostAddress address(text);
    if (address.isNull())
        return error(QStringLiteral("アドレスではありません: %1").arg(printable(text)));
    if (!m_app.server().liftBan(address))
        return error(QStringLiteral("%1 は締め出されていません。").arg(address.toString()));
    return ok(QStringLiteral("%1 の締め出しを解きました。").arg(BanList::normalized(address).toString()));
}

int OperatorCommands::run(const QByteArray& request)
{
    QStringList paths{SingleInstance::userSocketPath()};
    const QString service = SingleInstance::socketPathIn(SingleInstance::ServiceRuntimeDirectory);
    if (!paths.contains(service))
        paths.append(service);
    return run(request, paths);
}

int OperatorCommands::run(const QByteArray& request, const QStringList& socketPaths)
{
    QTextStream err(stderr);
    if (request == HelpRequest) {
        QTextStream(stdout) << usage();
        return 0;
    }
    if (request.isEmpty()) {
        err << usage();
        return Usage;
    }
    QStringList refused;
    for (const QString& path : socketPaths) {
        QLocalSocket socket;
        const QDeadlineTimer deadline(AnswerTimeoutMs);
        socket.connectToServer(path);
        if (!socket.waitForConnected(int(deadline.remainingTime()))) {
            // Nothing listens there: the next place. Not allowed to: said if nothing else answers.
            if (socket.error() == QLocalSocket::SocketAccessError)
                refused.append(path);
            continue;
        }
        socket.write(request + '\n');
        QByteArray reply;
        while (socket.state() == QLocalSocket::ConnectedState && !deadline.hasExpired()) {
            socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
            reply += socket.readAll();
        }
        reply += socket.readAll();
        if (socket.state() == QLocalSocket::ConnectedState) {
            err << "kova: 動いているサーバが " << AnswerTimeoutMs / 1000 << " 秒以内に答えません (" << path << ")"
                << Qt::endl;
            return Failed;
        }
        if (reply.startsWith(Ok)) {
            QTextStream(stdout) << QString::fromUtf8(reply.mid(Ok.size()));
            return 0;
        }
        if (reply.startsWith(Error)) {
            err << "kova: " << QString::fromUtf8(reply.mid(Error.size()));
            return Failed;
        }
        if (reply.isEmpty())
            err << "kova: 動いているサーバが答えずに接続を切りました。尋ねる権限がありません (" << path << ")"
                << Qt::endl;
        else
            err << "kova: 動いているサーバがこの要求を知りません。古い版ではありませんか (" << path << ")" << Qt::endl;
        return Failed;
    }
    if (!refused.isEmpty()) {
        err << "kova: 動いているサーバに尋ねる権限がありません: " << refused.join(QStringLiteral(", "))
            << "\nサービスとして動いているサーバには sudo で尋ねてください。" << Qt::endl;
        return Failed;
    }
    err << "kova: 動いているサーバがありません (" << socketPaths.join(QStringLiteral(", ")) << ")" << Qt::endl;
    return Failed;
}

} // namespace kova
