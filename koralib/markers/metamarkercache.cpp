#include "koralib/markers/metamarkercache.h"

#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/telemetryfile.h"
#include "gselib/packets/timeresolver.h"
#include "gselib/packets/tmpacket.h"
#include "gselib/services/configvek.h"
#include "koralib/markers/metamarkerrules.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <iostream>

namespace KorGse {

namespace {

namespace K = MetaMarkerJsonKeys;

const QStringList& FILE_FILTER()
{
    static const QStringList filter{QStringLiteral("*.json")};
    return filter;
}

// A base-10 integer that fits 32 bits signed; false otherwise.
bool readInt(const QString& s, int* v)
{
    bool ok = false;
    *v = s.toInt(&ok, 10);
    return ok;
}

// The relative time of the newest packet of the shared cache, 0.0 when none.
double newestRelativeTime()
{
    GseLib::TelemetryCache* cache = GseLib::TelemetryFile::sharedCache();
    if (!cache || cache->count() == 0)
        return 0.0;
    const GseLib::TMPacketPtr last = cache->get(unsigned(cache->count() - 1));
    if (!last)
        return 0.0;
    if (const GseLib::TimeResolver* r = cache->timeResolver())
        return r->relativeTime(last.get());
    return last->timeResolver ? last->relativeTime() : 0.0;
}

} // namespace

bool tidPieceCovers(const QString& piece, int testId)
{
    const QString p = piece.trimmed();
    if (p.count(QLatin1Char('-')) == 1) {
        const qsizetype dash = p.indexOf(QLatin1Char('-'));
        int lo = 0;
        int hi = 0;
        // Both ends must read: "-5" or "a-5" cover nothing.
        if (!readInt(p.left(dash), &lo) || !readInt(p.mid(dash + 1), &hi))
            return false;
        return lo <= testId && testId <= hi;
    }
    int id = 0;
    // "1-2-3" reads neither as one id nor as a range: it covers nothing.
    return readInt(p, &id) && id == testId;
}

bool tidsCover(const QString& tids, int testId)
{
    for (const QString& piece : tids.split(QLatin1Char(','), Qt::KeepEmptyParts)) {
        if (tidPieceCovers(piece, testId))
            return true;
    }
    return false;
}

MetaMarkerCache& MetaMarkerCache::getInstance()
{
    static MetaMarkerCache instance;
    return instance;
}

MetaMarkerCache::MetaMarkerCache()
    : file(std::make_shared<GseLib::TelemetryFile>()), generation_(GseLib::TelemetryFile::sharedCacheGeneration())
{
    // Kept although the start-up resets again at once: callers have always
    // seen the rule findings of the first start-up twice.
    resetState();
}

MetaMarkerCache::~MetaMarkerCache() = default;

void MetaMarkerCache::rewind()
{
    // A cursor follows the packets-removed signal of the cache that existed
    // when it was made: a new shared cache needs a new cursor.
    if (GseLib::TelemetryFile::sharedCacheGeneration() != generation_)
        file = std::make_shared<GseLib::TelemetryFile>();
    else
        file->reset();
    generation_ = GseLib::TelemetryFile::sharedCacheGeneration();
}

void MetaMarkerCache::resetState()
{
    rewind();
    generators.clear();

    const QString gse = GseLib::ConfigVek::getGsePath(GseLib::ConfigVek::getDefaultGroup());
    const QString folder = QDir::cleanPath(gse + QLatin1Char('/') + META_MARKER_RULE_FOLDER_NAME);
    const QFileInfoList files =
        QDir(folder).entryInfoList(FILE_FILTER(), QDir::Files, QDir::Name | QDir::IgnoreCase);

    GseLib::TelemetryCache* cache = GseLib::TelemetryFile::sharedCache();
    testId_ = 0;
    if (cache && cache->tmMeta().valid)
        testId_ = cache->tmMeta().tid;
    else if (!readInt(file->tidString(), &testId_))
        testId_ = 0;

    for (const QFileInfo& info : files) {
        const std::string name = info.fileName().toStdString();
        if (!isValidMetamarkerRuleFile(info)) {
            std::cerr << name << " failed validation. Skipping it." << std::endl;
            continue;
        }
        QFile f(info.absoluteFilePath());
        if (!QFileInfo(info.absoluteFilePath()).isFile() || !f.open(QIODevice::ReadOnly)) {
            std::cerr << "Could not open " << name << " for reading." << std::endl;
            continue;
        }
        const QString text = QString::fromUtf8(f.readAll());
        f.close();
        const QJsonArray rules = QJsonDocument::fromJson(text.toUtf8()).object().value(K::METAMARKERS).toArray();
        for (const QJsonValue& value : rules) {
            const QJsonObject rule = value.toObject();
            if (!tidsCover(rule.value(K::TIDS).toString(), testId_))
                continue;
            const double whole = std::trunc(rule.value(K::METAMARKER_ID).toDouble());
            const int id = whole >= -2147483648.0 && whole <= 2147483647.0 ? int(whole) : 0;
            bool duplicate = false;
            for (const auto& g : generators) {
                if (g->metaMarkerId() == id) {
                    duplicate = true;
                    break;
                }
            }
            if (duplicate) {
                std::cerr << "Skipping duplicate meta marker ID: " << id << std::endl;
                continue;
            }
            generators.append(std::make_shared<JsonBasedMetaMarkerGenerator>(rule));
        }
    }
}

void MetaMarkerCache::refresh()
{
    if (GseLib::TelemetryFile::sharedCacheGeneration() != generation_) {
        // Another archive (or a new shared cache) since the last reset: the
        // generators' records and the cursor belong to the old one.
        generators.clear();
        rewind();
    }
    // Taken once: the packets of this refresh all see the same newest time.
    const double newest = newestRelativeTime();
    while (const GseLib::TMPacketPtr p = file->getNext()) {
        for (const auto& g : generators)
            g->ingestPkt(p, newest);
    }
}

void MetaMarkerCache::reload()
{
    resetState();
    refresh();
}

QList<MetaMarker> MetaMarkerCache::getMetaMarkers() const
{
    QList<MetaMarker> out;
    for (const auto& g : generators)
        out.append(g->metaMarkers());
    for (qsizetype i = 0; i < out.size(); ++i)
        out[i].index = int(i);
    return out;
}

QList<MetaMarker> MetaMarkerCache::getMetaMarkers(double t) const
{
    QList<MetaMarker> out;
    int position = 0;
    for (const auto& g : generators) {
        for (const MetaMarker& m : g->metaMarkers()) {
            if (m.startRelativeTimeInSecs <= t && t <= m.endRelativeTimeInSecs) {
                out.append(m);
                out.last().index = position;
            }
            ++position;
        }
    }
    return out;
}

} // namespace KorGse
