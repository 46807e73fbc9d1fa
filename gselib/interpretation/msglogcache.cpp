#include "gselib/interpretation/msglogcache.h"

#include "gselib/database/telemetrydatabase.h"
#include "gselib/packets/telemetryfile.h"
#include "gselib/packets/timeresolver.h"
#include "gselib/packets/tmpacket.h"
#include "tools/logger/log.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <variant>

namespace GseLib {

const QRegularExpression LINESPLIT(QStringLiteral("\n|\r\n|\r"));
const QRegularExpression MSG_LOG_LINE_TIME_REGEX(QStringLiteral("^(\\d+\\.?\\d+):.*$"));

namespace {

// Whether `seconds` turns into clock ticks of the resolver without leaving
// the 64-bit range (a prefix of thirty digits would otherwise make the
// resolver's conversion undefined).
bool convertible(const TimeResolver& resolver, double seconds)
{
    if (!std::isfinite(seconds))
        return false;
    const double ticksPerSecond = std::fabs(double(resolver.secondsToTicks(1.0)));
    return std::fabs(seconds) * std::max(1.0, ticksPerSecond) < 9.0e18;
}

bool matches(const QRegularExpression& re, QStringView subject)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    return re.matchView(subject).hasMatch();
#else
    return re.match(subject).hasMatch();
#endif
}

// Appends an item's value as the message text shows it: doubles in fixed
// notation with six decimals whatever the locale, integers in decimal.
void appendValue(std::string& out, const DataItem& item)
{
    char digits[400]; // the largest double in fixed notation needs 309 digits + 7
    std::to_chars_result r{digits, std::errc()};
    switch (item.value.index()) {
    case 0:
        r = std::to_chars(digits, digits + sizeof digits, std::get<0>(item.value), std::chars_format::fixed, 6);
        break;
    case 1:
        r = std::to_chars(digits, digits + sizeof digits, std::get<1>(item.value));
        break;
    case 2:
        r = std::to_chars(digits, digits + sizeof digits, std::get<2>(item.value));
        break;
    case 3:
        out += std::get<3>(item.value);
        return;
    default:
        return; // an item without value adds nothing
    }
    if (r.ec == std::errc())
        out.append(digits, r.ptr);
}

} // namespace

MsgLogLine::MsgLogLine(const std::shared_ptr<TMPacket>& packet, const QString& text) : text(text)
{
    if (!packet)
        return;
    pktIndex = uint32_t(packet->index);
    // The expression needs a leading digit; most lines fail that cheaply.
    hasOwnTime = !text.isEmpty() && text[0] >= u'0' && text[0] <= u'9' && MSG_LOG_LINE_TIME_REGEX.match(text).hasMatch();
    const TimeResolver* resolver = packet->timeResolver;
    if (!resolver)
        return;
    if (hasOwnTime) {
        const double t = QStringView(text).left(text.indexOf(u':')).toDouble();
        if (convertible(*resolver, t)) {
            relativeTime = packet->relativeTimeFromSeconds(t);
            unixTime = packet->unixTimeFromSeconds(t);
            return;
        }
    }
    relativeTime = packet->relativeTime();
    unixTime = packet->unixTime();
}

QStringView MsgLogLine::msgView() const
{
    if (!hasOwnTime)
        return QStringView(text);
    const qsizetype colon = text.indexOf(QLatin1String(": "));
    return colon < 0 ? QStringView() : QStringView(text).mid(colon + 2);
}

QString MsgLogLine::msg() const
{
    return msgView().toString();
}

bool MsgLogLine::contains(const QRegularExpression& re) const
{
    return matches(re, msgView().trimmed());
}

bool MsgLogLine::contains(const QString& s, bool caseSensitive) const
{
    return text.contains(s, caseSensitive ? Qt::CaseSensitive : Qt::CaseInsensitive);
}

MsgLogLine MsgLogLine::concat(const MsgLogLine& other) const
{
    MsgLogLine joined(*this);
    joined.text += other.text;
    return joined;
}

MsgLogCache* MsgLogCache::getInstance()
{
    static MsgLogCache instance;
    return &instance;
}

MsgLogCache::MsgLogCache() : cursor_(std::make_shared<TelemetryFile>())
{
    cacheGeneration_ = TelemetryFile::sharedCacheGeneration();
    resetState();
    setMnemonics({QStringLiteral("MSG:TEXT"), QStringLiteral("MEB:MESSAGE_LOG")});
}

