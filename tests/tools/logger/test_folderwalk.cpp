#include "tools/logger/folderwalk.h"
#include "support/tempdir.h"
#include "support/eventwait.h"
#include "loggertestutil.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpSocket>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <gtest/gtest.h>

using FolderWalk::Refusal;
using namespace std::string_view_literals;

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Writes a line to what was opened, and closes it.
void writeLine(const FolderWalk::Opened& opened)
{
    const char line[] = "line\n";
    ASSERT_EQ(::write(opened.fd, line, sizeof line - 1), static_cast<ssize_t>(sizeof line - 1));
    ::close(opened.fd);
}

// tmp/allowed: the allowed folder, with folders, links in and out, a FIFO;
// tmp/outside: where nothing may ever be written.
struct Folders
{
    TestSupport::TempDir tmp;
    QString allowed = tmp.filePath("allowed");
    QString outside = tmp.filePath("outside");

    Folders()
    {
        QDir(tmp.path()).mkpath("allowed/sub/deeper");
        QDir(tmp.path()).mkpath("outside");
        tmp.write("outside/target.log", "keep\n");
        link(outside, "allowed/outlink");
        link("../outside/target.log", "allowed/filelink.log");
        link("sub", "allowed/inlink");
        link(allowed + "/sub", "allowed/inabs");
        link("sub/../..", "allowed/upout");
        link("loop", "allowed/loop");
        link(allowed, "alias");
        ::mkfifo(qPrintable(allowed + "/fifo"), 0600);
    }
    void link(const QString& target, const QString& name) const
    {
        EXPECT_EQ(::symlink(qPrintable(target), qPrintable(tmp.filePath(name))), 0) << name.toStdString();
    }
    QStringList outsideEntries() const { return QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System); }
};

struct Case
{
    std::string_view path; // below tmp, or relative to it when it starts with "./"
    Refusal refusal;
    int error;           // errno of a System refusal
    const char* written; // below tmp: where the line must land; nullptr when refused
    bool confined = true;
    const char* allowedFolder = "allowed";
};

const Case CASES[] = {
    {"allowed/plain.log", Refusal::None, 0, "allowed/plain.log"},
    {"./allowed/relative.log", Refusal::None, 0, "allowed/relative.log"},
    {"allowed/sub/deeper/nested.log", Refusal::None, 0, "allowed/sub/deeper/nested.log"},
    {"allowed/sub/../back.log", Refusal::None, 0, "allowed/back.log"},
    {"allowed/../outside/e.log", Refusal::Outside, 0, nullptr},
    {"allowed/sub/../../outside/e.log", Refusal::Outside, 0, nullptr},
    {"allowed", Refusal::Outside, 0, nullptr},
    {"allowed/outlink/x.log", Refusal::Outside, 0, nullptr},
    {"allowed/upout/outside/x.log", Refusal::Outside, 0, nullptr},
    {"allowed/filelink.log", Refusal::SymbolicLink, 0, nullptr},
    {"allowed/inlink/in.log", Refusal::None, 0, "allowed/sub/in.log"},
    {"allowed/inabs/deeper/abs.log", Refusal::None, 0, "allowed/sub/deeper/abs.log"},
    {"alias/via-alias.log", Refusal::None, 0, "allowed/via-alias.log"},
    {"allowed/named-by-alias.log", Refusal::None, 0, "allowed/named-by-alias.log", true, "alias"},
    {"allowed/fifo", Refusal::NotRegular, 0, nullptr},
    {"allowed/sub", Refusal::NotRegular, 0, nullptr},
    {"allowed/", Refusal::NotRegular, 0, nullptr},
    {"allowed/sub/..", Refusal::NotRegular, 0, nullptr},
    {"allowed/missing/x.log", Refusal::System, ENOENT, nullptr},
    {"allowed/filelink.log/x.log", Refusal::System, ENOTDIR, nullptr},
    {"allowed/loop/x.log", Refusal::System, ELOOP, nullptr},
    {"allowed/..\0/outside/nul.log"sv, Refusal::System, EINVAL, nullptr},
    {"allowed/nul.log\0.txt"sv, Refusal::System, EINVAL, nullptr},
    // The daily files are not confined: folder links are followed, a file link still is not.
    {"allowed/outlink/daily.log", Refusal::None, 0, "outside/daily.log", false},
    {"allowed/filelink.log", Refusal::SymbolicLink, 0, nullptr, false},
};

