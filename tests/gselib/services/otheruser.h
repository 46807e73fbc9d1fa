#pragma once
// Another user at the other end of a local socket, for tests of who may reach
// whom: a child process that, as root, takes uid 65534 ("nobody") and serves
// on or connects to a path. It uses bare system calls only (it is forked from
// a Qt process), every wait is bounded, and it is killed when the object goes.
// Without the right to switch user, started() is false and the test skips.
#include <QByteArray>
#include <QString>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace TestOther {

constexpr uid_t OTHER_UID = 65534;
constexpr gid_t OTHER_GID = 65534;

enum class Role {
    SocketFileOfOther, // this user listens and serves; the socket file is given to the other user
    ProcessOfOther,    // this user binds; the other user listens and serves
    Squatter,          // the other user makes the folder and a socket in it, both open to all
    Client,            // the other user connects and sends
};

class OtherUser
{
public:
    OtherUser() = default;
    OtherUser(const OtherUser&) = delete;
    OtherUser& operator=(const OtherUser&) = delete;
    ~OtherUser() { kill(); }

    static bool canSwitchUser() { return ::geteuid() == 0; }

    // Starts the child and waits (bounded) until it serves or has tried to
    // connect. The payload goes to each client (serving) or to the server (Client).
    bool start(const QString& path, Role role, const QByteArray& payload)
    {
        if (!canSwitchUser() || ::pipe(status_) != 0 || ::pipe(control_) != 0)
            return false;
        pid_ = ::fork();
        if (pid_ < 0)
            return false;
        if (pid_ == 0) {
            ::close(status_[0]);
            ::close(control_[1]);
            child(QFile::encodeName(path), role, payload);
        }
        ::close(status_[1]);
        ::close(control_[0]);
        char c = 0;
        if (!readFor(&c, 1, 5000))
            return false;
        if (c == 'E')
            readFor(&error_, sizeof error_, 1000);
        started_ = c == 'R' || c == 'E';
        connected_ = c == 'R';
        return started_;
    }

    bool started() const { return started_; }
    // Client: whether connect() succeeded, else its errno.
    bool connected() const { return connected_; }
    int error() const { return error_; }

    // Stops the child and returns the bytes it received in all.
    long long finish()
    {
        if (pid_ <= 0)
            return -1;
        ::close(control_[1]);
        control_[1] = -1;
        long long got = -1;
        if (!readFor(&got, sizeof got, 5000))
            got = -1;
        kill();
        return got;
    }

private:
    static long long nowMs()
    {
        timespec t{};
        ::clock_gettime(CLOCK_MONOTONIC, &t);
        return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
    }

    bool readFor(void* into, size_t size, int ms)
    {
        pollfd p{status_[0], POLLIN, 0};
        return ::poll(&p, 1, ms) == 1 && ::read(status_[0], into, size) == static_cast<ssize_t>(size);
    }

    static bool becomeOther()
    {
        return ::setgroups(0, nullptr) == 0 && ::setgid(OTHER_GID) == 0 && ::setuid(OTHER_UID) == 0;
    }

    [[noreturn]] void child(const QByteArray& path, Role role, const QByteArray& payload)
    {
        // A peer that refuses us closes at once; its going must not end the child.
        ::signal(SIGPIPE, SIG_IGN);
        const int out = status_[1];
        const long long deadline = nowMs() + 20000;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.constData(), std::min(sizeof addr.sun_path - 1, size_t(path.size())));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        bool ok = fd >= 0;
        if (role == Role::Squatter || role == Role::Client)
            ok = ok && becomeOther();
        if (ok && role == Role::Squatter) {
            const QByteArray folder = path.left(path.lastIndexOf('/'));
            ::mkdir(folder.constData(), 0777);
            ::chmod(folder.constData(), 0777);
        }
        long long got = 0;
        if (ok && role == Role::Client) {
            const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            const int err = errno;
            if (rc == 0) {
                ::write(out, "R", 1);
                ::write(fd, payload.constData(), size_t(payload.size()));
            } else {
                ::write(out, "E", 1);
                ::write(out, &err, sizeof err);
            }
            waitForStop(deadline, -1, &got, rc == 0 ? fd : -1);
            ::write(out, &got, sizeof got);
            ::_exit(0);
        }
        ok = ok && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (ok && role == Role::SocketFileOfOther)
            ok = ::chown(path.constData(), OTHER_UID, OTHER_GID) == 0;
        if (ok && role == Role::ProcessOfOther)
            ok = becomeOther();
        if (ok && role == Role::Squatter)
            ok = ::chmod(path.constData(), 0777) == 0;
        ok = ok && ::listen(fd, 8) == 0;
        ::write(out, ok ? "R" : "F", 1);
        if (ok)
            waitForStop(deadline, fd, &got, -1, &payload);
        ::write(out, &got, sizeof got);
        ::_exit(0);
    }

    // Serves (listening >= 0) or reads its one connection (client >= 0) until
    // the parent closes the control pipe or the deadline passes.
    void waitForStop(long long deadline, int listening, long long* got, int client,
                     const QByteArray* payload = nullptr)
    {
        constexpr int MAX_PEERS = 32;
        pollfd fds[MAX_PEERS + 2];
        int n = 0;
        fds[n++] = {control_[0], POLLIN, 0};
        if (listening >= 0)
            fds[n++] = {listening, POLLIN, 0};
        if (client >= 0)
            fds[n++] = {client, POLLIN, 0};
        const int fixed = listening >= 0 ? 2 : 1;
        char buf[4096];
        while (nowMs() < deadline) {
            if (::poll(fds, nfds_t(n), 100) <= 0)
                continue;
            if (fds[0].revents)
                return;
            if (listening >= 0 && (fds[1].revents & POLLIN) && n < MAX_PEERS + 2) {
                const int c = ::accept(listening, nullptr, nullptr);
                if (c >= 0) {
                    ::write(c, payload->constData(), size_t(payload->size()));
                    fds[n++] = {c, POLLIN, 0};
                }
            }
            for (int i = fixed; i < n; ++i) {
                if (!fds[i].revents)
                    continue;
                const ssize_t r = ::read(fds[i].fd, buf, sizeof buf);
                if (r > 0) {
                    *got += r;
                } else {
                    ::close(fds[i].fd);
                    fds[i].fd = -1; // gone: poll skips it
                }
            }
        }
    }

    void kill()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        for (int* fd : {&status_[0], &control_[1]})
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
    }

    pid_t pid_ = -1;
    int status_[2] = {-1, -1};
    int control_[2] = {-1, -1};
    bool started_ = false;
    bool connected_ = false;
    int error_ = 0;
};

} // namespace TestOther
