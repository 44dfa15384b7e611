#include "CommandLine.h"
#include "WebGateway.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const kova::web::Options options = kova::web::parseCommandLine(app);
    kova::web::WebGateway gateway(options.server);
    QString error;
    if (!gateway.listen(options.listen, &error)) {
        std::fprintf(stderr, "kova-web: cannot listen on %s: %s\n", qPrintable(options.listen.toString()),
                     qPrintable(error));
        return 1;
    }
    kova::web::logLine(QStringLiteral("kova-web: serving the chat page on %1 for the chat server %2")
                           .arg(options.listen.toString(), options.server.toString()));
    return QCoreApplication::exec();
}
