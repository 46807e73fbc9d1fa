#pragma once
// A clock definition: turns readings of an instrument or spacecraft clock
// (whole seconds since the clock's epoch plus sub-second ticks) into Unix
// seconds, taking off the leap seconds the clock counts and UTC does not.
#include <QDateTime>
#include <QDebug>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <map>
#include <memory>
#include <string>

namespace GseLib {

class TMClock;
// The database's clocks by name (UTF-8), shared with the rows that name them.
using TMClockMap = std::map<std::string, std::shared_ptr<TMClock>>;

class TMClock
{
public:
    struct LeapSecond
    {
        LeapSecond();
        LeapSecond(const QString& iso, int seconds);
        LeapSecond(const QDateTime& datetime, int seconds);

        bool operator==(const LeapSecond& o) const { return datetime == o.datetime && seconds == o.seconds; }
        bool operator!=(const LeapSecond& o) const { return !(*this == o); }

        QDateTime datetime; // UTC
        int seconds = 0;
    };

    struct LeapSecondOffset
    {
        bool operator==(const LeapSecondOffset& o) const
        {
            return secsSinceEpoch == o.secsSinceEpoch && cumulativeSeconds == o.cumulativeSeconds;
        }
        bool operator!=(const LeapSecondOffset& o) const { return !(*this == o); }

        long long secsSinceEpoch = 0; // the entry's date-time as whole Unix seconds
        int cumulativeSeconds = 0;    // this entry's seconds plus all earlier ones
    };

    TMClock();
    explicit TMClock(const QString& json);
    explicit TMClock(const QJsonObject& object);

    void initFromJsonObject(const QJsonObject& object);

    void setName(const QString& name) { name_ = name; }
    void setEpoch(const QString& iso);
    void setEpoch(const QDateTime& epoch);
    void setInitialLeapSecondsOffset(int seconds) { initialLeapSecondsOffset_ = seconds; }
    void setSubSecsPerSec(long long ticks) { subSecsPerSec_ = ticks; }
    void setLeapSecondsTable(const QList<LeapSecond>& table);

    const QString& name() const { return name_; }
    const QDateTime& epoch() const { return epoch_; }
    int initialLeapSecondsOffset() const { return initialLeapSecondsOffset_; }
    long long epochSeconds() const { return epochSeconds_; }
    long long subSecsPerSec() const { return subSecsPerSec_; }
    const QList<LeapSecond>& leapSeconds() const { return leapSeconds_; }
    const QList<LeapSecondOffset>& leapSecondOffsets() const { return leapSecondOffsets_; }

    // Unix seconds of a reading. The clock's own sub-second rate wins over the
    // fallback, which is the tick rate of the caller's time format.
    double toUnixTime(long long seconds, long long subTicks, long long fallbackSubTicksPerSecond) const;

    QJsonObject toJson() const;

    bool operator==(const TMClock& o) const;
    bool operator!=(const TMClock& o) const { return !(*this == o); }

    // Reads ISO 8601 text with its date and time fields taken as UTC; an
    // explicit offset designator is honoured (the instant is converted to UTC).
    static QDateTime parseUtc(const QString& iso);

    // Reads the clock definitions of a clocks.txt (a JSON object whose "clocks"
    // array holds clock objects) into the map; a later clock replaces an earlier
    // one of the same name. Never throws: problems are logged in "tmdb".
    static void loadClocksFile(const QString& path, TMClockMap& clocks);

private:
    QString name_;
    QDateTime epoch_;
    int initialLeapSecondsOffset_ = 0;
    long long epochSeconds_ = 0;
    long long subSecsPerSec_ = 0;
    QList<LeapSecond> leapSeconds_;
    QList<LeapSecondOffset> leapSecondOffsets_;
};

QDebug operator<<(QDebug dbg, const TMClock& clock);

} // namespace GseLib
