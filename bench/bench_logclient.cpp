// The logging clients against a server that accepts and then stops reading (as
// a stopped process does): 10^6 messages through the global logger to a TCP
// server on 127.0.0.1, and 10^6 lines through the local log sink's client to a
// local socket. Counters: the producer's resident memory before and after
// (MB), its peak, the messages the server got once it read again, those the
// client said it dropped (to the server, or through sigErrorMessage), and those
// the closing client counted on the standard error stream. Argument 0: the
// server sleeps until the client has ended; 1: it reads again before, and the
// client then tells what it dropped. Goal: memory grows by a few MiB at most,
// and got + dropped + not sent = sent.
// BM_TcpClientPortHeld: 300 messages at 20 a second while, for the first 8 s,
// whoever holds the port resets every connection before reading; then the
// logging server (on a thread of its own) takes the port. Counters as above;
// goal: got + dropped + not sent = sent.
// BM_TcpClientPushedBytes: a peer on the server's port sends 400 MB; goal: the
// client's resident memory stays under 64 MB.
// Two limits of the protocol (no answer from the server, no authentication),
// measured, not goals, against the loggerserver program (HOME in a temporary
// folder):
// BM_TcpClientServerStoppedThenKilled: 20,000 messages to a server stopped
// (SIGSTOP) first and killed 5 s later. Counters: got (in its file), not_sent_told
// (counted by the client at exit), lost_uncounted (neither).
// BM_TcpConnectionsHeld: a local process holds the server's 1,000 connections for
// 15 s, each sending a line a second and reconnecting as soon as it is closed.
// Ten writers of a line every 2 s ("quiet") and ten of one every 100 ms ("busy")
// write meanwhile, and the global logger logs a line every 1.5 s; after the hold
// it logs every 200 ms for 5 s. Counters: each writer kind's lines sent and
// written, the evictions, the logger's retries spent and its lines written during
// and after the hold, and those it counted at exit.
#include "gselib/services/logclient.h"
#include "tools/logger/log.h"
#include "tools/logger/loggerclient.h"
#include "tools/logger/loggerserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <mutex>
#include <QTimer>
#include <arpa/inet.h>
#include <atomic>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <csignal>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int MESSAGES = 1000000;

// Resident and peak memory of this process in MB.
double statusMb(const char* key)
{
    std::ifstream in("/proc/self/status");
    std::string word;
    while (in >> word) {
        if (word == key) {
            double kb = 0;
            in >> kb;
            return kb / 1024.0;
        }
    }
    return 0;
}

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Accepts one connection, reads nothing until resume(), then reads to the end
// and keeps the lines that hold a marker.
class StalledReader
{
public:
    StalledReader(int listenFd, QByteArray marker) : listenFd_(listenFd), marker_(std::move(marker))
    {
        thread_ = std::thread([this] { run(); });
    }
    ~StalledReader()
    {
        resume();
        if (thread_.joinable())
            thread_.join();
        ::close(listenFd_);
    }
    void resume() { reading_ = true; }
    // Waits until the peer has closed and every byte is read.
    void finish()
    {
        resume();
        if (thread_.joinable())
            thread_.join();
    }
    long long marked() const { return marked_; }
    // Whether a line other than the marked ones spoke of dropped messages.
    bool toldDropped() const { return toldDropped_; }
    const QByteArray& dropLines() const { return dropLines_; }

private:
    void run()
    {
        const int fd = ::accept(listenFd_, nullptr, nullptr);
        if (fd < 0)
            return;
        while (!reading_)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        QByteArray partial;
        char buf[1 << 16];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) {
            partial.append(buf, n);
            qsizetype lf;
            qsizetype from = 0;
            while ((lf = partial.indexOf('\n', from)) >= 0) {
                const QByteArray line = partial.mid(from, lf - from);
                if (line.contains(marker_))
                    ++marked_;
                else if (line.contains("dropped")) {
                    dropLines_ += line.right(200) + '\n';
                    toldDropped_ = true;
                }
                from = lf + 1;
            }
            partial.remove(0, from);
        }
        ::close(fd);
    }

    int listenFd_;
    QByteArray marker_;
    std::thread thread_;
    std::atomic<bool> reading_{false};
    std::atomic<bool> toldDropped_{false};
    long long marked_ = 0;
    QByteArray dropLines_;
};