// What a client may name as the main file, and where the line lands.
TEST(FolderWalk, OpensOnlyRegularFilesInsideTheAllowedFolder)
{
    const mode_t oldMask = ::umask(022);
    for (const Case& c : CASES) {
        Folders f;
        const QString rel = QString::fromLatin1(c.path.data(), static_cast<qsizetype>(c.path.size()));
        SCOPED_TRACE(rel.toStdString());
        QString path = f.tmp.filePath(rel);
        const QString cwd = QDir::currentPath();
        if (rel.startsWith("./")) {
            ASSERT_TRUE(QDir::setCurrent(f.tmp.path()));
            path = rel;
        }
        const QStringList allowed{f.tmp.filePath(QString::fromLatin1(c.allowedFolder))};
        const FolderWalk::Opened opened =
            c.confined ? FolderWalk::openForAppendInside(path, allowed) : FolderWalk::openForAppend(path);
        QDir::setCurrent(cwd);
        EXPECT_EQ(opened.refusal, c.refusal);
        EXPECT_EQ(opened.error, c.error) << std::strerror(opened.error);
        EXPECT_EQ(opened.fd >= 0, c.written != nullptr);
        if (opened.fd >= 0) {
            writeLine(opened);
            const QString written = f.tmp.filePath(QString::fromLatin1(c.written));
            EXPECT_EQ(readAll(written), "line\n");
            struct stat st = {};
            ASSERT_EQ(::stat(qPrintable(written), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0600u);
        }
        if (c.confined) {
            EXPECT_EQ(f.outsideEntries(), QStringList{"target.log"});
            EXPECT_EQ(readAll(f.outside + "/target.log"), "keep\n");
        }
    }
    ::umask(oldMask);
}

TEST(FolderWalk, NoAllowedFolderThatExistsAllowsNothing)
{
    Folders f;
    const FolderWalk::Opened opened =
        FolderWalk::openForAppendInside(f.allowed + "/x.log", QStringList{f.tmp.filePath("gone")});
    EXPECT_EQ(opened.refusal, Refusal::Outside);
    EXPECT_FALSE(QFileInfo::exists(f.allowed + "/x.log"));
}

// allowed/d turns into a link to the outside folder and back, as fast as it can.
class Swapper
{
public:
    explicit Swapper(const Folders& f)
        : d_(QFile::encodeName(f.allowed + "/d")),
          aside_(QFile::encodeName(f.allowed + "/d.aside")),
          outside_(QFile::encodeName(f.outside))
    {
        ::mkdir(d_.constData(), 0700);
        thread_ = std::thread([this] {
            for (int i = 0; i < 10'000'000 && !stop_; ++i) {
                if (::rename(d_.constData(), aside_.constData()) != 0)
                    continue;
                ::symlink(outside_.constData(), d_.constData());
                ++swaps_;
                ::unlink(d_.constData());
                ::rename(aside_.constData(), d_.constData());
            }
        });
    }
    ~Swapper() { stop(); }
    // Stops with allowed/d a folder again; returns the swaps made.
    int stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        return swaps_;
    }

private:
    QByteArray d_, aside_, outside_;
    std::atomic<bool> stop_{false};
    std::atomic<int> swaps_{0};
    std::thread thread_;
};

// Opens allowed/d/x.log over and over for at most ms milliseconds, writing a line
// each time it opens; returns the lines written.
int openInALoop(const Folders& f, int ms)
{
    const QString path = f.allowed + "/d/x.log";
    const QStringList allowed{f.allowed};
    int written = 0;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 200'000 && timer.elapsed() < ms; ++i) {
        const FolderWalk::Opened opened = FolderWalk::openForAppendInside(path, allowed);
        if (opened.fd >= 0) {
            if (::write(opened.fd, "x\n", 2) == 2)
                ++written;
            ::close(opened.fd);
        }
    }
    return written;
}

void expectNothingOutside(const Folders& f, int written, int swaps)
{
    EXPECT_GT(swaps, 100) << "the folder was hardly swapped";
    EXPECT_GT(written, 0) << "no open succeeded";
    EXPECT_EQ(f.outsideEntries(), QStringList{"target.log"});
    EXPECT_EQ(readAll(f.outside + "/target.log"), "keep\n");
    EXPECT_EQ(readAll(f.allowed + "/d/x.log").count('\n'), written);
}

// A folder on the way swapped for a link out never lets a line out.
TEST(FolderWalk, FolderSwappedForALinkOutNeverLetsALineOut)
{
    Folders f;
    Swapper swapper(f);
    const int written = openInALoop(f, 1500);
    expectNothingOutside(f, written, swapper.stop());
}

