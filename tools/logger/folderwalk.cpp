#include "tools/logger/folderwalk.h"

#include <QFile>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace FolderWalk {
namespace {

#if defined(O_PATH)
// Folders are only passed through: one the user may search but not list serves.
constexpr int FOLDER_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int FOLDER_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// Components handled in one walk, links included: a bound whatever the links say.
constexpr int MAX_STEPS = 64 * 1024;

// An open descriptor, closed when it goes.
class Fd
{
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept
    {
        std::swap(fd_, other.fd_);
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

struct FolderId
{
    dev_t dev;
    ino_t ino;
    bool operator==(const FolderId&) const = default;
};

std::optional<FolderId> identify(int fd)
{
    struct stat st = {};
    if (::fstat(fd, &st) != 0)
        return std::nullopt;
    return FolderId{st.st_dev, st.st_ino};
}

Opened refused(Refusal why, int error = 0)
{
    return Opened{-1, why, error};
}

// Opens name inside the open folder dirFd for appending, as a regular file only:
// a symbolic link is not followed, a FIFO never blocks the open (O_NONBLOCK), a
// terminal put there never becomes the caller's (O_NOCTTY), and a device or folder
// is closed again.
Opened openRegular(int dirFd, const QByteArray& name)
{
    struct stat st = {};
    if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode))
            return refused(Refusal::SymbolicLink);
        if (!S_ISREG(st.st_mode))
            return refused(Refusal::NotRegular);
    }
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    Fd fd(::openat(dirFd, name.constData(), flags, 0600));
    if (fd.get() < 0)
        return errno == ELOOP ? refused(Refusal::SymbolicLink) : refused(Refusal::System, errno);
    // Checked again on what was opened: the name may have changed since.
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return refused(Refusal::NotRegular);
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    return Opened{fd.release(), Refusal::None, 0};
}

// The walk from the first folder of a path to the folder of its file. Every folder
// is opened from the one before it and never by a name that holds a '/', so what
// the walk holds is always the folder it reached, whatever is renamed meanwhile.
class Walk
{
public:
    // roots: the allowed folders; none given (nullptr) allows every folder.
    explicit Walk(const std::vector<FolderId>* roots) : roots_(roots) {}

    Opened run(const QByteArray& path)
    {
        // The system would read a name only up to a NUL: "..\0" would be taken
        // for "..", unchecked.
        if (path.contains('\0'))
            return refused(Refusal::System, EINVAL);
        const qsizetype slash = path.lastIndexOf('/');
        const QByteArray name = path.mid(slash + 1);
        if (name.isEmpty() || name == "." || name == "..")
            return refused(Refusal::NotRegular);
        if (int error = restart(path.startsWith('/')))
            return refused(Refusal::System, error);
        pushFront(slash < 0 ? QByteArray() : path.left(slash));
        int links = 0;
        for (int steps = 0; !pending_.empty(); ++steps) {
            if (steps >= MAX_STEPS)
                return refused(Refusal::System, ELOOP);
            const QByteArray component = std::move(pending_.front());
            pending_.pop_front();
            const int error = component == ".." ? up() : down(component, &links);
            if (error == -1)
                return refused(Refusal::Outside);
            if (error != 0)
                return refused(Refusal::System, error);
        }
        if (!levels_.back().inside)
            return refused(Refusal::Outside);
        return openRegular(folder_.get(), name);
    }

private:
    struct Level
    {
        FolderId id;
        bool inside; // this folder is an allowed one or lies below one
    };

    bool isRoot(const FolderId& id) const
    {
        if (roots_ == nullptr)
            return true;
        for (const FolderId& r : *roots_) {
            if (r == id)
                return true;
        }
        return false;
    }

    // Starts at the root folder (absolute) or the current one; 0 or errno.
    int restart(bool absolute)
    {
        absolute_ = absolute;
        Fd fd(::open(absolute ? "/" : ".", FOLDER_FLAGS));
        const auto id = fd.get() < 0 ? std::nullopt : identify(fd.get());
        if (!id)
            return errno;
        folder_ = std::move(fd);
        levels_.assign(1, Level{*id, isRoot(*id)});
        return 0;
    }

    // Puts the components of a path before those still to walk.
    void pushFront(const QByteArray& path)
    {
        const QList<QByteArray> parts = path.split('/');
        for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
            if (!it->isEmpty() && *it != ".")
                pending_.push_front(*it);
        }
    }

    // Into the sub-folder name, or through the symbolic link of that name;
    // 0 or errno.
    int down(const QByteArray& name, int* links)
    {
        Fd next(::openat(folder_.get(), name.constData(), FOLDER_FLAGS | O_NOFOLLOW));
        if (next.get() < 0) {
            const int error = errno;
            if (error != ELOOP && error != ENOTDIR)
                return error;
            // Perhaps a symbolic link: read once, and its target walked from here.
            char target[4096];
            const ssize_t n = ::readlinkat(folder_.get(), name.constData(), target, sizeof target);
            if (n < 0)
                return error;
            if (n == static_cast<ssize_t>(sizeof target))
                return ENAMETOOLONG;
            if (++*links > MAX_LINKS)
                return ELOOP;
            const QByteArray text(target, n);
            if (text.startsWith('/')) {
                if (int e = restart(true))
                    return e;
            }
            pushFront(text);
            return 0;
        }
        const auto id = identify(next.get());
        if (!id)
            return errno;
        folder_ = std::move(next);
        levels_.push_back(Level{*id, levels_.back().inside || isRoot(*id)});
        return 0;
    }

    // Back to the folder the walk came from; -1 when that folder is no longer the
    // parent (it was moved), else 0 or errno.
    int up()
    {
        if (levels_.size() == 1 && absolute_)
            return 0; // the parent of the root folder is itself
        Fd parent(::openat(folder_.get(), "..", FOLDER_FLAGS | O_NOFOLLOW));
        const auto id = parent.get() < 0 ? std::nullopt : identify(parent.get());
        if (!id)
            return errno;
        folder_ = std::move(parent);
        if (levels_.size() == 1) {
            levels_[0] = Level{*id, isRoot(*id)};
            return 0;
        }
        levels_.pop_back();
        return levels_.back().id == *id ? 0 : -1;
    }

    const std::vector<FolderId>* roots_;
    Fd folder_;
    bool absolute_ = true;
    std::vector<Level> levels_;
    std::deque<QByteArray> pending_;
};

} // namespace

Opened openForAppend(const QString& path)
{
    return Walk(nullptr).run(QFile::encodeName(path));
}

Opened openForAppendInside(const QString& path, const QStringList& allowedFolders)
{
    std::vector<FolderId> roots;
    for (const QString& folder : allowedFolders) {
        // The host's own setting: its links are followed.
        const Fd fd(::open(QFile::encodeName(folder).constData(), FOLDER_FLAGS));
        const auto id = fd.get() < 0 ? std::nullopt : identify(fd.get());
        if (id)
            roots.push_back(*id);
    }
    if (roots.empty())
        return refused(Refusal::Outside);
    return Walk(&roots).run(QFile::encodeName(path));
}

} // namespace FolderWalk
