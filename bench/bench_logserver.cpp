// The logging server under load, run as its own process (the loggerserver program,
// or the one LOGSERVER_PROGRAM names) on 127.0.0.1 with HOME in a temporary folder.
// Burst/N/M: N clients connect at once and send M lines each as fast as they can;
// counts the lines written to the daily file against those sent, the clients whose
// connection failed or was reset, the throughput, the server's peak RSS, and how
// long a new client's line takes to be written while the flood runs.
// Goal at 200 x 20,000: every line written, no reset, >= 190,000 lines/s, a new
// client's line written within 1 s.
// PartialLines/K: K connections each hold a partial line just under the 1 MiB line
// limit; the server's RSS while they are open and after they close.
// Every loop is bounded in count and time; nothing leaves the loopback address.
#include "tools/util/datetimeutil.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string serverProgram()
{
    if (const char* p = std::getenv("LOGSERVER_PROGRAM"))
        return p;
    return GSE_BINARY_DIR "/tools/logger/loggerserver";
}

// The date part of a time text, which names the daily file its events go to.
std::string dailyFile(const std::string& home, const std::string& timestamp)
{
    return home + "/.veklogs/" + timestamp.substr(0, 10) + "-log.txt";
}

// Reads what a growing file gained since the last call, whole lines only.
class FileTail
{
public:
    explicit FileTail(std::string path) : path_(std::move(path)) {}

    // Calls onLine for each new complete line; returns the number of new bytes.
    template <typename F>
    size_t poll(F onLine)
    {
        std::ifstream in(path_, std::ios::binary);
        if (!in)
            return 0;
        in.seekg(static_cast<std::streamoff>(offset_));
        char buf[1 << 16];
        size_t total = 0;
        while (in.read(buf, sizeof buf), in.gcount() > 0) {
            const size_t n = static_cast<size_t>(in.gcount());
            total += n;
            partial_.append(buf, n);
            size_t start = 0;
            for (size_t lf; (lf = partial_.find('\n', start)) != std::string::npos; start = lf + 1)
                onLine(std::string_view(partial_).substr(start, lf - start));
            partial_.erase(0, start);
            if (total > (64u << 20))
                break; // leave the rest for the next call
        }
        offset_ += total;
        return total;
    }

private:
    std::string path_;
    size_t offset_ = 0;
    std::string partial_;
};

struct ProcStatus
{
    long rssKiB = 0;
    long hwmKiB = 0;
};

ProcStatus procStatus(pid_t pid)
{
    ProcStatus s;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (in >> key) {
        if (key == "VmRSS:")
            in >> s.rssKiB;
        else if (key == "VmHWM:")
            in >> s.hwmKiB;
    }
    return s;
}

