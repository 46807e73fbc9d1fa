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
#include "gselib/services/logclient.h"
#include "tools/logger/log.h"
#include "tools/logger/loggerclient.h"
#include "tools/logger/loggerserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <mutex>
#include <QTimer>
#include <arpa/inet.h>
#include <atomic>
#include <benchmark/benchmark.h>
#include <cstdio>
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

// A listening socket on 127.0.0.1 with a free port; the port is written to port.
int listenLoopback(quint16& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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

BENCHMARK(BM_TcpClientPortHeld)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcpClientPushedBytes)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcpClientServerStopsReading)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LocalSinkClientServerStopsReading)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