MsgLogCache::~MsgLogCache() = default;

DataInterpretation* MsgLogCache::currentHub()
{
    try {
        return DataInterpretation::current();
    } catch (const std::runtime_error&) {
        return nullptr;
    }
}

void MsgLogCache::setMnemonics(const QList<QString>& mnemonics)
{
    mnemonics_ += mnemonics;
    DataInterpretation* hub = currentHub();
    if (!hub)
        return;
    // A hub that changed since the rows were taken gets asked for every name.
    if (!follow(hub))
        takeRows(hub, mnemonics);
}

void MsgLogCache::takeRows(DataInterpretation* hub, const QList<QString>& mnemonics)
{
    const TelemetryDatabase* db = hub->db();
    for (const QString& mnemonic : mnemonics) {
        const QByteArray key = mnemonic.toUtf8();
        try {
            if (!db)
                throw std::out_of_range(key.toStdString());
            TmDatabaseRow row = db->row(key.constData());
            // The message log never converts a value. Holding no transfer
            // functions keeps this process-wide copy from outliving the
            // plugin code that made them when the hub reloads its plugins.
            row.engTransferFunc.reset();
            row.sciTransferFunc.reset();
            rows_.append(std::move(row));
        } catch (const std::out_of_range&) {
            LOG_WARN("", "MsgLogCache mnemonic does not exist: " << mnemonic);
        }
    }
}

bool MsgLogCache::follow(DataInterpretation* hub)
{
    const uint64_t hubGeneration = DataInterpretation::generation();
    const uint64_t cacheGeneration = TelemetryFile::sharedCacheGeneration();
    if (rowsTaken_ && hubGeneration == hubGeneration_ && cacheGeneration == cacheGeneration_)
        return false;
    // A new cursor follows the packets-removed signal of a newly installed cache.
    if (cacheGeneration != cacheGeneration_)
        cursor_ = std::make_shared<TelemetryFile>();
    hubGeneration_ = hubGeneration;
    cacheGeneration_ = cacheGeneration;
    rowsTaken_ = true;
    resetState();
    rows_.clear();
    takeRows(hub, mnemonics_);
    return true;
}

void MsgLogCache::resetState()
{
    cursor_->reset();
    lines_.clear();
    lastLineOpen_ = false;
    indexOrdered_ = true;
}

void MsgLogCache::refresh()
{
    DataInterpretation* hub = DataInterpretation::current();
    follow(hub);
    if (rows_.isEmpty())
        return;
    while (const TMPacketPtr packet = cursor_->getNext())
        readPacket(*hub, packet);
}

void MsgLogCache::reload()
{
    resetState();
    refresh();
}

void MsgLogCache::readPacket(const DataInterpretation& hub, const TMPacketPtr& packet)
{
    // The hub rejects a packet of another type first thing; comparing here
    // spares the call for the nine packets in ten that hold no message.
    bool typeKnown = true;
    uint32_t type = 0;
    try {
        type = uint32_t(packet->type());
    } catch (const std::out_of_range&) {
        typeKnown = false; // the hub reports it
    }
    for (const TmDatabaseRow& row : rows_) {
        if (typeKnown && type != row.packetType)
            continue;
        items_.clear();
        // The hub passes on what a decoder of another family throws; here any
        // decoding failure only means no text from this row.
        try {
            if (!hub.decodePacket(row, packet.get(), items_, true, nullptr))
                continue;
        } catch (const std::exception&) {
            continue;
        }
        buffer_.clear();
        for (const DataItem& item : items_)
            appendValue(buffer_, item);
        addText(packet, QString::fromUtf8(buffer_.data(), qsizetype(buffer_.size())));
    }
}

