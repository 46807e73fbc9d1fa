#include "gselib/database/tmclock.h"

#include "tools/logger/log.h"
#include "tools/util/tools.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QTimeZone>

#include <algorithm>
#include <cmath>
#include <limits>

namespace GseLib {

namespace {

const QDateTime UNIX_EPOCH(QDate(1970, 1, 1), QTime(0, 0, 0), Qt::UTC);

// A JSON integer: a whole number in the signed 32-bit range, else 0.
int jsonInt(const QJsonValue& v)
{
    if (!v.isDouble())
        return 0;
    const double d = v.toDouble();
    if (!std::isfinite(d) || d != std::trunc(d) || d < std::numeric_limits<int>::min()
        || d > std::numeric_limits<int>::max())
        return 0;
    return static_cast<int>(d);
}

QString jsonString(const QJsonValue& v)
{
    return v.isString() ? v.toString() : QString();
}

long long unixSeconds(const QDateTime& dt)
{
    if (!dt.isValid())
        return 0;
    return UNIX_EPOCH.secsTo(dt);
}

QString isoText(const QDateTime& dt)
{
    return dt.toUTC().toString(Qt::ISODate);
}

} // namespace

QDateTime TMClock::parseUtc(const QString& iso)
{
    QDateTime dt = QDateTime::fromString(iso, Qt::ISODate);
    if (!dt.isValid())
        return QDateTime(QDate(), QTime(), Qt::UTC);
    if (dt.timeSpec() == Qt::LocalTime)
        return QDateTime(dt.date(), dt.time(), Qt::UTC);
    return dt.toUTC();
}

TMClock::LeapSecond::LeapSecond() : datetime(QDate(), QTime(), Qt::UTC) {}

TMClock::LeapSecond::LeapSecond(const QString& iso, int seconds) : datetime(parseUtc(iso)), seconds(seconds) {}

TMClock::LeapSecond::LeapSecond(const QDateTime& dt, int seconds) : seconds(seconds)
{
    // The date and time fields are read as UTC, whatever zone the value carries.
    datetime = dt.isValid() ? QDateTime(dt.date(), dt.time(), Qt::UTC) : QDateTime(QDate(), QTime(), Qt::UTC);
}

TMClock::TMClock() : epoch_(QDate(), QTime(), Qt::UTC) {}

TMClock::TMClock(const QString& json) : TMClock()
{
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8(), &err);
    if (err.error == QJsonParseError::NoError && doc.isObject())
        initFromJsonObject(doc.object());
}

TMClock::TMClock(const QJsonObject& object) : TMClock()
{
    initFromJsonObject(object);
}

void TMClock::initFromJsonObject(const QJsonObject& object)
{
    setName(jsonString(object.value(QStringLiteral("name"))));
    setEpoch(jsonString(object.value(QStringLiteral("epoch"))));
    setInitialLeapSecondsOffset(jsonInt(object.value(QStringLiteral("leap_seconds_offset"))));
    setSubSecsPerSec(jsonInt(object.value(QStringLiteral("sub_seconds_per_second"))));

    QList<LeapSecond> table;
    const QJsonValue leaps = object.value(QStringLiteral("leap_seconds"));
    if (leaps.isArray()) {
        const QJsonArray array = leaps.toArray();
        table.reserve(array.size());
        for (const QJsonValue& entry : array) {
            const QJsonObject o = entry.toObject();
            table.append(LeapSecond(jsonString(o.value(QStringLiteral("datetime"))),
                                    jsonInt(o.value(QStringLiteral("seconds")))));
        }
    }
    setLeapSecondsTable(table);
}

void TMClock::setEpoch(const QString& iso)
{
    if (iso.isEmpty()) {
        setEpoch(QDateTime(QDate(), QTime(), Qt::UTC));
        return;
    }
    setEpoch(parseUtc(iso));
}

void TMClock::setEpoch(const QDateTime& epoch)
{
    epoch_ = epoch.isValid() ? epoch.toUTC() : QDateTime(QDate(), QTime(), Qt::UTC);
    epochSeconds_ = unixSeconds(epoch_);
}