// Runs fn with the standard error stream sent to a file; returns what was written.
template <typename Fn>
QByteArray capturingStderr(Fn fn)
{
    std::fflush(stderr);
    FILE* tmp = std::tmpfile();
    const int saved = ::dup(2);
    ::dup2(::fileno(tmp), 2);
    fn();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::rewind(tmp);
    QByteArray out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, tmp)) > 0;)
        out.append(buf, static_cast<qsizetype>(n));
    std::fclose(tmp);
    return out;
}

// The sum of the numbers that the pattern's first group catches in the text.
long long sumOf(const QByteArray& text, const QString& pattern)
{
    long long n = 0;
    for (auto it = QRegularExpression(pattern).globalMatch(QString::fromLatin1(text)); it.hasNext();)
        n += it.next().captured(1).toLongLong();
    return n;
}

void setCounters(benchmark::State& state, double before, double after, const StalledReader& reader,
                 long long droppedTold, long long notSentTold)
{
    state.counters["rss_before_MB"] = before;
    state.counters["rss_after_MB"] = after;
    state.counters["rss_peak_MB"] = statusMb("VmHWM:");
    state.counters["got"] = static_cast<double>(reader.marked());
    state.counters["dropped_told"] = static_cast<double>(droppedTold);
    state.counters["not_sent_told"] = static_cast<double>(notSentTold);
    state.counters["sent"] = MESSAGES;
}