void MsgLogCache::addText(const TMPacketPtr& packet, const QString& text)
{
    const qsizetype n = text.size();
    if (n == 0)
        return;
    // Only a final line feed (or NUL) closes the text's last line: a final
    // carriage return may be the first half of a CR LF in the next text.
    const QChar lastChar = text[n - 1];
    const bool endsOpen = lastChar != u'\0' && lastChar != u'\n';

    // The pieces between line ends (LINESPLIT), empty ones left out.
    qsizetype start = 0;
    auto nextPiece = [&](QStringView& piece) {
        while (start < n) {
            qsizetype end = start;
            while (end < n && text[end] != u'\n' && text[end] != u'\r')
                ++end;
            const qsizetype from = start;
            start = end + 1 < n && text[end] == u'\r' && text[end + 1] == u'\n' ? end + 2 : end + 1;
            if (end > from) {
                piece = QStringView(text).mid(from, end - from);
                return true;
            }
        }
        return false;
    };

    QStringView piece;
    bool have = nextPiece(piece);
    while (have) {
        QStringView next;
        const bool haveNext = nextPiece(next);
        const bool isLast = !haveNext;
        if (piece[0] == u'\0') {
            lastLineOpen_ = false;
        } else {
            bool appended = false;
            if (lastLineOpen_) {
                lastLineOpen_ = false;
                if (!lines_.empty()) {
                    lines_.back().text += piece;
                    appended = true;
                }
            }
            if (isLast && endsOpen)
                lastLineOpen_ = true;
            if (!appended) {
                MsgLogLine line(packet, piece.toString());
                if (!line.hasOwnTime && !lines_.empty())
                    line.relativeTime = lines_.back().relativeTime;
                if (!lines_.empty() && line.pktIndex < lines_.back().pktIndex)
                    indexOrdered_ = false;
                lines_.push_back(std::move(line));
            }
        }
        piece = next;
        have = haveNext;
    }
}

const MsgLogLine& MsgLogCache::line(size_t i) const
{
    if (i >= lines_.size())
        throw std::out_of_range("MsgLogCache line " + std::to_string(i) + " of " + std::to_string(lines_.size()));
    return lines_[i];
}

MsgLogLine MsgLogCache::search(double t, const QRegularExpression& re, bool* found) const
{
    // Lower bound on the relative time, by hand: the lines are only taken to
    // be in time order, which std::lower_bound would require.
    size_t low = 0;
    size_t high = lines_.size();
    while (low < high) {
        const size_t mid = low + (high - low) / 2;
        if (lines_[mid].relativeTime < t)
            low = mid + 1;
        else
            high = mid;
    }
    for (size_t i = low; i < lines_.size(); ++i) {
        if (lines_[i].contains(re)) {
            if (found)
                *found = true;
            return lines_[i];
        }
        if (!lines_[i].hasOwnTime && i > 0) {
            MsgLogLine joined = lines_[i - 1].concat(lines_[i]);
            if (joined.contains(re)) {
                if (found)
                    *found = true;
                return joined;
            }
        }
    }
    if (found)
        *found = false;
    MsgLogLine none;
    none.setTime(t);
    return none;
}

MsgLogLine MsgLogCache::search(uint32_t from, uint32_t to, const QRegularExpression& re, bool* found,
                               bool last) const
{
    return search(from, to, re, found, last, nullptr);
}

MsgLogLine MsgLogCache::search(uint32_t from, uint32_t to, const QRegularExpression& re, bool* found, bool last,
                               qsizetype* secondLine) const
{
    if (found)
        *found = false;
    if (secondLine)
        *secondLine = -1;
    MsgLogLine result;
    if (from > to)
        return result;
    size_t i = 0;
    if (indexOrdered_) {
        size_t high = lines_.size();
        while (i < high) {
            const size_t mid = i + (high - i) / 2;
            if (lines_[mid].pktIndex < from)
                i = mid + 1;
            else
                high = mid;
        }
    }
    for (; i < lines_.size(); ++i) {
        const MsgLogLine& line = lines_[i];
        if (line.pktIndex > to) {
            if (indexOrdered_)
                break;
            continue;
        }
        if (line.pktIndex < from)
            continue;
        if (line.contains(re)) {
            if (found)
                *found = true;
            if (secondLine)
                *secondLine = -1;
            result = line;
            if (!last)
                return result;
        }
        if (!line.hasOwnTime && i > 0) {
            MsgLogLine joined = lines_[i - 1].concat(line);
            if (joined.contains(re)) {
                if (found)
                    *found = true;
                if (secondLine)
                    *secondLine = lines_[i - 1].text.size();
                result = std::move(joined);
                if (!last)
                    return result;
            }
        }
    }
    return result;
}

} // namespace GseLib