void TMClock::setLeapSecondsTable(const QList<LeapSecond>& table)
{
    leapSeconds_ = table;
    // An entry whose date-time did not read sorts last and is never reached,
    // so a typo in the table does not shift every reading.
    auto msecs = [](const LeapSecond& ls) {
        return ls.datetime.isValid() ? ls.datetime.toMSecsSinceEpoch() : std::numeric_limits<qint64>::max();
    };
    std::stable_sort(leapSeconds_.begin(), leapSeconds_.end(),
                     [&](const LeapSecond& a, const LeapSecond& b) { return msecs(a) < msecs(b); });

    leapSecondOffsets_.clear();
    leapSecondOffsets_.reserve(leapSeconds_.size());
    long long sum = 0;
    for (const LeapSecond& ls : leapSeconds_) {
        sum += ls.seconds;
        LeapSecondOffset off;
        off.secsSinceEpoch = ls.datetime.isValid() ? unixSeconds(ls.datetime) : std::numeric_limits<long long>::max();
        off.cumulativeSeconds = static_cast<int>(
            std::clamp<long long>(sum, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
        leapSecondOffsets_.append(off);
    }
}

double TMClock::toUnixTime(long long seconds, long long subTicks, long long fallbackSubTicksPerSecond) const
{
    // Readings come from packets: wrap instead of overflowing into undefined behaviour.
    auto add = [](long long a, long long b) {
        return static_cast<long long>(static_cast<unsigned long long>(a) + static_cast<unsigned long long>(b));
    };
    long long t = add(add(seconds, epochSeconds_), -static_cast<long long>(initialLeapSecondsOffset_));

    if (!leapSecondOffsets_.isEmpty()) {
        // Last entry whose time is at most t.
        auto it = std::upper_bound(leapSecondOffsets_.cbegin(), leapSecondOffsets_.cend(), t,
                                   [](long long v, const LeapSecondOffset& o) { return v < o.secsSinceEpoch; });
        if (it != leapSecondOffsets_.cbegin()) {
            --it;
            t = add(t, -static_cast<long long>(it->cumulativeSeconds));
            if (add(t, 1) < it->secsSinceEpoch)
                t = add(t, 1);
        }
    }

    const double whole = static_cast<double>(t);
    if (subSecsPerSec_ > 0)
        return whole + static_cast<double>(subTicks) / static_cast<double>(subSecsPerSec_);
    if (fallbackSubTicksPerSecond > 0)
        return whole + static_cast<double>(subTicks) / static_cast<double>(fallbackSubTicksPerSecond);
    return whole;
}

QJsonObject TMClock::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("name"), name_);
    o.insert(QStringLiteral("epoch"), epoch_.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(isoText(epoch_)));
    o.insert(QStringLiteral("sub_seconds_per_second"), static_cast<qint64>(subSecsPerSec_));
    o.insert(QStringLiteral("leap_seconds_offset"), initialLeapSecondsOffset_);
    QJsonArray leaps;
    for (const LeapSecond& ls : leapSeconds_) {
        QJsonObject e;
        e.insert(QStringLiteral("datetime"), isoText(ls.datetime));
        e.insert(QStringLiteral("seconds"), ls.seconds);
        leaps.append(e);
    }
    o.insert(QStringLiteral("leap_seconds"), leaps);
    return o;
}

bool TMClock::operator==(const TMClock& o) const
{
    return name_ == o.name_ && epoch_ == o.epoch_ && initialLeapSecondsOffset_ == o.initialLeapSecondsOffset_
        && epochSeconds_ == o.epochSeconds_ && subSecsPerSec_ == o.subSecsPerSec_ && leapSeconds_ == o.leapSeconds_
        && leapSecondOffsets_ == o.leapSecondOffsets_;
}

void TMClock::loadClocksFile(const QString& path, TMClockMap& clocks)
{
    if (!QFileInfo::exists(path)) {
        LOG_DEBUG("tmdb", "Clocks not loaded...file does not exist: " << path);
        return;
    }
    LOG_DEBUG("tmdb", "Loading clocks: " << path);
    QFile file(path);
    if (Tools::openPlainFile(file)) {
        QJsonParseError err;
        const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &err);
        if (doc.isNull()) {
            LOG_WARN("tmdb", "Clock file parsing error: " << err.errorString());
        } else {
            const QJsonArray array = doc.object().value(QStringLiteral("clocks")).toArray();
            for (const QJsonValue& v : array) {
                auto clock = std::make_shared<TMClock>(v.toObject());
                clocks[clock->name().toStdString()] = clock;
            }
        }
    }
    LOG_DEBUG("tmdb", "Loaded " << clocks.size() << " clocks");
}

QDebug operator<<(QDebug dbg, const TMClock& clock)
{
    QDebugStateSaver saver(dbg);
    dbg << "TMClock (";
    dbg << "\n\tname=" << clock.name();
    dbg << "\n\tepoch=" << clock.epoch().toString(Qt::ISODate);
    dbg << "\n\tsubsecspersec=" << clock.subSecsPerSec();
    dbg << "\n\tleap_seconds_offset=" << clock.initialLeapSecondsOffset();
    dbg << "\n\tleap_seconds: [";
    for (const TMClock::LeapSecond& ls : clock.leapSeconds())
        dbg << "\n\t\t" << ls.datetime.toString(Qt::ISODate) << " " << ls.seconds;
    dbg << "\n\t]\n)";
    return dbg;
}

} // namespace GseLib
