#include "koralib/markers/metamarkergenerator.h"

#include "gselib/interpretation/datainterpretation.h"
#include "gselib/interpretation/msglogcache.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/telemetryfile.h"
#include "gselib/packets/tmpacket.h"
#include "koralib/markers/markerdata.h"
#include "koralib/markers/metamarkerrules.h"

#include <QJsonArray>
#include <QRegularExpressionMatchIterator>
#include <QStringView>

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>

namespace KorGse {

namespace {

namespace K = MetaMarkerJsonKeys;
namespace V = MetaMarkerJsonValues;

constexpr int MESSAGE_PKT = 8;
constexpr int MARKER_PKT = 9;

const QString* const FLAG_KEYS[5] = {&K::SEB_TEST_ENABLED, &K::HIGH_VOLTAGE_TEST_ENABLED, &K::LASER_EBT_TEST_ENABLED,
                                     &K::GC_EBT_TEST_ENABLED, &K::HEATER_TEST_ENABLED};

// The five announcements, compiled once for every generator.
const std::array<QRegularExpression, 5>& testModePatterns()
{
    static const std::array<QRegularExpression, 5> patterns{
        QRegularExpression(QStringLiteral("SEB Test = (0|1)")),
        QRegularExpression(QStringLiteral("High Voltage Test = (0|1)")),
        QRegularExpression(QStringLiteral("Laser EBT = (0|1)")),
        QRegularExpression(QStringLiteral("GC EBT = (0|1)")),
        QRegularExpression(QStringLiteral("Heater Test = (0|1)")),
    };
    return patterns;
}

QRegularExpression conditionRegex(const QJsonObject& c)
{
    const bool caseSensitive = c.value(K::CASE_SENSITIVE).toBool(false);
    return QRegularExpression(c.value(K::REGEX).toString(),
                              caseSensitive ? QRegularExpression::NoPatternOption
                                            : QRegularExpression::CaseInsensitiveOption);
}

// The packet's data field (bounded by the bytes the packet holds).
std::string_view dataField(const GseLib::TMPacket& pkt)
{
    const size_t size = pkt.bytes ? pkt.bytes->size() : 0;
    const size_t offset = size_t(std::max(0, pkt.dataOffset()));
    if (offset >= size)
        return {};
    const size_t n = std::min<size_t>(size - offset, pkt.dataLength());
    return {reinterpret_cast<const char*>(pkt.bytes->data() + offset), n};
}

// The lines of a message text: the data field as Latin-1, ending at the first
// NUL when the last data byte is NUL, split at line ends, empty pieces dropped.
// They depend on the data bytes alone, so the lines of the last data field
// serve every condition of every generator that asks for the same packet
// (bench_markers: splitting anew per condition cost most of a refresh).
const QStringList& messageLines(const GseLib::TMPacket& pkt)
{
    static std::string key;
    static QStringList lines;
    static bool valid = false;
    const std::string_view d = dataField(pkt);
    if (valid && d == key)
        return lines;
    size_t len = d.size();
    if (len && d[len - 1] == '\0')
        len = d.find('\0');
    lines = QString::fromLatin1(d.data(), qsizetype(len)).split(GseLib::LINESPLIT, Qt::SkipEmptyParts);
    key.assign(d);
    valid = true;
    return lines;
}

QString matchedLine(const GseLib::TMPacket& pkt, const QRegularExpression& re)
{
    if (!re.isValid())
        return QString();
    for (const QString& line : messageLines(pkt)) {
        if (re.match(line).hasMatch())
            return line;
    }
    return QString();
}

JsonBasedMetaMarkerGenerator::Condition parseCondition(const QJsonValue& value)
{
    using C = JsonBasedMetaMarkerGenerator::Condition;
    C c;
    const QJsonObject o = value.toObject();
    const QString type = o.value(K::TYPE).toString();
    if (type == V::MARKER) {
        c.kind = C::Marker;
        const QJsonValue marker = o.value(K::MARKER);
        const QJsonValue offset = o.value(K::OFFSET_IN_SECONDS);
        const double id = std::trunc(marker.toDouble());
        // Compared as 32-bit values: ids from -2^31 up to 2^32 - 1 have a
        // 32-bit form; beyond that no marker can carry them.
        c.usable = marker.isDouble() && offset.isDouble() && id >= -2147483648.0 && id < 4294967296.0;
        if (c.usable)
            c.markerId = uint32_t(int64_t(id));
        c.offset = offset.toDouble();
        for (int k = 0; k < 5; ++k) {
            const QJsonValue flag = o.value(*FLAG_KEYS[k]);
            if (flag.isBool())
                c.flags[size_t(k)] = flag.toBool() ? 1 : 0;
            else if (!flag.isUndefined())
                c.usable = false;
        }
    } else if (type == V::MESSAGE) {
        c.kind = C::Message;
        c.usable = o.value(K::REGEX).isString() && o.value(K::CASE_SENSITIVE).isBool()
                   && o.value(K::OFFSET_IN_SECONDS).isDouble();
        c.offset = o.value(K::OFFSET_IN_SECONDS).toDouble();
        c.regex = conditionRegex(o);
        c.usable = c.usable && c.regex.isValid();
    } else if (type == V::DURATION) {
        c.kind = C::Duration;
        c.usable = o.value(K::NUMBER_OF_SECONDS).isDouble();
        c.seconds = o.value(K::NUMBER_OF_SECONDS).toDouble();
    } else if (type == V::NEXT_MARKER) {
        c.kind = C::NextMarker;
        c.usable = true;
    }
    return c;
}

std::vector<JsonBasedMetaMarkerGenerator::Condition> parseConditions(const QJsonValue& list)
{
    std::vector<JsonBasedMetaMarkerGenerator::Condition> out;
    for (const QJsonValue& v : list.toArray())
        out.push_back(parseCondition(v));
    return out;
}

// The integer part of the rule's id, 0 outside the int range.
int ruleId(const QJsonValue& v)
{
    const double d = std::trunc(v.toDouble());
    return d >= -2147483648.0 && d <= 2147483647.0 ? int(d) : 0;
}

} // namespace

MetaMarkerGenerator::~MetaMarkerGenerator() = default;

QString extractMatchedMessage(const std::shared_ptr<GseLib::TMPacket>& pkt, const QJsonObject& condition)
{
    if (!pkt)
        return QString();
    return matchedLine(*pkt, conditionRegex(condition));
}

JsonBasedMetaMarkerGenerator::JsonBasedMetaMarkerGenerator(const QJsonObject& rule)
    : metaMarkerId_(ruleId(rule.value(K::METAMARKER_ID))),
      text(rule.value(K::METAMARKER_TEXT).toString().toStdString()),
      rule(rule),
      startConditions(parseConditions(rule.value(K::START_CONDITIONS))),
      endConditions(parseConditions(rule.value(K::END_CONDITIONS)))
{
}

JsonBasedMetaMarkerGenerator::~JsonBasedMetaMarkerGenerator() = default;

void JsonBasedMetaMarkerGenerator::ingestPkt(const std::shared_ptr<GseLib::TMPacket>& pkt, double newestRelativeTime)
{
    if (!pkt)
        return;
    updateState(pkt);
    bool justStarted = false;
    if (!inProgress) {
        justStarted = tryToStartAMetaMarker(pkt, newestRelativeTime);
        if (!inProgress)
            return;
    }
    tryToEndAMetaMarker(pkt, justStarted);
}

namespace {

// What the five searches of one window found: -1 keep the flag, else its value.
struct Announcements
{
    std::array<int8_t, 5> values{-1, -1, -1, -1, -1};
};

// What a found line announces: the value its last match captured, or -1 when
// the line holding that match has another "=" (such a line announces
// nothing). A line without its own time is also searched joined to the line
// before it; the value comes from the capture and the "=" are counted in the
// line the match sits in, so a joined line says what its lines say alone
// ("SEB Test = 1" followed by "starting" announces 1, not a value "1starting").
int announcedValue(const GseLib::MsgLogLine& line, qsizetype secondLine, const QRegularExpression& re)
{
    const QString msg = line.msg();
    QRegularExpressionMatch last;
    for (QRegularExpressionMatchIterator it = re.globalMatch(msg); it.hasNext();)
        last = it.next();
    if (!last.hasMatch())
        return -1;
    QStringView source(msg);
    if (secondLine >= 0) {
        // The message is a tail of the text, and so is the second line.
        const qsizetype joint = std::max<qsizetype>(0, msg.size() - (line.text.size() - secondLine));
        if (last.capturedEnd() <= joint)
            source = source.left(joint);
        else if (last.capturedStart() >= joint)
            source = source.mid(joint);
    }
    if (source.count(QLatin1Char('=')) != 1)
        return -1;
    return last.capturedView(1) == QLatin1String("1") ? 1 : 0;
}

Announcements searchAnnouncements(const GseLib::MsgLogCache& log, uint32_t from, uint32_t to)
{
    Announcements out;
    const auto& patterns = testModePatterns();
    for (size_t k = 0; k < 5; ++k) {
        bool found = false;
        qsizetype secondLine = -1;
        const GseLib::MsgLogLine line = log.search(from, to, patterns[k], &found, true, &secondLine);
        if (found)
            out.values[k] = int8_t(announcedValue(line, secondLine, patterns[k]));
    }
    return out;
}

// Every generator of a cache sees the same packets from the same reset, so
// they search the same windows of the same log: the first one's answer serves
// the others (bench_markers: ten rules would cost ten times the searches).
// The answer is reused only while the log, the shared cache and the hub are
// exactly as they were, so results are the same as searching anew.
struct AnnouncementMemo
{
    bool valid = false;
    uint32_t from = 0;
    uint32_t to = 0;
    size_t logSize = 0;
    size_t packets = 0;
    uint64_t cacheGeneration = 0;
    uint64_t hubGeneration = 0;
    Announcements result;
};

const Announcements& announcements(const GseLib::MsgLogCache& log, uint32_t from, uint32_t to)
{
    static AnnouncementMemo memo;
    const GseLib::TelemetryCache* cache = GseLib::TelemetryFile::sharedCache();
    const size_t packets = cache ? cache->count() : 0;
    const uint64_t cacheGeneration = GseLib::TelemetryFile::sharedCacheGeneration();
    const uint64_t hubGeneration = GseLib::DataInterpretation::generation();
    if (!(memo.valid && memo.from == from && memo.to == to && memo.logSize == log.size() && memo.packets == packets
          && memo.cacheGeneration == cacheGeneration && memo.hubGeneration == hubGeneration)) {
        memo.result = searchAnnouncements(log, from, to);
        memo.valid = true;
        memo.from = from;
        memo.to = to;
        memo.logSize = log.size();
        memo.packets = packets;
        memo.cacheGeneration = cacheGeneration;
        memo.hubGeneration = hubGeneration;
    }
    return memo.result;
}

} // namespace

void JsonBasedMetaMarkerGenerator::updateState(const std::shared_ptr<GseLib::TMPacket>& pkt)
{
    if (pkt->type() != MESSAGE_PKT)
        return;
    GseLib::MsgLogCache* log = GseLib::MsgLogCache::getInstance();
    log->refresh();
    const uint32_t to = uint32_t(pkt->index);
    const Announcements& found = announcements(*log, lastMsgLogIndex, to);
    bool* const flags[5] = {&sebTest, &highVoltageTest, &laserEbt, &gcEbt, &heaterTest};
    for (size_t k = 0; k < 5; ++k) {
        if (found.values[k] >= 0)
            *flags[k] = found.values[k] != 0;
    }
    lastMsgLogIndex = to;
}

bool JsonBasedMetaMarkerGenerator::flagsHold(const Condition& c) const
{
    const bool state[5] = {sebTest, highVoltageTest, laserEbt, gcEbt, heaterTest};
    for (size_t k = 0; k < 5; ++k) {
        if (c.flags[k] >= 0 && (c.flags[k] != 0) != state[k])
            return false;
    }
    return true;
}

bool JsonBasedMetaMarkerGenerator::tryToStartAMetaMarker(const std::shared_ptr<GseLib::TMPacket>& pkt,
                                                         double newestRelativeTime)
{
    const int type = pkt->type();
    if (type != MESSAGE_PKT && type != MARKER_PKT)
        return false; // no start condition can hold on any other packet
    for (const Condition& c : startConditions) {
        if (!c.usable)
            continue;
        double event = 0.0;
        if (c.kind == Condition::Marker) {
            if (type != MARKER_PKT || !flagsHold(c))
                continue;
            const MarkerData m = MarkerData::fromPacket(pkt, 0);
            if (m.markerId != c.markerId)
                continue;
            event = m.relativeTime + c.offset;
        } else if (c.kind == Condition::Message) {
            if (type != MESSAGE_PKT)
                continue;
            const QString line = matchedLine(*pkt, c.regex);
            if (line.isEmpty())
                continue;
            event = GseLib::MsgLogLine(pkt, line).relativeTime + c.offset;
        } else {
            continue;
        }
        MetaMarker m;
        m.startRelativeTimeInSecs = event;
        m.endRelativeTimeInSecs = newestRelativeTime;
        m.metaMarkerId = metaMarkerId_;
        m.msg = text;
        markers.append(m);
        inProgress = true;
        return true;
    }
    return false;
}

void JsonBasedMetaMarkerGenerator::tryToEndAMetaMarker(const std::shared_ptr<GseLib::TMPacket>& pkt, bool justStarted)
{
    if (markers.isEmpty())
        return;
    MetaMarker& last = markers.last();
    const int type = pkt->type();
    for (const Condition& c : endConditions) {
        if (!c.usable)
            continue;
        switch (c.kind) {
        case Condition::Marker:
        case Condition::NextMarker: {
            if (justStarted || type != MARKER_PKT)
                continue;
            const MarkerData m = MarkerData::fromPacket(pkt, 0);
            if (c.kind == Condition::Marker && m.markerId != c.markerId)
                continue;
            const double t = m.relativeTime + (c.kind == Condition::Marker ? c.offset : 0.0);
            if (!(t >= last.startRelativeTimeInSecs))
                continue;
            last.endRelativeTimeInSecs = t;
            inProgress = false;
            return;
        }
        case Condition::Duration:
            if (c.seconds >= 0) {
                last.endRelativeTimeInSecs = last.startRelativeTimeInSecs + c.seconds;
            } else {
                const double start = last.startRelativeTimeInSecs;
                last.endRelativeTimeInSecs = start;
                last.startRelativeTimeInSecs = start + c.seconds;
            }
            inProgress = false;
            return;
        case Condition::Message: {
            if (type != MESSAGE_PKT)
                continue;
            const QString line = matchedLine(*pkt, c.regex);
            if (line.isEmpty())
                continue;
            const double t = GseLib::MsgLogLine(pkt, line).relativeTime + c.offset;
            if (!(t >= last.startRelativeTimeInSecs))
                continue;
            last.endRelativeTimeInSecs = t;
            inProgress = false;
            return;
        }
        default:
            continue;
        }
    }
}

} // namespace KorGse
