#pragma once
// Where the library's local sockets live, and who may be on their other end.
// A plain name ("logger", "GSE_LOCAL") would land in the shared temporary
// folder, where another user can take it first; LogServer, LogClient and
// GseComm all resolve names here instead, so peers find the same path in a
// folder of the user's own: $XDG_RUNTIME_DIR, else "gse-<uid>" in the
// temporary folder, made 0700 and checked to be the user's and not a link.
// Every check answers with an empty text when it passes, else with the reason.
#include <QString>
#include <QtGlobal>

namespace GseLib {

class LocalSocketPath
{
public:
    // A path, or the reason why there is none.
    struct Result
    {
        QString path;
        QString error;
        bool ok() const { return error.isEmpty(); }
    };

    // The prefix of the folder made in the temporary folder; the effective user id follows.
    static const QString TEMP_FOLDER_PREFIX;

    // This user's socket folder: $XDG_RUNTIME_DIR when it is an absolute path to
    // a folder of this user's, else the private folder in QDir::tempPath(),
    // created when missing. Group and other access to the folder is taken away.
    static Result folder();
    // The full path for a socket name. A name that is absolute stays as the
    // caller gave it; any other name is taken inside folder().
    static Result resolve(const QString& name);

    // Whether the file at path is a socket of this user's; with privateMode also
    // that no group or other access bit is set.
    static QString checkOwnSocket(const QString& path, bool privateMode = false);
    // Whether a server may put its socket at path: nothing is there, or a socket
    // of this user's (one left behind, or a server of ours to be taken over).
    static QString checkFreeForSocket(const QString& path);
    // Whether the process at the other end of a connected local socket runs as this user.
    static QString checkPeer(qintptr descriptor);
    // Removes the socket left at path by an earlier process of this user; any
    // other file (someone else's, or not a socket) stays. True when removed.
    static bool removeStale(const QString& path);
};

} // namespace GseLib
