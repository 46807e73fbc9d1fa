#include "python/tmfile.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <stdexcept>

#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/telemetryfile.h"
#include "gselib/packets/timeresolver.h"
#include "gselib/packets/tmmeta.h"
#include "koralib/masscal/masscal.h"
#include "python/startup.h"

namespace cvekutil {

namespace {

std::string utf8(const QString& s)
{
    return s.toUtf8().toStdString();
}

const GseLib::TimeResolver& sharedResolver()
{
    const GseLib::TelemetryCache* cache = GseLib::TelemetryFile::sharedCache();
    if (!cache || !cache->timeResolver())
        throw std::runtime_error(NOT_INITIALIZED_NO_FILE);
    return *cache->timeResolver();
}

} // namespace

TMFile::TMFile(const std::string& filename)
{
    if (!cvekutilIsInitialized)
        throw std::runtime_error("cvekutil is not initialized, did you call the TMFile constructor manually "
                                 "instead of relying on the factory functions?");
    filePath = QString::fromUtf8(filename.data(), qsizetype(filename.size()));
    markerGeneration = GseLib::TelemetryFile::sharedCacheGeneration();
    markerCache = std::make_unique<KorGse::MarkerCache>(new GseLib::TelemetryFile());
    const QFileInfo info(filePath);
    if (!info.exists())
        throw std::runtime_error("TMFile was given a nonexistent file!");
    tmMeta.setDirectoryPath(info.canonicalPath(), true);
}

TMFile::~TMFile() = default;

std::string TMFile::filename() const { return utf8(filePath); }

std::string TMFile::absolute_directory() const
{
    // QFileInfo::canonicalPath() gives "." for a path that does not exist;
    // there is no folder then. The folder of the resolved file, links followed.
    const QString canonical = QFileInfo(filePath).canonicalFilePath();
    return canonical.isEmpty() ? std::string() : utf8(QFileInfo(canonical).path());
}

std::string TMFile::directory_string() const
{
    if (tmMeta.valid)
        return utf8(tmMeta.tidDir);
    if (length() > 0) {
        const std::string message = get_pkt(0).raw_message();
        const std::string key = "Data directory:";
        const size_t at = message.find(key);
        if (at != std::string::npos) {
            // After the key and its blank, wherever the key stands in the message.
            size_t from = at + key.size();
            if (from < message.size() && message[from] == ' ')
                ++from;
            size_t to = message.find('\n', from);
            if (to == std::string::npos)
                to = message.size();
            const QString path = QString::fromUtf8(message.data() + from, qsizetype(to - from));
            return utf8(QDir(path).dirName());
        }
    }
    const QStringList parts = QFileInfo(filePath).absolutePath().split(QLatin1Char('/'));
    return utf8(parts.last());
}

std::string TMFile::get_mcal_filename() const
{
    // The tm.meta is read again: a calibration named there after this object
    // was built counts. Loading may copy the configured folder's newest file
    // into the archive's folder.
    const QString dir = QString::fromStdString(absolute_directory());
    // A file that no longer exists has no folder to search or copy into.
    if (dir.isEmpty())
        return {};
    const GseLib::TmMeta meta(dir);
    KorGse::MassCal massCal;
    KorGse::initializeMassCal(massCal, meta, dir);
    return utf8(QFileInfo(massCal.filePath()).fileName());
}

long long TMFile::file_size() const { return QFileInfo(filePath).size(); }

int TMFile::tid() const
{
    if (tmMeta.valid)
        return tmMeta.tid;
    const QStringList parts = QString::fromStdString(directory_string()).split(QLatin1Char('-'));
    if (parts.size() >= 5) {
        bool ok = false;
        const int t = parts[4].toInt(&ok, 10);
        return ok ? t : 0;
    }
    return 0;
}

int TMFile::length() const
{
    const GseLib::TelemetryCache* cache = GseLib::TelemetryFile::sharedCache();
    return cache ? int(cache->count()) : 0;
}

bool TMFile::exists() const { return QFileInfo::exists(filePath); }

std::string TMFile::model() const { return tmMeta.valid ? utf8(tmMeta.model) : std::string("unknown"); }

TMPacket TMFile::get_pkt(int index) const
{
    if (index < 0 || index >= length())
        throw std::out_of_range("get_pkt was passed an invalid index.");
    return TMPacket(GseLib::TelemetryFile::sharedCache()->get(unsigned(index)), currentMarkers());
}

const KorGse::MarkerCache* TMFile::currentMarkers() const
{
    // The cursor is tied to the cache it was made over: a new one for the new cache.
    const uint64_t now = GseLib::TelemetryFile::sharedCacheGeneration();
    if (now != markerGeneration) {
        markerCache = std::make_unique<KorGse::MarkerCache>(new GseLib::TelemetryFile());
        markerGeneration = now;
    }
    return markerCache.get();
}

double TMFile::t0_in_unix_time() const { return sharedResolver().unixTimeOfT0(); }

int TMFile::t0_in_sclk() const { return int32_t(sharedResolver().ticksOfT0()); }

std::vector<KorGse::MetaMarker> TMFile::get_meta_markers() const
{
    if (!GseLib::TelemetryFile::sharedCache())
        throw std::runtime_error(NOT_INITIALIZED_NO_FILE);
    const QList<KorGse::MetaMarker> all = refreshedMetaMarkers(false, 0.0);
    return std::vector<KorGse::MetaMarker>(all.begin(), all.end());
}

bool TMFile::is_time_synced() const { return sharedResolver().isSynced(); }

std::vector<GseLib::DamagedStretch> TMFile::damage() const
{
    const GseLib::TelemetryCache* cache = GseLib::TelemetryFile::sharedCache();
    if (!cache)
        throw std::runtime_error(NOT_INITIALIZED_NO_FILE);
    return cache->damage();
}

} // namespace cvekutil
