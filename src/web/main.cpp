#include "CommandLine.h"
#include "TerminationSignals.h"
#include "WebGateway.h"
#include "io/ShortTimeSlices.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[])
{
    // Before any thread starts, so that the signals reach only the event loop.
    kova::web::TerminationSignals::block();
    // Qt's own event dispatcher: GLib's wakes its loop through an eventfd each time a socket notifier is switched on
    // or off, several times for every chat line passed on.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    const kova::web::Options options = kova::web::parseCommandLine(app);
    // A line passed on should not wait, on a shared core, for the chat server's window to finish painting.
    if (const int error = kova::askForShortTimeSlices())
        std::fprintf(stderr, "kova-web: cannot ask for short time slices: %s\n", std::strerror(error));
    kova::web::WebGateway gateway(options.server, options.historyLines);
    QString error;
    if (!options.tlsCertificateFile.isEmpty() &&
        !gateway.useTls(options.tlsCertificateFile, options.tlsKeyFile, &error)) {
        // Never plain HTTP instead: browsers would send the room's chat in clear.
        std::fprintf(stderr, "kova-web: %s\n", qPrintable(error));
        return kova::web::ConfigurationError;
    }
    if (!options.accessKeyFile.isEmpty()) {
        const auto key = kova::web::RoomKey::read(options.accessKeyFile, &error);
        if (!key) {
            std::fprintf(stderr, "kova-web: %s\n", qPrintable(error));
            return kova::web::ConfigurationError;
        }
        gateway.requireRoomKey(*key);
        kova::web::logLine(QStringLiteral("kova-web: browsers need the room key in %1").arg(options.accessKeyFile));
    }
    if (!gateway.listen(options.listen, &error)) {
        std::fprintf(stderr, "kova-web: cannot listen on %s: %s\n", qPrintable(options.listen.toString()),
                     qPrintable(error));
        return 1;
    }
    kova::web::TerminationSignals termination;
    QObject::connect(&termination, &kova::web::TerminationSignals::received, &gateway, [&gateway](const QString& name) {
        if (gateway.isShuttingDown()) {
            kova::web::logLine(QStringLiteral("kova-web: %1 again, ending at once").arg(name));
            QCoreApplication::quit();
            return;
        }
        kova::web::logLine(QStringLiteral("kova-web: %1, closing every browser's connection").arg(name));
        gateway.shutDown(QStringLiteral("the gateway is shutting down"));
    });
    QObject::connect(&gateway, &kova::web::WebGateway::closed, &app, &QCoreApplication::quit);
    kova::web::logLine(QStringLiteral("kova-web: serving the chat page on %1%2 for the chat server %3")
                           .arg(options.tlsCertificateFile.isEmpty() ? QString() : QStringLiteral("https://"),
                                options.listen.toString(), options.server.toString()));
    return QCoreApplication::exec();
}
