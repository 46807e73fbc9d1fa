#include "gselib/database/tmdatabaseparser.h"

#include "tools/logger/log.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <charconv>
#include <limits>
#include <stdexcept>

namespace GseLib {

namespace {

int digitValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return 99;
}

// Reads an optionally signed integer with base prefixes into its sign and magnitude.
bool parseMagnitude(QStringView text, bool allowSign, bool& negative, unsigned long long& magnitude)
{
    negative = false;
    magnitude = 0;
    QStringView s = text.trimmed();
    if (s.isEmpty())
        return false;
    if (s.front() == u'+' || s.front() == u'-') {
        if (!allowSign)
            return false;
        negative = s.front() == u'-';
        s = s.mid(1);
    }
    unsigned base = 10;
    if (s.size() >= 2 && s[0] == u'0' && (s[1] == u'x' || s[1] == u'X')) {
        base = 16;
        s = s.mid(2);
    } else if (s.size() >= 2 && s[0] == u'0') {
        base = 8;
        s = s.mid(1);
    }
    if (s.isEmpty())
        return false;
    constexpr unsigned long long maxValue = std::numeric_limits<unsigned long long>::max();
    for (QChar qc : s) {
        const int d = digitValue(qc.unicode());
        if (d >= static_cast<int>(base))
            return false;
        if (magnitude > (maxValue - static_cast<unsigned>(d)) / base)
            return false;
        magnitude = magnitude * base + static_cast<unsigned>(d);
    }
    return true;
}

bool parseDouble(QStringView text, double& value)
{
    value = 0.0;
    // Database cells are short ASCII numbers: read them without Qt's locale
    // machinery, which otherwise dominates the time of a row update.
    QStringView s = text.trimmed();
    if (s.startsWith(u'+')) {
        s = s.mid(1);
        if (s.startsWith(u'-') || s.startsWith(u'+'))
            return false;
    }
    char buf[64] = {};
    bool ascii = s.size() < qsizetype(sizeof buf);
    for (qsizetype i = 0; ascii && i < s.size(); ++i) {
        const char16_t c = s[i].unicode();
        ascii = c < 0x80;
        buf[i] = static_cast<char>(c);
    }
    if (!ascii) {
        bool ok = false;
        const double v = text.toDouble(&ok);
        if (ok)
            value = v;
        return ok;
    }
    const char* end = buf + s.size();
    double v = 0.0;
    const auto [ptr, ec] = std::from_chars(buf, end, v);
    if (s.isEmpty() || ec != std::errc() || ptr != end)
        return false;
    value = v;
    return true;
}

void updateJson(QJsonObject& target, int position, const QList<QStringView>& cells, const char* what)
{
    QStringView cell;
    if (!cellAt(position, cells, cell))
        return;
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(cell.toUtf8(), &err);
    if (err.error != QJsonParseError::NoError) {
        LOG_WARN("tmdb", what << err.errorString());
        return;
    }
    target = doc.object(); // an array gives an empty object
}

} // namespace

bool parseULongLong(QStringView text, unsigned long long& value)
{
    bool negative = false;
    if (!parseMagnitude(text, false, negative, value)) {
        value = 0;
        return false;
    }
    return true;
}

bool parseLongLong(QStringView text, long long& value)
{
    bool negative = false;
    unsigned long long magnitude = 0;
    value = 0;
    if (!parseMagnitude(text, true, negative, magnitude))
        return false;
    constexpr unsigned long long maxPositive = std::numeric_limits<long long>::max();
    if (negative) {
        if (magnitude > maxPositive + 1)
            return false;
        value = magnitude == maxPositive + 1 ? std::numeric_limits<long long>::min()
                                             : -static_cast<long long>(magnitude);
    } else {
        if (magnitude > maxPositive)
            return false;
        value = static_cast<long long>(magnitude);
    }
    return true;
}

