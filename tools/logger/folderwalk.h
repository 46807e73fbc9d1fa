#pragma once
// Opens a log file for appending by walking its path one folder at a time on
// descriptors: each component is opened from the folder opened before it without
// following a symbolic link, and a link met on the way is read once and its target
// walked the same way. Whether the file's folder lies inside an allowed folder is
// decided on the folders as opened (device and inode), so no name is resolved
// twice and nothing depends on /proc. The logging server opens its main file here.
#include <QString>
#include <QStringList>

namespace FolderWalk {

// Why a file was not opened.
enum class Refusal {
    None,
    Outside,      // its folder is not inside an allowed folder
    SymbolicLink, // the file itself is a symbolic link
    NotRegular,   // a folder, FIFO, device, ... or no file name at all
    System,       // the system refused; see error
};

struct Opened
{
    int fd = -1; // the open file, owned by the caller; -1 when refused
    Refusal refusal = Refusal::None;
    int error = 0; // errno when refusal is System
};

// Symbolic links followed on the way to one file, as the system itself allows.
constexpr int MAX_LINKS = 40;

// Opens the regular file at path (a new one is made with mode 0600) write-only and
// appending. Folder links on the way are followed, the file itself must not be one;
// ".." goes back to the folder the walk came from (a link's target may hold it); a
// path holding a NUL byte is refused (EINVAL), since the system would cut it there.
Opened openForAppend(const QString& path);

// The same, only when the file's folder, as reached, is one of the allowed folders
// or inside one: a link that stays inside is followed, one that leads out (or a ".."
// above the allowed folder) is outside. An allowed folder that cannot be opened
// allows nothing.
Opened openForAppendInside(const QString& path, const QStringList& allowedFolders);

} // namespace FolderWalk
