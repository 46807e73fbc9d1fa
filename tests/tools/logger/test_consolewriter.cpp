#include "tools/logger/consolewriter.h"
#include "tools/logger/loggerprotocol.h"
#include "support/eventwait.h"
#include "support/tempdir.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QList>
#include <QProcess>
#include <QRegularExpression>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using TestWait::until;

namespace {

QByteArray numberedLine(int i)
{
    return QByteArray("line ") + QByteArray::number(i).rightJustified(5, '0') + ' ' + QByteArray(90, 'x') + '\n';
}

// Someone else's uid, for the server run as another user than the terminal's.
constexpr uid_t OTHER_USER = 65534;

// A pseudo-terminal, in raw mode so that lines pass as written, whose master the
// test reads or not.
struct Terminal
{
    int master = -1;
    int slave = -1;

    Terminal()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            return;
        slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios mode = {};
        if (slave >= 0 && ::tcgetattr(slave, &mode) == 0) {
            ::cfmakeraw(&mode);
            ::tcsetattr(slave, TCSANOW, &mode);
        }
    }
    ~Terminal()
    {
        for (int fd : {master, slave}) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // Nobody may open the slave by its name, its owner included: a process left
    // with a descriptor of it stands as a server started with su on another user's
    // terminal does. A privileged process must take another identity too (see
    // AsAnotherUser).
    void forbidOpening() const { ::fchmod(slave, 0); }
};

bool canOpenAgain(int fd)
{
    const QByteArray path = "/proc/self/fd/" + QByteArray::number(fd);
    const int again = ::open(path.constData(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (again >= 0)
        ::close(again);
    return again >= 0;
}

// While it lives, this thread opens files as another user would (a privileged
// test otherwise opens anything).
class AsAnotherUser
{
public:
    AsAnotherUser() : privileged_(::geteuid() == 0)
    {
        if (privileged_)
            ::setfsuid(OTHER_USER);
    }
    ~AsAnotherUser()
    {
        if (privileged_) {
            ::setfsuid(0);
            // Changing identities made the process undumpable.
            ::prctl(PR_SET_DUMPABLE, 1);
        }
    }
    AsAnotherUser(const AsAnotherUser&) = delete;
    AsAnotherUser& operator=(const AsAnotherUser&) = delete;

private:
    bool privileged_;
};

// A reader that comes late: from afterMs on it reads and discards what fd holds,
// until stopped. A writer that waits for its reader ends only once this began, and
// a test of one that should not wait ends in bounded time either way.
class LateReader
{
public:
    LateReader(int fd, int afterMs) : thread_([this, fd, afterMs] { run(fd, afterMs); }) {}
    ~LateReader() { stop(); }
    LateReader(const LateReader&) = delete;
    LateReader& operator=(const LateReader&) = delete;

    // True when it had to read.
    bool stop()
    {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        stop_.notify_all();
        if (thread_.joinable())
            thread_.join();
        return came_;
    }

private:
    void run(int fd, int afterMs)
    {
        std::unique_lock lock(mutex_);
        if (stop_.wait_for(lock, std::chrono::milliseconds(afterMs), [this] { return stopped_; }))
            return;
        came_ = true;
        while (!stopped_) {
            lock.unlock();
            pollfd p{fd, POLLIN, 0};
            char buf[65536];
            if (::poll(&p, 1, 50) == 1 && ::read(fd, buf, sizeof buf) <= 0)
                return;
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable stop_;
    bool stopped_ = false;
    std::atomic<bool> came_{false};
    std::thread thread_;
};

// What a non-blocking descriptor holds now.
QByteArray readAvailable(int fd)
{
    QByteArray out;
    char buf[65536];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, n);
    }
    return out;
}

// A stream a console writer meets: the end it writes and the end a reader would read.
struct Stream
{
    std::shared_ptr<void> owner;
    int writeFd = -1;
    int readFd = -1;
};

struct StreamCase
{
    const char* name;
    std::function<Stream(bool readerGone)> make;
    // Another user's: the writer cannot open it again, its own way not to wait.
    bool anotherUsers;
};

Stream makePipe(bool readerGone)
{
    auto fds = std::shared_ptr<int[]>(new int[2]{-1, -1}, [](int* p) {
        for (int i = 0; i < 2; ++i) {
            if (p[i] >= 0)
                ::close(p[i]);
        }
        delete[] p;
    });
    if (::pipe(fds.get()) != 0)
        return {};
    if (readerGone) {
        ::close(fds[0]);
        fds[0] = -1;
    }
    return {fds, fds[1], fds[0]};
}

// Another user's terminal: the writer cannot open it again.
Stream makeUnopenableTerminal(bool readerGone)
{
    auto terminal = std::make_shared<Terminal>();
    if (terminal->slave < 0)
        return {};
    terminal->forbidOpening();
    if (readerGone) {
        ::close(terminal->master);
        terminal->master = -1;
    }
    return {terminal, terminal->slave, terminal->master};
}

const StreamCase STREAMS[] = {
    {"pipe", makePipe, false},
    {"terminal", makeUnopenableTerminal, true},
};

// Made as the stream's case says, checking that another user's stream is indeed
// closed to the writer.
std::unique_ptr<ConsoleWriter> writerFor(const StreamCase& c, const Stream& s)
{
    std::optional<AsAnotherUser> other;
    if (c.anotherUsers) {
        other.emplace();
        EXPECT_FALSE(canOpenAgain(s.writeFd)) << "the stream must not be open to this test";
    }
    return std::make_unique<ConsoleWriter>(s.writeFd, QString::fromLatin1(c.name));
}

} // namespace

// A pipe or terminal nobody reads: writing never waits, the queue stays bounded,
// and once the stream is read every line that came through is whole and in order,
// followed by the count of those dropped. The terminal is another user's, so the
// writer cannot open it again without blocking; on it "writable" does not mean
// that a chunk fits.
TEST(ConsoleWriter, NeverWaitsAndCountsWhatItDrops)
{
    for (const StreamCase& c : STREAMS) {
        SCOPED_TRACE(c.name);
        const Stream s = c.make(false);
        ASSERT_GE(s.writeFd, 0);
        constexpr int lines = 10000;
        constexpr qsizetype bound = 64 * 1024;
        std::unique_ptr<ConsoleWriter> writer = writerFor(c, s);
        writer->setMaxQueuedBytes(bound);
        QElapsedTimer clock;
        clock.start();
        {
            LateReader late(s.readFd, 3000);
            // Batches of lines, as the server writes them: a few kB, more than a
            // terminal that poll() calls writable may take.
            constexpr int batch = 40;
            for (int i = 0; i < lines; i += batch) {
                QByteArray some;
                for (int j = i; j < i + batch; ++j)
                    some += numberedLine(j);
                ASSERT_TRUE(writer->write(some));
                // The event loop turns between batches, as in the server: that is
                // when what waits in the queue is written.
                QCoreApplication::processEvents();
            }
            ASSERT_FALSE(late.stop()) << "a write waited for the reader";
        }
        EXPECT_LT(clock.elapsed(), 2000) << "no write waited for the reader";
        EXPECT_LE(writer->queuedBytes(), bound);
        const qint64 dropped = writer->droppedLines();
        EXPECT_GT(dropped, 0);

        QByteArray seen;
        ASSERT_TRUE(until([&] {
            seen += readAvailable(s.readFd);
            return writer->droppedLines() == 0 && seen.endsWith("it was not read fast enough\n");
        }, 5000));
        // Lines come through whole and in order; each time the stream took lines
        // again, one line counted those dropped before, and the counts add up.
        const QRegularExpression noticeText(
            QStringLiteral("^dropped (\\d+) lines to %1: it was not read fast enough$").arg(QString::fromLatin1(c.name)));
        QList<QByteArray> got = seen.split('\n');
        got.removeLast();
        int through = 0;
        qint64 said = 0;
        int last = -1;
        for (const QByteArray& line : std::as_const(got)) {
            if (line.startsWith("line ")) {
                ASSERT_EQ(line.size() + 1, numberedLine(0).size()) << line.toStdString();
                const int i = line.mid(5, 5).toInt();
                EXPECT_GT(i, last);
                last = i;
                ++through;
                continue;
            }
            const LoggerEvent notice(line);
            EXPECT_EQ(notice.level, WARN) << line.toStdString();
            const QRegularExpressionMatch m = noticeText.match(notice.text);
            ASSERT_TRUE(m.hasMatch()) << line.toStdString();
            said += m.captured(1).toLongLong();
        }
        EXPECT_GE(said, dropped);
        EXPECT_EQ(through + said, lines);
    }
}

// A reader that went away fails the writer at its next write, which says why;
// nothing is queued for it.
TEST(ConsoleWriter, AGoneReaderFailsTheWriter)
{
    ::signal(SIGPIPE, SIG_IGN);
    for (const StreamCase& c : STREAMS) {
        SCOPED_TRACE(c.name);
        const Stream s = c.make(true);
        ASSERT_GE(s.writeFd, 0);
        std::unique_ptr<ConsoleWriter> writer = writerFor(c, s);
        EXPECT_FALSE(writer->write("a line\n"));
        EXPECT_TRUE(writer->failed());
        EXPECT_FALSE(writer->errorString().isEmpty());
        EXPECT_EQ(writer->queuedBytes(), 0);
        EXPECT_FALSE(writer->write("another\n"));
    }
}

namespace {

const QString PROGRAM = QStringLiteral(GSE_BINARY_DIR "/tools/logger/loggerserver");

QByteArray appLine(const QString& text)
{
    return LoggerEventMsg("app", "x.cpp", 3, INFO, text).toEncoded();
}

// A blocking TCP connection to 127.0.0.1:port that has introduced itself; -1 if none.
int connectedClient(quint16 port, const QString& name)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    const QByteArray hello = LoggerCmdInitClientMsg(name, 7).toEncoded();
    if (::send(fd, hello.constData(), static_cast<size_t>(hello.size()), MSG_NOSIGNAL) != hello.size()) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The lines a folder's files gain, read from where each stood the last time.
class FolderTail
{
public:
    explicit FolderTail(QString dir) : dir_(std::move(dir)) {}

    QList<QByteArray> newLines()
    {
        QList<QByteArray> out;
        for (const QFileInfo& info : QDir(dir_).entryInfoList(QDir::Files, QDir::Name)) {
            QFile f(info.absoluteFilePath());
            qint64& at = offsets_[info.fileName()];
            if (info.size() <= at || !f.open(QIODevice::ReadOnly) || !f.seek(at))
                continue;
            const QByteArray bytes = f.read(info.size() - at);
            const qsizetype end = bytes.lastIndexOf('\n') + 1;
            at += end;
            out << bytes.left(end).split('\n');
        }
        return out;
    }

private:
    QString dir_;
    QHash<QString, qint64> offsets_;
};

// Sends lines of about 120 bytes to fd, 2,000 every 50 ms (5 MB/s), until stopped;
// a server that stops reading stops it too, for 100 ms at a time.
class Flood
{
public:
    explicit Flood(int fd) : thread_([this, fd] { run(fd); }) {}
    ~Flood()
    {
        stopped_ = true;
        thread_.join();
    }
    Flood(const Flood&) = delete;
    Flood& operator=(const Flood&) = delete;

private:
    void run(int fd)
    {
        QByteArray burst;
        for (int i = 0; i < 2000; ++i)
            burst += appLine(QStringLiteral("flood %1 ").arg(i) + QString(80, 'f'));
        while (!stopped_) {
            const auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
            qsizetype done = 0;
            while (done < burst.size() && !stopped_) {
                pollfd p{fd, POLLOUT, 0};
                if (::poll(&p, 1, 100) != 1)
                    continue;
                const ssize_t n = ::send(fd, burst.constData() + done, static_cast<size_t>(burst.size() - done),
                                         MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n < 0 && errno != EAGAIN && errno != EINTR)
                    return;
                done += std::max<ssize_t>(n, 0);
            }
            std::this_thread::sleep_until(next);
        }
    }

    std::atomic<bool> stopped_{false};
    std::thread thread_;
};

} // namespace

// The loggerserver program run as another user on a terminal nobody reads, which
// it cannot open again, while one client floods: its files go on taking lines (a
// probe line every half second is in them within 2 s), the terminal says how many
// lines it lost once it is read, and the program still says goodbye on it and
// exits in order.
TEST(ConsoleWriter, ServerOnAnUnreadTerminalGoesOn)
{
    TestSupport::TempDir home;
    Terminal terminal;
    ASSERT_GE(terminal.slave, 0);
    terminal.forbidOpening();
    const bool privileged = ::geteuid() == 0;
    // The program, run as another user, writes its files below home.
    ASSERT_TRUE(!privileged || ::chmod(QFile::encodeName(home.path()).constData(), 0777) == 0);
    const int slave = terminal.slave;
    QProcess server;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    server.setProcessEnvironment(env);
    server.setChildProcessModifier([slave, privileged] {
        ::dup2(slave, STDOUT_FILENO);
        if (privileged && (::setgroups(0, nullptr) != 0 || ::setgid(OTHER_USER) != 0 || ::setuid(OTHER_USER) != 0))
            ::_exit(3);
    });
    server.start(PROGRAM, {"--port", "0"});
    ASSERT_TRUE(server.waitForStarted(10000));

    FolderTail log(home.path() + "/.veklogs");
    quint16 port = 0;
    ASSERT_TRUE(until([&] {
        for (const QByteArray& line : log.newLines()) {
            const LoggerEvent e(line);
            if (e.text.startsWith("listening on 127.0.0.1 "))
                port = static_cast<quint16>(e.text.mid(23).toUInt());
        }
        return port != 0;
    }, 10000));

    const int flooder = connectedClient(port, QStringLiteral("flood"));
    const int prober = connectedClient(port, QStringLiteral("probe"));
    ASSERT_GE(flooder, 0);
    ASSERT_GE(prober, 0);
    constexpr int probes = 10;
    constexpr qint64 probeEveryMs = 500;
    constexpr qint64 inTimeMs = 2000;
    QList<qint64> sentAt(probes, -1);
    QList<qint64> latency(probes, -1);
    {
        Flood flood(flooder);
        QElapsedTimer clock;
        clock.start();
        int sent = 0;
        while (clock.elapsed() < probes * probeEveryMs + inTimeMs) {
            if (sent < probes && clock.elapsed() >= sent * probeEveryMs) {
                const QByteArray probe = appLine(QStringLiteral("probe %1").arg(sent));
                ASSERT_EQ(::send(prober, probe.constData(), static_cast<size_t>(probe.size()), MSG_NOSIGNAL),
                          probe.size());
                sentAt[sent++] = clock.elapsed();
            }
            for (const QByteArray& line : log.newLines()) {
                const LoggerEvent e(line);
                if (e.clientName == "probe" && e.text.startsWith("probe ")) {
                    const int i = e.text.mid(6).toInt();
                    if (i >= 0 && i < probes && latency[i] < 0)
                        latency[i] = clock.elapsed() - sentAt[i];
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    const int inTime = static_cast<int>(
        std::count_if(latency.begin(), latency.end(), [](qint64 ms) { return ms >= 0 && ms <= inTimeMs; }));
    std::string figures;
    for (qint64 ms : latency)
        figures += std::to_string(ms) + " ";
    RecordProperty("probe_latency_ms", figures);
    EXPECT_GE(inTime, 9) << "probe latencies (ms, -1 never): " << figures;
    ::close(prober);

    // Read at last, the terminal says what it lost.
    QByteArray seen;
    const auto readTerminal = [&] {
        seen += readAvailable(terminal.master);
        // Only the tail can hold the lines looked for.
        if (seen.size() > 4 * 1024 * 1024)
            seen.remove(0, seen.size() - 1024 * 1024);
    };
    EXPECT_TRUE(until([&] {
        readTerminal();
        return seen.contains(" lines to stdout: it was not read fast enough\n");
    }, 10000));

    // The goodbye waits behind lines the terminal has not taken (fewer than it
    // drops at); a reader that comes a moment after the signal still gets it.
    QByteArray tail;
    for (int i = 0; i < 2500; ++i)
        tail += appLine(QStringLiteral("tail %1 ").arg(i) + QString(80, 't'));
    ASSERT_EQ(::send(flooder, tail.constData(), static_cast<size_t>(tail.size()), MSG_NOSIGNAL), tail.size());
    ::close(flooder);
    ASSERT_TRUE(until([&] {
        for (const QByteArray& line : log.newLines()) {
            if (line.contains(" - tail 2499 "))
                return true;
        }
        return false;
    }, 10000));
    server.terminate();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_TRUE(until([&] {
        readTerminal();
        return server.state() == QProcess::NotRunning;
    }, 5000)) << "the exit waited for the terminal";
    EXPECT_EQ(server.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(server.exitCode(), 0);
    readTerminal();
    EXPECT_TRUE(seen.contains("shutting down...")) << "the last lines reached the terminal";
    if (server.state() != QProcess::NotRunning) {
        server.kill();
        server.waitForFinished(5000);
    }
}