bool parseInt(QStringView text, int& value)
{
    long long v = 0;
    value = 0;
    if (!parseLongLong(text, v) || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        return false;
    value = static_cast<int>(v);
    return true;
}

bool cellAt(int position, const QList<QStringView>& cells, QStringView& cell)
{
    if (position < 0 || position >= cells.size())
        return false;
    cell = cells.at(position);
    return !cell.isEmpty();
}

void extractValueFromText(std::string& value, const QStringView& cell)
{
    value.clear();
    value.reserve(static_cast<std::size_t>(cell.size()));
    for (QChar c : cell) {
        const char16_t u = c.unicode();
        value.push_back(u < 256 ? static_cast<char>(static_cast<unsigned char>(u)) : '\0');
    }
}

void extractValueFromText(unsigned int& value, const QStringView& cell)
{
    unsigned long long v = 0;
    value = parseULongLong(cell, v) && v <= std::numeric_limits<unsigned int>::max() ? static_cast<unsigned int>(v)
                                                                                    : 0u;
}

void extractValueFromText(unsigned long long& value, const QStringView& cell)
{
    parseULongLong(cell, value);
}

void extractValueFromText(long long& value, const QStringView& cell)
{
    parseLongLong(cell, value);
}

void extractValueFromText(double& value, const QStringView& cell)
{
    parseDouble(cell, value);
}

void extractValueFromText(bool& value, const QStringView& cell)
{
    value = !cell.isEmpty() && (cell.front() == u'y' || cell.front() == u'Y' || cell.front() == u'1');
}

void extractValueFromText(Gse::TarqMineType& value, const QStringView& cell)
{
    unsigned long long v = 0;
    if (parseULongLong(cell, v) && v <= std::numeric_limits<std::uint32_t>::max()) {
        value = static_cast<Gse::TarqMineType>(v);
        return;
    }
    value = Gse::TarqMineNone;
    if (cell == u"all")
        value = Gse::TarqMineAll;
    else if (cell == u"bin")
        value = Gse::TarqMineBin;
    else if (cell == u"blob")
        value = Gse::TarqMineBlob;
    else if (cell == u"delta")
        value = Gse::TarqMineDelta;
    else
        throw std::runtime_error("Invalid TARQ_MINE_TYPE: " + cell.toString().toStdString());
}

void extractValueFromText(QMap<int, QString>& value, const QStringView& cell)
{
    value.clear();
    const QList<QStringView> pieces = cell.split(u';', Qt::KeepEmptyParts);
    for (const QStringView& piece : pieces) {
        const QList<QStringView> parts = piece.split(u'=', Qt::KeepEmptyParts);
        int key = 0;
        parseInt(parts.first(), key);
        value.insert(key, parts.last().toString());
    }
}

void extractValueFromText(ApplyWhen& value, const QStringView& cell)
{
    value = ApplyWhen::fromString(cell.toString());
}

void extractValueFromText(DiscreteLabels& value, const QStringView& cell)
{
    value.fromString(cell.toString());
}

void updateLimitChecker(LimitChecker& checker, int typePosition, int yellowPosition, int redPosition,
                        const QList<QStringView>& cells)
{
    QStringView cell;
    if (cellAt(typePosition, cells, cell)) {
        unsigned long long type = 0;
        parseULongLong(cell, type);
        checker.setLimitType(static_cast<unsigned long>(type));
    }
    double limit = 0.0;
    if (cellAt(yellowPosition, cells, cell)) {
        parseDouble(cell, limit);
        checker.setYellowLimit(limit);
    }
    if (cellAt(redPosition, cells, cell)) {
        parseDouble(cell, limit);
        checker.setRedLimit(limit);
    }
}

void updateClock(std::shared_ptr<TMClock>& clock, const TMClockMap& clocks, int position,
                 const QList<QStringView>& cells)
{
    QStringView cell;
    if (clocks.empty() || !cellAt(position, cells, cell))
        return;
    const auto it = clocks.find(cell.toUtf8().toStdString());
    if (it != clocks.end())
        clock = it->second;
}

void updateLimits(QJsonObject& limits, int position, const QList<QStringView>& cells)
{
    updateJson(limits, position, cells, "Limit parse error: ");
}

void updateHistory(QJsonObject& history, int position, const QList<QStringView>& cells)
{
    updateJson(history, position, cells, "History parse error: ");
}

void updateByteOrder(std::vector<std::uint32_t>& byteShifts, std::vector<std::uint32_t>& byteOrder,
                     QStringView text)
{
    byteShifts.clear();
    byteOrder.clear();
    const QList<QStringView> pieces = text.split(u':', Qt::SkipEmptyParts);
    for (const QStringView& piece : pieces) {
        int rank = 0;
        if (!parseInt(piece, rank)) {
            LOG_WARN("tmdb", "Bad byte order: " << text.toString());
            byteShifts.clear();
            byteOrder.clear();
            return;
        }
        // Ranks of 0, above 8 or repeated are kept as written: the decoders
        // refuse such a field when they assemble a value.
        const auto r = static_cast<std::uint32_t>(rank);
        byteOrder.push_back(r);
        byteShifts.push_back(8u * r - 8u);
    }
}

void updateByteOrder(std::vector<std::uint32_t>& byteShifts, std::vector<std::uint32_t>& byteOrder, int position,
                     const QList<QStringView>& cells)
{
    QStringView cell;
    if (!cellAt(position, cells, cell))
        return;
    updateByteOrder(byteShifts, byteOrder, cell.trimmed());
}

void updateOffsets(std::vector<std::uint32_t>& sampleOffsets, std::vector<double>& timeOffsets, QStringView text)
{
    sampleOffsets.clear();
    timeOffsets.clear();
    auto fail = [&](const char* what) {
        LOG_WARN("tmdb", what << text.toString());
        sampleOffsets.clear();
        timeOffsets.clear();
    };
    const QList<QStringView> items = text.split(u':', Qt::SkipEmptyParts);
    for (const QStringView& item : items) {
        const QList<QStringView> pieces = item.split(u',', Qt::SkipEmptyParts);
        if (pieces.isEmpty() || pieces.size() > 2)
            return fail("Bad format: ");
        int offset = 0;
        if (!parseInt(pieces[0], offset))
            return fail("Bad offset: ");
        sampleOffsets.push_back(static_cast<std::uint32_t>(offset));
        if (pieces.size() == 2) {
            double time = 0.0;
            if (!parseDouble(pieces[1], time))
                return fail("Bad time: ");
            timeOffsets.push_back(time);
        }
    }
}

void updateOffsets(std::vector<std::uint32_t>& sampleOffsets, std::vector<double>& timeOffsets, int position,
                   const QList<QStringView>& cells)
{
    QStringView cell;
    if (!cellAt(position, cells, cell))
        return;
    updateOffsets(sampleOffsets, timeOffsets, cell.trimmed());
}

} // namespace GseLib