// A loggerserver process with HOME in a temporary folder, stopped and cleaned up at the end.
class ServerProcess
{
public:
    ServerProcess()
    {
        char tmpl[] = "/tmp/bench_logserver.XXXXXX";
        if (::mkdtemp(tmpl) == nullptr)
            return;
        home_ = tmpl;
        std::vector<std::string> envText;
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::strncmp(*e, "HOME=", 5) != 0)
                envText.emplace_back(*e);
        }
        envText.push_back("HOME=" + home_);
        std::vector<char*> envp;
        for (std::string& e : envText)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        const std::string program = serverProgram();
        std::vector<std::string> argText{program, "--port", "0", "--quiet"};
        std::vector<char*> argv;
        for (std::string& a : argText)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
            return;
        }
        // The server logs the port it listens on into today's daily file.
        FileTail tail(dailyFile(home_, currentDateTimeIsoMsecs().toStdString()));
        const auto start = Clock::now();
        while (port_ == 0 && secondsSince(start) < 10) {
            tail.poll([&](std::string_view line) {
                const size_t at = line.find("listening on 127.0.0.1 ");
                if (at != std::string_view::npos)
                    port_ = static_cast<uint16_t>(std::atoi(std::string(line.substr(at + 23)).c_str()));
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    ~ServerProcess()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            const auto start = Clock::now();
            while (::waitpid(pid_, &status, WNOHANG) == 0) {
                if (secondsSince(start) > 10) {
                    ::kill(pid_, SIGKILL);
                    ::waitpid(pid_, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        if (!home_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(home_, ec);
        }
    }

    bool ok() const { return port_ != 0; }
    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string& home() const { return home_; }

private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string home_;
};

// A blocking TCP connection to 127.0.0.1; a send that stalls for 60 s fails.
int connectTo(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    timeval tv{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string wireLine(const std::string& timestamp, const std::string& component, int line, int thread,
                     const std::string& level, const std::string& text)
{
    const std::string d = "*=-!";
    return timestamp + d + component + d + "bench_logserver.cpp" + d + std::to_string(line) + d
        + std::to_string(thread) + d + level + d + text + "\n";
}

std::string initLine(const std::string& timestamp, const std::string& name, int pid)
{
    return wireLine(timestamp, "", -1, 0, "LOG_CMD", "INIT_CLIENT-=-" + name + "-=-" + std::to_string(pid));
}

// Reads "c<client> i<index>" after the level field of a log-file line.
bool parseBenchText(std::string_view line, int& client, int& index)
{
    const size_t at = line.find(" - INFO - c");
    if (at == std::string_view::npos)
        return false;
    return std::sscanf(std::string(line.substr(at + 11, 24)).c_str(), "%d i%d", &client, &index) == 2;
}

void BM_Burst(benchmark::State& state)
{
    const int clients = static_cast<int>(state.range(0));
    const int perClient = static_cast<int>(state.range(1));
    for (auto _ : state) {
        ServerProcess server;
        if (!server.ok()) {
            state.SkipWithError("the loggerserver program did not start");
            return;
        }
        const std::string stamp = currentDateTimeIsoMsecs().toStdString();
        const std::string pad(48, '.');

        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        std::atomic<int> finished{0};
        std::atomic<int> failedConnect{0};
        std::atomic<int> failedSend{0};
        std::vector<std::thread> threads;
        threads.reserve(static_cast<size_t>(clients));
        for (int c = 0; c < clients; ++c) {
            threads.emplace_back([&, c] {
                std::string bytes = initLine(stamp, "bench" + std::to_string(c), 1000 + c);
                bytes.reserve(bytes.size() + static_cast<size_t>(perClient) * 140);
                for (int i = 0; i < perClient; ++i)
                    bytes += wireLine(stamp, "bench", i, c, "INFO",
                                      "c" + std::to_string(c) + " i" + std::to_string(i) + " " + pad);
                ++ready;
                while (!go.load())
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                const int fd = connectTo(server.port());
                if (fd < 0) {
                    ++failedConnect;
                } else {
                    if (!sendAll(fd, bytes))
                        ++failedSend;
                    ::close(fd);
                }
                ++finished;
            });
        }
        const auto prepStart = Clock::now();
        while (ready.load() < clients && secondsSince(prepStart) < 120)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));

        // Counted from the daily file as the server writes it.
        FileTail tail(dailyFile(server.home(), stamp));
        long long written = 0;
        long long outOfOrder = 0;
        std::vector<int> next(static_cast<size_t>(clients), 0);
        int probeSeen = -1;
        auto onLine = [&](std::string_view line) {
            int c = 0;
            int i = 0;
            if (line.find(" - probe - ") != std::string_view::npos) {
                if (parseBenchText(line, c, i))
                    probeSeen = std::max(probeSeen, i);
                return;
            }
            if (line.find(" - bench - ") == std::string_view::npos || !parseBenchText(line, c, i))
                return;
            ++written;
            if (c >= 0 && c < clients) {
                if (i != next[static_cast<size_t>(c)])
                    ++outOfOrder;
                next[static_cast<size_t>(c)] = i + 1;
            }
        };

        const long long expected = static_cast<long long>(clients) * perClient;
        const auto start = Clock::now();
        go = true;
        // A new client's line while the flood runs: one probe at a time, each on a
        // new connection, the next 200 ms after the last was written.
        std::vector<double> probeMs;
        int probeIndex = 0;
        int probeFd = -1;
        Clock::time_point probeSent;
        Clock::time_point nextProbe = start + std::chrono::milliseconds(300);
        auto lastLine = start;
        while (secondsSince(start) < 300) {
            const long long before = written;
            tail.poll(onLine);
            if (written > before)
                lastLine = Clock::now();
            const auto now = Clock::now();
            if (probeFd >= 0 && probeSeen >= probeIndex) {
                probeMs.push_back(std::chrono::duration<double, std::milli>(now - probeSent).count());
                ::close(probeFd);
                probeFd = -1;
                ++probeIndex;
                nextProbe = now + std::chrono::milliseconds(200);
            } else if (probeFd >= 0 && now - probeSent > std::chrono::seconds(30)) {
                probeMs.push_back(30000);
                ::close(probeFd);
                probeFd = -1;
                ++probeIndex;
                nextProbe = now;
            }
            // Probes go on while the clients' lines still come in.
            const bool flooding = written < expected && (finished.load() < clients || now - lastLine < std::chrono::seconds(1));
            if (probeFd < 0 && flooding && now >= nextProbe && probeIndex < 100) {
                probeFd = connectTo(server.port());
                probeSent = Clock::now();
                if (probeFd >= 0)
                    sendAll(probeFd, initLine(stamp, "probe", 1) + wireLine(stamp, "probe", 0, 0, "INFO",
                                                                     "c0 i" + std::to_string(probeIndex)));
            }
            if (written >= expected && probeFd < 0)
                break;
            if (finished.load() == clients && probeFd < 0 && now - lastLine > std::chrono::seconds(5))
                break; // no line of the clients for 5 s: the rest is lost
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        const double seconds = std::chrono::duration<double>(lastLine - start).count();
        const ProcStatus status = procStatus(server.pid());
        for (std::thread& t : threads)
            t.join();
        if (probeFd >= 0)
            ::close(probeFd);

        std::sort(probeMs.begin(), probeMs.end());
        state.SetIterationTime(seconds);
        state.counters["sent"] = static_cast<double>(expected);
        state.counters["written"] = static_cast<double>(written);
        state.counters["lost"] = static_cast<double>(expected - written);
        state.counters["out_of_order"] = static_cast<double>(outOfOrder);
        state.counters["failed_connect"] = failedConnect.load();
        state.counters["reset"] = failedSend.load();
        state.counters["lines_per_s"] = seconds > 0 ? static_cast<double>(written) / seconds : 0;
        state.counters["peak_rss_MiB"] = static_cast<double>(status.hwmKiB) / 1024.0;
        state.counters["probes"] = static_cast<double>(probeMs.size());
        state.counters["probe_median_ms"] = probeMs.empty() ? 0 : probeMs[probeMs.size() / 2];
        state.counters["probe_max_ms"] = probeMs.empty() ? 0 : probeMs.back();
    }
}

// Samples the server's RSS every 100 ms until it holds still for 1 s (at most 30 s).
long settledRssKiB(pid_t pid)
{
    long last = -1;
    auto stableSince = Clock::now();
    const auto start = Clock::now();
    while (secondsSince(start) < 30) {
        const long rss = procStatus(pid).rssKiB;
        if (last < 0 || std::labs(rss - last) > 1024) {
            last = rss;
            stableSince = Clock::now();
        } else if (secondsSince(stableSince) >= 1.0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return last;
}

void BM_PartialLines(benchmark::State& state)
{
    const int connections = static_cast<int>(state.range(0));
    const std::string partial(1024 * 1024 - 64, 'p'); // just under the per-line limit, no line feed
    for (auto _ : state) {
        ServerProcess server;
        if (!server.ok()) {
            state.SkipWithError("the loggerserver program did not start");
            return;
        }
        const long idleKiB = procStatus(server.pid()).rssKiB;
        std::vector<int> fds(static_cast<size_t>(connections), -1);
        std::atomic<int> failed{0};
        const auto start = Clock::now();
        std::vector<std::thread> threads;
        constexpr int senders = 8;
        for (int t = 0; t < senders; ++t) {
            threads.emplace_back([&, t] {
                for (int c = t; c < connections; c += senders) {
                    const int fd = connectTo(server.port());
                    if (fd < 0 || !sendAll(fd, partial))
                        ++failed;
                    fds[static_cast<size_t>(c)] = fd;
                }
            });
        }
        for (std::thread& t : threads)
            t.join();
        const double sendSeconds = secondsSince(start);
        const long duringKiB = settledRssKiB(server.pid());
        for (int fd : fds) {
            if (fd >= 0)
                ::close(fd);
        }
        const long afterKiB = settledRssKiB(server.pid());
        const ProcStatus status = procStatus(server.pid());
        state.SetIterationTime(sendSeconds);
        state.counters["failed_connections"] = failed.load();
        state.counters["idle_rss_MiB"] = static_cast<double>(idleKiB) / 1024.0;
        state.counters["rss_open_MiB"] = static_cast<double>(duringKiB) / 1024.0;
        state.counters["rss_closed_MiB"] = static_cast<double>(afterKiB) / 1024.0;
        state.counters["peak_rss_MiB"] = static_cast<double>(status.hwmKiB) / 1024.0;
    }
}

} // namespace

BENCHMARK(BM_Burst)
    ->ArgNames({"clients", "lines"})
    ->Args({1, 20000})
    ->Args({10, 20000})
    ->Args({50, 20000})
    ->Args({200, 20000})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PartialLines)->ArgName("connections")->Arg(2000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    // Each connection costs a descriptor here and one in the server, which inherits this limit.
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 65536);
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
    ::signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