sockaddr_in loopbackAddress(quint16 port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// A listening socket on 127.0.0.1 with a free port; the port is written to port.
int listenLoopback(quint16& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr = loopbackAddress(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd, 64);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

void BM_TcpClientServerStopsReading(benchmark::State& state)
{
    for (auto _ : state) {
        quint16 port = 0;
        const int lfd = listenLoopback(port);
        StalledReader reader(lfd, "bench msg ");

        LoggerConfig config;
        config.serverPort = port;
        Logger::initialize(QCoreApplication::instance(), config);
        spin(300); // connected, INIT_CLIENT sent
        const double before = statusMb("VmRSS:");
        for (int i = 0; i < MESSAGES; ++i)
            LOG_INFO("bench", "bench msg " << i << " of a producer whose server went to sleep");
        // Every message has reached the client when this returns.
        QMetaObject::invokeMethod(Logger::global->client(), [] {}, Qt::BlockingQueuedConnection);
        const double after = statusMb("VmRSS:");
        if (state.range(0) != 0) {
            reader.resume();
            for (int waited = 0; waited < 20000 && !reader.toldDropped(); waited += 10)
                spin(10);
        }
        const QByteArray err = capturingStderr([] { delete Logger::global; });
        reader.finish();
        std::fwrite(err.constData(), 1, static_cast<size_t>(err.size()), stderr);

        setCounters(state, before, after, reader, sumOf(reader.dropLines(), QStringLiteral("dropped (\\d+) messages")),
                    sumOf(err, QStringLiteral("logger: (\\d+) messages not sent")));
    }
}

void BM_LocalSinkClientServerStopsReading(benchmark::State& state)
{
    for (auto _ : state) {
        QTemporaryDir dir;
        const QByteArray path = QDir(dir.path()).filePath(QStringLiteral("sink")).toLocal8Bit();
        const int lfd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.constData(), static_cast<size_t>(path.size()));
        ::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(lfd, 4);
        StalledReader reader(lfd, "bench line ");

        long long droppedTold = 0;
        auto* client = new LogClient(QString::fromLocal8Bit(path));
        QObject::connect(client, &LogClient::sigErrorMessage, [&droppedTold](const QString& m) {
            droppedTold += sumOf(m.toLatin1(), QStringLiteral("dropped (\\d+) lines"));
        });
        spin(100);
        const double before = statusMb("VmRSS:");
        for (int i = 0; i < MESSAGES; ++i)
            client->write(QStringLiteral("bench line %1 of a sink that went to sleep").arg(i));
        const double after = statusMb("VmRSS:");
        if (state.range(0) != 0) {
            reader.resume();
            for (int waited = 0; waited < 20000 && droppedTold == 0; waited += 10)
                spin(10);
        }
        const QByteArray err = capturingStderr([client] { delete client; });
        reader.finish();
        std::fwrite(err.constData(), 1, static_cast<size_t>(err.size()), stderr);

        setCounters(state, before, after, reader, droppedTold,
                    sumOf(err, QStringLiteral("LogClient: (\\d+) lines not sent")));
    }
}


void BM_TcpClientPortHeld(benchmark::State& state)
{
    constexpr int SENT = 300;
    for (auto _ : state) {
        QTemporaryDir home;
        qputenv("HOME", home.path().toUtf8());
        quint16 port = 0;
        const int lfd = listenLoopback(port);
        std::atomic<bool> holding{true};
        std::atomic<int> resets{0};
        std::thread holder([&] {
            while (holding) {
                pollfd p{lfd, POLLIN, 0};
                if (::poll(&p, 1, 10) <= 0)
                    continue;
                const int fd = ::accept(lfd, nullptr, nullptr);
                if (fd < 0)
                    continue;
                const linger reset{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                ::close(fd);
                ++resets;
            }
            ::close(lfd);
        });

        LoggerConfig config;
        config.serverPort = port;
        Logger::initialize(QCoreApplication::instance(), config);
        QThread serverThread;
        LoggerServer* server = nullptr;
        std::mutex mutex;
        long long got = 0;
        QByteArray dropLines;
        for (int i = 0; i < SENT; ++i) {
            if (i == 160) { // 8 s: the holder lets go and the server takes the port
                holding = false;
                holder.join();
                server = new LoggerServer;
                QObject::connect(server, &LoggerServer::logEvent, server, [&](const LoggerEvent& e) {
                    if (e.clientName != QCoreApplication::applicationName())
                        return;
                    std::lock_guard<std::mutex> lock(mutex);
                    if (e.text.startsWith(QStringLiteral("held msg ")) || e.text == "initialized global logger")
                        ++got;
                    else if (e.text.startsWith(QStringLiteral("dropped ")))
                        dropLines += e.text.toLatin1() + '\n';
                }, Qt::DirectConnection);
                server->moveToThread(&serverThread);
                QObject::connect(&serverThread, &QThread::finished, server, &QObject::deleteLater);
                serverThread.start();
                QMetaObject::invokeMethod(server, [server, port] {
                    server->setServerInfo(QHostAddress::LocalHost, port);
                    server->start();
                }, Qt::BlockingQueuedConnection);
            }
            LOG_INFO("bench", "held msg " << i);
            spin(50);
        }
        const QByteArray err = capturingStderr([] { delete Logger::global; });
        std::fwrite(err.constData(), 1, static_cast<size_t>(err.size()), stderr);
        spin(200);
        serverThread.quit();
        serverThread.wait();
        state.counters["resets"] = resets.load();
        state.counters["got"] = static_cast<double>(got);
        state.counters["dropped_told"] = static_cast<double>(sumOf(dropLines, QStringLiteral("dropped (\\d+) messages")));
        state.counters["not_sent_told"] = static_cast<double>(sumOf(err, QStringLiteral("logger: (\\d+) messages not sent")));
        // The logger's own "initialized global logger" is sent too.
        state.counters["sent"] = SENT + 1;
    }
}

void BM_TcpClientPushedBytes(benchmark::State& state)
{
    constexpr long long PUSH = 400LL * 1024 * 1024;
    for (auto _ : state) {
        quint16 port = 0;
        const int lfd = listenLoopback(port);
        std::atomic<long long> pushed{0};
        std::thread pusher([&] {
            const int fd = ::accept(lfd, nullptr, nullptr);
            static const QByteArray zeros(1 << 16, '\0');
            while (fd >= 0 && pushed < PUSH) {
                pollfd p{fd, POLLOUT, 0};
                if (::poll(&p, 1, 20000) <= 0)
                    break; // the client stopped taking bytes
                const ssize_t n = ::send(fd, zeros.constData(), static_cast<size_t>(zeros.size()), MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                pushed += n;
            }
            if (fd >= 0)
                ::close(fd);
            ::close(lfd);
        });
        LoggerConfig config;
        config.serverPort = port;
        const double before = statusMb("VmRSS:");
        Logger::initialize(QCoreApplication::instance(), config);
        for (int waited = 0; waited < 30000 && pushed < PUSH; waited += 50)
            spin(50);
        const double after = statusMb("VmRSS:");
        delete Logger::global;
        pusher.join();
        state.counters["pushed_MB"] = static_cast<double>(pushed) / (1024.0 * 1024.0);
        state.counters["rss_before_MB"] = before;
        state.counters["rss_after_MB"] = after;
        state.counters["rss_peak_MB"] = statusMb("VmHWM:");
    }
}

// The loggerserver program on 127.0.0.1 with a free port, under --quiet, with HOME
// (and so its files) in a temporary folder.
class ServerProgram
{
public:
    ServerProgram()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home_.path());
        process_.setProcessEnvironment(env);
        process_.setStandardOutputFile(QProcess::nullDevice());
        process_.setStandardErrorFile(QProcess::nullDevice());
        process_.start(QStringLiteral(GSE_BINARY_DIR "/tools/logger/loggerserver"),
                       {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--quiet")});
        if (!process_.waitForStarted(10000))
            return;
        const QRegularExpression listening(QStringLiteral(" - listening on 127\\.0\\.0\\.1 (\\d+)"));
        for (int waited = 0; waited < 10000 && port_ == 0; waited += 20) {
            spin(20);
            port_ = static_cast<quint16>(listening.match(QString::fromLatin1(log())).captured(1).toUInt());
        }
    }
    ~ServerProgram()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    ServerProgram(const ServerProgram&) = delete;
    ServerProgram& operator=(const ServerProgram&) = delete;

    quint16 port() const { return port_; }
    pid_t pid() const { return static_cast<pid_t>(process_.processId()); }
    void kill()
    {
        ::kill(pid(), SIGKILL);
        process_.waitForFinished(5000);
    }
    // Every daily file's bytes.
    QByteArray log() const
    {
        QByteArray out;
        const QDir dir(home_.path() + QStringLiteral("/.veklogs"));
        for (const QString& name : dir.entryList(QDir::Files)) {
            QFile f(dir.filePath(name));
            if (f.open(QIODevice::ReadOnly))
                out += f.readAll();
        }
        return out;
    }

private:
    QTemporaryDir home_;
    QProcess process_;
    quint16 port_ = 0;
};

long long linesWith(const QByteArray& text, const QByteArray& marker)
{
    long long n = 0;
    for (qsizetype at = 0; (at = text.indexOf(marker, at)) >= 0; at += marker.size())
        ++n;
    return n;
}

// The global logger to the server at port, connected and past its first
// confirmation period.
void startLogger(quint16 port)
{
    LoggerConfig config;
    config.serverPort = port;
    Logger::initialize(QCoreApplication::instance(), config);
    spin(1500);
}

// Deletes the global logger; the count of messages it says it did not send.
long long endLogger()
{
    const QByteArray err = capturingStderr([] { delete Logger::global; });
    std::fwrite(err.constData(), 1, static_cast<size_t>(err.size()), stderr);
    return sumOf(err, QStringLiteral("logger: (\\d+) messages not sent"));
}

void BM_TcpClientServerStoppedThenKilled(benchmark::State& state)
{
    constexpr int SENT = 20000;
    for (auto _ : state) {
        ServerProgram server;
        if (server.port() == 0) {
            state.SkipWithError("the loggerserver program did not start");
            break;
        }
        startLogger(server.port());
        ::kill(server.pid(), SIGSTOP);
        for (int i = 0; i < SENT; ++i)
            LOG_INFO("bench", "stopped msg " << i << " of a producer whose server was stopped, then killed");
        QMetaObject::invokeMethod(Logger::global->client(), [] {}, Qt::BlockingQueuedConnection);
        spin(5000);
        server.kill();
        spin(500);
        const long long told = endLogger();
        const long long got = linesWith(server.log(), "stopped msg ");
        state.counters["sent"] = SENT;
        state.counters["got"] = static_cast<double>(got);
        state.counters["not_sent_told"] = static_cast<double>(told);
        state.counters["lost_uncounted"] = static_cast<double>(SENT - got - told);
    }
}

// Writers of one kind: count connections to port that each introduce themselves,
// send a line at once and then one every periodMs, and are replaced as soon as the
// server closes them. Each line holds the marker.
class Writers
{
public:
    Writers(quint16 port, int count, int periodMs, QByteArray marker)
        : marker_(std::move(marker)), thread_([this, port, count, periodMs] { run(port, count, periodMs); })
    {
    }
    ~Writers() { stop(); }
    Writers(const Writers&) = delete;
    Writers& operator=(const Writers&) = delete;

    void stop()
    {
        stopped_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    int open() const { return open_; }
    long long sent() const { return sent_; }
    long long closed() const { return closed_; }

private:
    using Clock = std::chrono::steady_clock;

    int connectOne(quint16 port)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const timeval wait{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
        sockaddr_in to = loopbackAddress(port);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            ::close(fd);
            return -1;
        }
        const QByteArray hello = LoggerCmdInitClientMsg(QString::fromLatin1(marker_), 1).toEncoded();
        ::send(fd, hello.constData(), static_cast<size_t>(hello.size()), MSG_NOSIGNAL);
        return fd;
    }
    void sendLine(int fd)
    {
        const QByteArray line = LoggerEventMsg(QStringLiteral("app"), QStringLiteral("x.cpp"), 1, INFO,
                                               QString::fromLatin1(marker_ + " line " + QByteArray::number(sent_)))
                                    .toEncoded();
        if (::send(fd, line.constData(), static_cast<size_t>(line.size()), MSG_NOSIGNAL | MSG_DONTWAIT) == line.size())
            ++sent_;
    }
    void run(quint16 port, int count, int periodMs)
    {
        const auto period = std::chrono::milliseconds(periodMs);
        std::vector<pollfd> fds(static_cast<size_t>(count), pollfd{-1, POLLIN, 0});
        std::vector<Clock::time_point> due(static_cast<size_t>(count), Clock::now());
        while (!stopped_) {
            const auto now = Clock::now();
            int open = 0;
            for (size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].fd < 0 && !stopped_) {
                    fds[i].fd = connectOne(port);
                    due[i] = now;
                }
                if (fds[i].fd < 0)
                    continue;
                ++open;
                if (now >= due[i]) {
                    sendLine(fds[i].fd);
                    due[i] = now + period;
                }
            }
            open_ = open;
            if (::poll(fds.data(), fds.size(), 10) <= 0)
                continue;
            for (pollfd& p : fds) {
                char buf[4096];
                if (p.fd >= 0 && p.revents != 0 && ::read(p.fd, buf, sizeof buf) <= 0) {
                    ::close(p.fd);
                    p.fd = -1;
                    ++closed_;
                }
            }
        }
        for (pollfd& p : fds) {
            if (p.fd >= 0)
                ::close(p.fd);
        }
    }

    QByteArray marker_;
    std::atomic<bool> stopped_{false};
    std::atomic<int> open_{0};
    std::atomic<long long> sent_{0};
    std::atomic<long long> closed_{0};
    std::thread thread_;
};

int loggerRetries()
{
    int retries = 0;
    LoggerClientMsgSender* client = Logger::global->client();
    QMetaObject::invokeMethod(client, [&] { retries = client->retryCount(); }, Qt::BlockingQueuedConnection);
    return retries;
}

void BM_TcpConnectionsHeld(benchmark::State& state)
{
    for (auto _ : state) {
        ServerProgram server;
        if (server.port() == 0) {
            state.SkipWithError("the loggerserver program did not start");
            break;
        }
        const QElapsedTimer clock = [] {
            QElapsedTimer t;
            t.start();
            return t;
        }();
        auto hold = std::make_unique<Writers>(server.port(), 1000, 1000, "hold");
        for (int waited = 0; waited < 10000 && hold->open() < 1000; waited += 50)
            spin(50);
        const int held = hold->open();
        auto quiet = std::make_unique<Writers>(server.port(), 10, 2000, "quiet");
        auto busy = std::make_unique<Writers>(server.port(), 10, 100, "busy");
        startLogger(server.port());
        int during = 0;
        for (; clock.elapsed() < 15000; ++during) {
            LOG_INFO("bench", "logger during " << during);
            spin(1500);
        }
        hold->stop();
        quiet->stop();
        busy->stop();
        const int retriesAtEnd = loggerRetries();
        constexpr int AFTER = 25;
        for (int i = 0; i < AFTER; ++i) {
            LOG_INFO("bench", "logger after " << i);
            spin(200);
        }
        spin(1500);
        const long long told = endLogger();
        const QByteArray log = server.log();
        state.counters["held"] = held;
        state.counters["hold_reconnects"] = static_cast<double>(hold->closed());
        state.counters["quiet_sent"] = static_cast<double>(quiet->sent());
        state.counters["quiet_written"] = static_cast<double>(linesWith(log, " - quiet line "));
        state.counters["quiet_closed"] = static_cast<double>(quiet->closed());
        state.counters["busy_sent"] = static_cast<double>(busy->sent());
        state.counters["busy_written"] = static_cast<double>(linesWith(log, " - busy line "));
        state.counters["busy_closed"] = static_cast<double>(busy->closed());
        state.counters["evictions_said"] = static_cast<double>(linesWith(log, "the longest silent"));
        state.counters["logger_retries_at_end"] = retriesAtEnd;
        state.counters["logger_during_sent"] = during;
        state.counters["logger_during_written"] = static_cast<double>(linesWith(log, " - logger during "));
        state.counters["logger_after_sent"] = AFTER;
        state.counters["logger_after_written"] = static_cast<double>(linesWith(log, " - logger after "));
        state.counters["logger_not_sent_told"] = static_cast<double>(told);
    }
}

BENCHMARK(BM_TcpClientServerStoppedThenKilled)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcpConnectionsHeld)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcpClientPortHeld)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcpClientPushedBytes)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcpClientServerStopsReading)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LocalSinkClientServerStopsReading)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