// The same where /proc cannot be read, as in a chroot or some sandboxes: a child
// hides it in a mount namespace of its own and opens there.
TEST(FolderWalk, FolderSwappedForALinkOutWithoutProc)
{
    Folders f;
    int result[2];
    ASSERT_EQ(::pipe(result), 0);
    // Forked before the swapping thread starts: a child forked beside a
    // running thread may find a lock that thread held (the allocator's)
    // taken for ever.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(30);
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        int status = 2; // namespaces not permitted
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0) {
            auto put = [](const char* file, const QByteArray& text) {
                QFile out(QString::fromLatin1(file));
                return out.open(QIODevice::WriteOnly) && out.write(text) == text.size();
            };
            put("/proc/self/setgroups", "deny");
            put("/proc/self/uid_map", "0 " + QByteArray::number(uid) + " 1");
            put("/proc/self/gid_map", "0 " + QByteArray::number(gid) + " 1");
            if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
                && ::mount("none", "/proc", "tmpfs", 0, nullptr) == 0) {
                char target[64];
                status = ::readlink("/proc/self/fd/0", target, sizeof target) < 0 ? 0 : 3;
            }
        }
        int written = status == 0 ? openInALoop(f, 1500) : 0;
        [[maybe_unused]] ssize_t n = ::write(result[1], &written, sizeof written);
        ::_exit(status);
    }
    Swapper swapper(f);
    ::close(result[1]);
    int written = 0;
    const bool got = ::read(result[0], &written, sizeof written) == static_cast<ssize_t>(sizeof written);
    const int swaps = swapper.stop();
    ::close(result[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2)
        GTEST_SKIP() << "no user and mount namespaces here";
    ASSERT_EQ(WEXITSTATUS(status), 0) << "/proc still readable in the child";
    ASSERT_TRUE(got);
    expectNothingOutside(f, written, swaps);
}

// The loggerserver program where /proc cannot be read: a client names a main file
// in a folder that is swapped for a link out, over and over, each command followed
// by a line; not one line may land outside.
TEST(FolderWalk, ServerWithoutProcNeverWritesOutside)
{
    QProcess probe;
    probe.start("unshare", {"-rm", "sh", "-c", "mount -t tmpfs none /proc && ! test -e /proc/self"});
    if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
        GTEST_SKIP() << "no user and mount namespaces here";

    Folders f;
    const QString logDir = f.tmp.filePath(".veklogs");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", f.tmp.path());
    QProcess server;
    server.setProcessEnvironment(env);
    server.start("unshare", {"-rm", "sh", "-c", "mount -t tmpfs none /proc && exec \"$0\" \"$@\"",
                             GSE_BINARY_DIR "/tools/logger/loggerserver", "--port", "0", "--quiet",
                             "--allow-folder", f.allowed});
    ASSERT_TRUE(server.waitForStarted(10000));
    quint16 port = 0;
    TestWait::until([&] {
        for (const QFileInfo& day : QDir(logDir).entryInfoList(QDir::Files)) {
            for (const LoggerEvent& e : LoggerTest::readEvents(day.filePath())) {
                if (e.text.startsWith("listening on 127.0.0.1 "))
                    port = static_cast<quint16>(e.text.mid(23).toUInt());
            }
        }
        return port != 0;
    }, 10000);
    ASSERT_NE(port, 0);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(client.waitForConnected(5000));
    client.write(LoggerCmdInitClientMsg("swapper", 1).toEncoded());

    Swapper swapper(f);
    const QByteArray change = LoggerCmdChangeFileMsg("main_file", f.allowed + "/d/x.log").toEncoded();
    const QByteArray line = LoggerEventMsg("test", "x.cpp", 1, INFO, "a line").toEncoded();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 5000 && timer.elapsed() < 1500; ++i) {
        client.write(change + line);
        client.waitForBytesWritten(1000);
    }
    // Once the server has read everything, its main file goes back to the log folder.
    client.write(LoggerCmdChangeFileMsg("main_file", "end.log").toEncoded() + LoggerEventMsg(INFO, "end").toEncoded());
    const bool ended = TestWait::until([&] { return readAll(logDir + "/end.log").contains(" - end"); }, 20000);
    const int swaps = swapper.stop();
    client.disconnectFromHost();
    server.terminate();
    server.waitForFinished(10000);
    ASSERT_TRUE(ended);
    EXPECT_GT(swaps, 100);
    EXPECT_EQ(f.outsideEntries(), QStringList{"target.log"});
    EXPECT_EQ(readAll(f.outside + "/target.log"), "keep\n");
    EXPECT_GT(readAll(f.allowed + "/d/x.log").count("a line"), 0);
}

} // namespace
