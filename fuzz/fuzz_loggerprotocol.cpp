// The logging protocol as the server reads it from hostile sockets. The first
// byte gives the number of connections (1 to 3), the second seeds how the rest is
// cut into chunks and which connection each chunk goes to. Every connection's
// line reassembler must emit the same messages, in the same order, however its
// bytes were cut; it never holds more than a line's bound; every decoded line,
// encoded again, decodes to the same fields, and so do the commands' arguments
// and the log-file line the server writes of a plain event. Messages go to a
// server whose home folder is a temporary one, and each CHANGE_MAIN_FILE path is
// opened as the server would: a file that opens must lie in the log folder.
#include "fuzzquiet.h"
#include "tools/logger/folderwalk.h"
#include "tools/logger/loggerprotocol.h"
#include "tools/logger/loggerserver.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail()
{
    __builtin_trap();
}

void check(bool ok)
{
    if (!ok)
        fail();
}

QString fieldsOf(const LoggerEventMsg& m)
{
    return QStringList{m.timestamp, m.component, m.file, QString::number(m.line), QString::number(m.threadId),
                       toString(m.level), m.text}
        .join(QChar(0));
}

// The wire line of a decoded message decodes to the same fields, and is one line.
void checkWireRoundTrip(const LoggerEventMsg& m)
{
    const QByteArray encoded = m.toEncoded();
    check(encoded.endsWith('\n') && encoded.count('\n') == 1);
    check(fieldsOf(LoggerEventMsg(encoded.chopped(1))) == fieldsOf(m));
}

// Whether an argument followed by "-=-" still ends where it did. Nothing escapes
// the separator: an argument that ends in "-=" (the last one can) runs into the
// separator put after it when it is encoded again, and comes back cut.
bool keepsItsEnd(const QString& arg)
{
    return (arg + LoggerCmdMsg::CMD_DELIMITER).indexOf(LoggerCmdMsg::CMD_DELIMITER) == arg.size();
}

// Printable ASCII without " -" or "- ": the log-file line promises to read back
// such fields unchanged (a " - " inside one cuts it, by design).
bool plain(const QString& s)
{
    for (QChar c : s) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return false;
    }
    return !s.contains(QLatin1String(" -")) && !s.contains(QLatin1String("- "));
}

void checkLogFileLine(const LoggerEvent& e)
{
    const QByteArray line = e.toEncoded();
    check(!line.contains('\n'));
    (void)e.simplified();
    if (!(plain(e.timestamp) && plain(e.clientName) && plain(e.file) && plain(e.component) && plain(e.text)))
        return;
    const LoggerEvent back(line);
    check(back.valid && back.timestamp == e.timestamp && back.dateTime == e.dateTime
          && back.clientName == e.clientName && back.pid == e.pid && back.threadId == e.threadId
          && back.file == e.file && back.line == e.line && back.component == e.component && back.level == e.level
          && back.text == e.text);
}

struct Env
{
    QTemporaryDir home;
    std::unique_ptr<LoggerServer> server;
    QString logDir;

    Env()
    {
        qputenv("HOME", home.path().toUtf8());
        server = std::make_unique<LoggerServer>();
        logDir = server->logDirPath();
    }

    // Keeps the log folder small over millions of runs. The server keeps the file
    // in use open (lines of other dates go to it as well): that one is emptied,
    // since removed it would take every later line unseen and grow without bound;
    // every other file goes.
    void clean()
    {
        const QString inUse = server->mainFilepath();
        for (const QString& name : QDir(logDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden)) {
            const QString path = logDir + name;
            if (QFileInfo(path).absoluteFilePath() == inUse)
                QFile::resize(path, 0);
            else if (QFileInfo(path).isDir() && !QFileInfo(path).isSymLink())
                QDir(path).removeRecursively();
            else
                QFile::remove(path);
        }
    }

