#include "python/startup.h"

// Qt's "slots" keyword would clash with a member of that name in Python's headers.
#pragma push_macro("slots")
#undef slots
#include <Python.h>
#pragma pop_macro("slots")

#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <sys/stat.h>

#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/telemetryfile.h"
#include "gselib/packets/tmmeta.h"
#include "gselib/services/configvek.h"
#include "gselib/services/praxacoreapp.h"
#include "koralib/archive/koradatai.h"
#include "koralib/archive/kortelemetrycache.h"
#include "koralib/markers/metamarkerrules.h"
#include "python/korabridge.h"
#include "tolvalib/tolvadatainterpretation.h"
#include "tolvalib/tolvatelemetrycache.h"
#include "tools/logger/log.h"
#include "tools/logger/loggerprotocol.h"

extern const int MIN_META_MARKER_ID = KorGse::MIN_META_MARKER_ID;
extern const int MAX_META_MARKER_ID = KorGse::MAX_META_MARKER_ID;

namespace cvekutil {

int argc = 0;
PraxaCoreApp* app = nullptr;
bool cvekutilIsInitialized = false;
KorGse::KorDataInterpretationFactory koraDataInterpretationFactory;
TolvaGse::TolvaDataInterpretationFactory tolvaDataInterpretationFactory;

const char* const NOT_INITIALIZED_NO_FILE = "cvekutil is not initialized, no telemetry file is open.";

namespace {

// The logger starts once per process, also when a first start-up failed
// after it (the initialised flag is then clear again).
bool loggerStarted = false;
QSet<QString> missionsSeen;

// QCoreApplication adopts the environment's locale; importing the module must
// not change the interpreter's, so the locale is put back after construction.
struct BuildApp
{
    BuildApp()
    {
        const char* current = std::setlocale(LC_ALL, nullptr);
        const std::string saved = current ? current : "C";
        app = new PraxaCoreApp(argc, nullptr, 0, 0, 0, QString());
        std::setlocale(LC_ALL, saved.c_str());
        // Never deleted: at exit the plugin manager is still shared with the
        // hub, and deleting it through the application corrupted the heap.
    }
};
const BuildApp buildApp;

// exit() would drop what a script printed but Python still buffers.
void flushPythonStreams()
{
    if (!Py_IsInitialized())
        return;
    PyGILState_STATE gil = PyGILState_Ensure();
    for (const char* name : {"stdout", "stderr"}) {
        PyObject* stream = PySys_GetObject(name); // borrowed
        if (stream && stream != Py_None) {
            PyObject* r = PyObject_CallMethod(stream, "flush", nullptr);
            Py_XDECREF(r);
            PyErr_Clear();
        }
    }
    PyGILState_Release(gil);
}

[[noreturn]] void fail(const std::string& line)
{
    flushPythonStreams();
    std::cerr << line << std::endl;
    std::exit(1);
}

std::string utf8(const QString& s)
{
    return s.toUtf8().toStdString();
}

// The module reads its archive once: the cache's lines about that read are
// held in a temporary file, and a last line that backs up to wait for the
// file to grow is followed by one that says what it is here, bytes left
// unread. The lines keep their order and reach standard error when the read
// ends, as before.
class OneReadLines
{
public:
    OneReadLines(GseLib::TelemetryCache* cache, const QFileInfo& info)
        : cache_(cache), path_(utf8(info.absoluteFilePath())), file_(std::tmpfile())
    {
        if (file_)
            cache_->setMessageStream(file_);
    }
    ~OneReadLines()
    {
        if (!file_)
            return;
        cache_->setMessageStream(nullptr);
        pass();
        std::fclose(file_);
    }
    OneReadLines(const OneReadLines&) = delete;
    OneReadLines& operator=(const OneReadLines&) = delete;

private:
    void pass()
    {
        std::fflush(file_);
        std::fseek(file_, 0, SEEK_END);
        const long size = std::ftell(file_);
        if (size <= 0)
            return;
        // The last line is short: look for its start in the file's tail.
        const long tailStart = std::max(0L, size - 1024);
        std::string tail(size_t(size - tailStart), '\0');
        std::fseek(file_, tailStart, SEEK_SET);
        tail.resize(std::fread(tail.data(), 1, tail.size(), file_));
        const size_t cut = tail.size() >= 2 ? tail.rfind('\n', tail.size() - 2) : std::string::npos;
        const long lastStart = cut == std::string::npos ? tailStart : tailStart + long(cut) + 1;
        copy(lastStart);
        std::string last = tail.substr(size_t(lastStart - tailStart));
        long at = 0;
        long long fileSize = 0;
        if (std::sscanf(last.c_str(), "Read partial packet...backing up to index %ld", &at) == 1 &&
            (fileSize = QFileInfo(QString::fromStdString(path_)).size()) > at) {
            // The cache's own line stays; the one after it says what it means here.
            last += "The read of " + path_ + " ended at byte " + std::to_string(at) + ": the last " +
                    std::to_string(fileSize - at) + " bytes hold no whole packet and were left unread\n";
        }
        std::fwrite(last.data(), 1, last.size(), stderr);
        std::fflush(stderr);
    }

    // The lines before `end`, in blocks.
    void copy(long end)
    {
        std::rewind(file_);
        char block[65536];
        for (long left = end; left > 0;) {
            const size_t n = std::fread(block, 1, size_t(std::min<long>(left, long(sizeof block))), file_);
            if (n == 0)
                break;
            std::fwrite(block, 1, n, stderr);
            left -= long(n);
        }
    }

