// Hosts a logging server: listens for logging clients and writes their messages
// to ~/.veklogs/<date>-log.txt (and to the standard output unless --quiet).
#include "tools/logger/consolewriter.h"
#include "tools/logger/loggerserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    // Only async-signal-safe work here: the event loop picks the byte up.
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

// A reader of the standard output that goes away, or a file past the size limit,
// must not kill the server: the write fails, and the output is closed with a line.
void ignoreOutputSignals()
{
    struct sigaction action = {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGPIPE, &action, nullptr);
    ::sigaction(SIGXFSZ, &action, nullptr);
}

// SIGINT and SIGTERM end the event loop, so the server shuts down in order.
void quitOnTerminationSignals(QCoreApplication& app)
{
    if (::pipe(signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

// Qt's own warnings (the protocol's dropped-line warnings among them) go to the
// standard error stream without waiting for its reader, as the server's lines do.
void writeQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    ConsoleWriter::standardError()->write((qFormatLogMessage(type, context, text) + QLatin1Char('\n')).toLocal8Bit());
    if (type == QtFatalMsg)
        std::abort();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("loggerserver"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Logging server: writes the messages of logging clients to ~/.veklogs/<date>-log.txt."));
    parser.addHelpOption();
    const QCommandLineOption addressOption(QStringLiteral("address"), QStringLiteral("Address to listen on."),
                                           QStringLiteral("address"), DEFAULT_SERVER_ADDR.toString());
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("TCP port to listen on (0: any free port)."),
                                        QStringLiteral("port"), QString::number(DEFAULT_SERVER_PORT));
    const QCommandLineOption quietOption(QStringLiteral("quiet"), QStringLiteral("Do not copy lines to the standard output."));
    const QCommandLineOption stderrOption(QStringLiteral("stderr"), QStringLiteral("Copy lines to the standard error stream."));
    const QCommandLineOption allowOption(
        QStringLiteral("allow-folder"),
        QStringLiteral("A folder where clients may put the main file besides ~/.veklogs (may be repeated)."),
        QStringLiteral("folder"));
    parser.addOptions({addressOption, portOption, quietOption, stderrOption, allowOption});
    parser.process(app);

    const QHostAddress address(parser.value(addressOption));
    if (address.isNull()) {
        std::fprintf(stderr, "loggerserver: invalid address: %s\n", qPrintable(parser.value(addressOption)));
        return 2;
    }
    bool ok = false;
    const uint port = parser.value(portOption).toUInt(&ok);
    if (!ok || port > 65535) {
        std::fprintf(stderr, "loggerserver: invalid port: %s\n", qPrintable(parser.value(portOption)));
        return 2;
    }

    ignoreOutputSignals();
    ConsoleWriter::standardError();
    qInstallMessageHandler(writeQtMessage);
    LoggerServer server;
    server.setAllowedFolders(parser.values(allowOption));
    server.setServerInfo(address, static_cast<uint16_t>(port));
    server.setStdOutEnabled(!parser.isSet(quietOption));
    server.setStdErrEnabled(parser.isSet(stderrOption));
    server.start();
    if (!server.isListening())
        return 1;

    quitOnTerminationSignals(app);
    return app.exec();
}