    // Opens the path as CHANGE_MAIN_FILE would; what opens must be in the log folder.
    void changeMainFile(const QString& filePath)
    {
        if (filePath.isEmpty())
            return;
        const QString path = QDir::cleanPath(QDir::isRelativePath(filePath) ? logDir + filePath : filePath);
        const FolderWalk::Opened opened = FolderWalk::openForAppendInside(path, QStringList{logDir});
        if (opened.fd < 0)
            return;
        struct stat st = {};
        check(::fstat(opened.fd, &st) == 0 && S_ISREG(st.st_mode));
        ::close(opened.fd);
        bool found = false;
        QDirIterator it(logDir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (!found && it.hasNext()) {
            struct stat other = {};
            found = ::lstat(QFile::encodeName(it.next()).constData(), &other) == 0 && other.st_ino == st.st_ino
                && other.st_dev == st.st_dev;
        }
        check(found);
    }
};

// One connection: its reassembler, what it emitted, and every byte it was given.
struct Connection
{
    LoggerServerMsgProcessor processor;
    QStringList seen;
    QByteArray fed;
    LoggerClientInfo info;
};

void listen(Connection& c, Env* env)
{
    QObject::connect(&c.processor, &LoggerServerMsgProcessor::loggerEventMsg, [&c, env](const LoggerEventMsg& m) {
        check(m.level != LOG_CMD);
        c.seen << QStringLiteral("msg") + fieldsOf(m);
        checkWireRoundTrip(m);
        if (env != nullptr) {
            const LoggerEvent e(c.info, m);
            checkLogFileLine(e);
            env->server->writeLogEvent(e);
        }
    });
    QObject::connect(&c.processor, &LoggerServerMsgProcessor::loggerCmdInitClient,
                     [&c, env](const LoggerCmdInitClientMsg& m) {
                         check(m.level == LOG_CMD && m.cmd().startsWith(LoggerCmdInitClientMsg::CMD_KEY));
                         c.seen << QStringLiteral("init") + fieldsOf(m) + m.name + QString::number(m.pid);
                         const LoggerCmdInitClientMsg again(LoggerEventMsg(LoggerCmdInitClientMsg(m.name, m.pid).toEncoded().chopped(1)));
                         check(again.pid == m.pid && again.cmd() == LoggerCmdInitClientMsg::CMD_KEY);
                         check(again.name == m.name || !keepsItsEnd(m.name));
                         if (env != nullptr) {
                             c.info = LoggerClientInfo(m.name, m.pid);
                             env->server->writeLogEvent(LoggerEvent(c.info, m));
                         }
                     });
    QObject::connect(&c.processor, &LoggerServerMsgProcessor::loggerCmdChangeFile,
                     [&c, env](const LoggerCmdChangeFileMsg& m) {
                         check(m.level == LOG_CMD);
                         c.seen << QStringLiteral("change") + fieldsOf(m) + m.fileObjectName + QChar(0) + m.filePath;
                         const LoggerCmdChangeFileMsg again(
                             LoggerEventMsg(LoggerCmdChangeFileMsg(m.fileObjectName, m.filePath).toEncoded().chopped(1)));
                         check((again.fileObjectName == m.fileObjectName && again.filePath == m.filePath)
                               || !keepsItsEnd(m.fileObjectName));
                         if (env != nullptr)
                             env->changeMainFile(m.filePath);
                     });
    QObject::connect(&c.processor, &LoggerServerMsgProcessor::loggerCmdUnknown, [&c](const LoggerCmdUnknownMsg& m) {
        check(m.level == LOG_CMD);
        c.seen << QStringLiteral("unknown") + fieldsOf(m);
    });
    QObject::connect(&c.processor, &LoggerServerMsgProcessor::crossProtocolRequest,
                     [&c] { c.seen << QStringLiteral("http"); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    static Env env;
    if (size < 2)
        return 0;
    const int count = 1 + data[0] % 3;
    uint32_t rng = 0x9e3779b9u ^ data[1];
    const QByteArray bytes(reinterpret_cast<const char*>(data) + 2, static_cast<qsizetype>(size - 2));

    Connection connections[3];
    for (int i = 0; i < count; ++i)
        listen(connections[i], &env);
    for (qsizetype pos = 0; pos < bytes.size();) {
        rng ^= rng << 13;
        rng ^= rng >> 17;
        rng ^= rng << 5;
        // Mostly short chunks, now and then a long one.
        const qsizetype length = (rng & 0xf00) == 0 ? 1 + (rng >> 12) % 4096 : 1 + (rng >> 12) % 48;
        Connection& c = connections[(rng >> 8) % count];
        const QByteArray chunk = bytes.mid(pos, length);
        c.fed += chunk;
        c.processor.process(chunk);
        check(c.processor.buffer().size() <= LoggerServerMsgProcessor::MAX_LINE_BYTES);
        check(c.seen.size() <= c.fed.count('\n') + 1);
        pos += chunk.size();
    }
    // The same bytes in one piece give the same messages.
    for (int i = 0; i < count; ++i) {
        Connection whole;
        listen(whole, nullptr);
        whole.processor.process(connections[i].fed);
        whole.processor.process();
        check(whole.seen == connections[i].seen);
    }
    env.clean();
    return 0;
}