    GseLib::TelemetryCache* cache_;
    std::string path_;
    FILE* file_;
};

void readOnce(const std::string& path, const QFileInfo& info)
{
    // The module never grows its archive: a file younger than the cache's
    // age rule would otherwise wait at damage near its end for bytes that the
    // script will never read.
    GseLib::TelemetryFile::sharedCache()->setOpenAs(GseLib::TelemetryCache::OpenAs::Finished);
    OneReadLines lines(GseLib::TelemetryFile::sharedCache(), info);
    GseLib::TelemetryFile::setSharedCacheFile(path);
}

// An archive of bytes that gave no packet: every header was refused by the
// packet types (a missing table says so itself, once).
void reportNothingRead(const QFileInfo& info)
{
    const GseLib::PacketTypes& types = GseLib::DataInterpretation::current()->packetTypes;
    const GseLib::TelemetryCache* cache = GseLib::TelemetryFile::sharedCache();
    if (!cache || cache->count() > 0 || info.size() == 0 || types.isEmpty())
        return;
    LOG_WARN("cvekutil", "No packet was read from " << info.absoluteFilePath() << " (" << info.size()
                                                    << " bytes): no header fits a type and length of the "
                                                    << types.size() << " packet types of " << types.source());
}

} // namespace

void loadPlugins(const QString& mission)
{
    // One load per mission, so a second instrument's archive finds its own plugins.
    if (missionsSeen.contains(mission.toLower()))
        return;
    missionsSeen.insert(mission.toLower());
    const QList<QRegularExpression> filters{
        QRegularExpression(QRegularExpression::wildcardToRegularExpression(QStringLiteral("%1*").arg(mission)),
                           QRegularExpression::CaseInsensitiveOption),
        QRegularExpression(QRegularExpression::wildcardToRegularExpression(QStringLiteral("Generic*")),
                           QRegularExpression::CaseInsensitiveOption)};
    app->loadPlugins({}, filters);
}

void initCVekUtil(std::string telemetryFilename)
{
    // What the script printed comes before every line of the start-up.
    flushPythonStreams();
    if (!loggerStarted) {
        app->initializeLogger(LoggerConfig::noLogging());
        // The logger sends and echoes nothing; warnings and errors (a table
        // that cannot be read, a row that names nothing) still reach the script.
        Log::setStandardErrorFloor(WARN);
        loggerStarted = true;
    }
    const QFileInfo info(QString::fromStdString(telemetryFilename));
    if (!info.exists())
        fail("tmfile does not exist: " + telemetryFilename);
    // A FIFO, a device or a folder is no archive: reading one would block or never end.
    if (struct stat st; ::stat(telemetryFilename.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        fail("tmfile is not a regular file: " + telemetryFilename);
    const std::string absolute = utf8(info.absoluteFilePath());
    GseLib::TmMeta meta(info.absolutePath());
    if (!meta.valid)
        fail("A valid tm.meta could not be found for " + absolute);
    const QString group = meta.configVekGroup();
    const bool tolva = meta.isMission(Gse::MISSION_TOLVA);
    const bool known = tolva || meta.isMission(Gse::MISSION_KORA);
    // A mistyped mission names a group nobody wrote: the missions come first,
    // so that the group's lines after them are read in that light. No mission
    // at all has been said by the metadata's reader.
    if (!known && !meta.mission.isEmpty()) {
        std::cerr << "tm.meta " << utf8(meta.fileName()) << " names the mission '" << utf8(meta.mission)
                  << "'; this build reads the missions " << utf8(Gse::MISSION_TOLVA) << " and "
                  << utf8(Gse::MISSION_KORA) << std::endl;
    }
    GseLib::ConfigVek::setDefaultGroup(group);
    // The missing-group line names a fixed file: say which file was read.
    if (const auto fault = GseLib::ConfigVek::groupFault(group))
        std::cerr << utf8(GseLib::ConfigVek::describe(*fault, group)) << std::endl;
    if (!GseLib::ConfigVek::verify(group))
        fail(utf8(group) + " in .vekconfig.INI either does not exist or is invalid for " + absolute);
    loadPlugins(meta.mission);

    PluginManager* plugins = app->pluginManager.data();
    if (!known)
        fail("Unsupported mission " + utf8(meta.mission) + " for " + absolute);
    try {
        if (tolva) {
            GseLib::DataInterpretation::init(&tolvaDataInterpretationFactory, true, plugins, meta.patchFiles);
            GseLib::TelemetryFile::setSharedCache(new TolvaGse::TolvaTelemetryCache());
            readOnce(telemetryFilename, info);
        } else {
            GseLib::DataInterpretation::init(&koraDataInterpretationFactory, true, plugins, meta.patchFiles);
            GseLib::DataInterpretation::current()->updatePktOffsets(8);
            GseLib::TelemetryFile::setSharedCache(new KorGse::KorTelemetryCache());
            readOnce(telemetryFilename, info);
            loadSebCommands();
            resetMetaMarkers();
        }
        reportNothingRead(info);
    } catch (...) {
        // Half-built: the old archive must not be read through the new hub.
        GseLib::TelemetryFile::setSharedCache(nullptr);
        cvekutilIsInitialized = false;
        throw;
    }
    cvekutilIsInitialized = true;
}

} // namespace cvekutil
