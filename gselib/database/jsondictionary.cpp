#include "gselib/database/jsondictionary.h"

#include "tools/logger/log.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QSet>
#include <QVariant>
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>

namespace GseLib {

namespace {

// Keys of the dictionary.
const QString KEY_PACKETS = QStringLiteral("Packets");
const QString KEY_PACKET_NAME = QStringLiteral("packetName");
const QString KEY_PACKET_ID = QStringLiteral("packetId");
const QString KEY_FIELDS = QStringLiteral("fields");
const QString KEY_APID = QStringLiteral("apid");
const QString KEY_GSE = QStringLiteral("gse");
const QString KEY_FIELD_NAME = QStringLiteral("fieldName");
const QString KEY_TYPE = QStringLiteral("type");
const QString KEY_BYTE_ORDER = QStringLiteral("byteOrder");
const QString KEY_BIT_FIELDS = QStringLiteral("bitFields");
const QString KEY_DESCRIPTION = QStringLiteral("description");
const QString KEY_UNITS = QStringLiteral("units");
const QString KEY_ARRAY_LENGTH = QStringLiteral("arrayLength");
const QString KEY_SAMPLE_PERIOD = QStringLiteral("samplePeriod");
const QString KEY_CONVERSION = QStringLiteral("conversion");
const QString KEY_LIMITS = QStringLiteral("limits");
const QString KEY_CUSTOM_EQ = QStringLiteral("customEq");
const QString KEY_FUNCTION = QStringLiteral("uncalToCalFunction");
const QString KEY_ARGS = QStringLiteral("uncalToCalArgs");
const QString KEY_YELLOW = QStringLiteral("yellow");
const QString KEY_RED = QStringLiteral("red");

// Values are read with the ordinary conversions of a JSON value to text,
// integer, number and truth value; a missing key reads as the empty value.
QString text(const QJsonValue& v)
{
    switch (v.type()) {
    case QJsonValue::String:
        return v.toString();
    case QJsonValue::Double:
        // As a variant converts it: the shortest form that reads back (0.1, not
        // 0.10000000000000001), integers beyond 2^53 with all their digits.
        return v.toVariant().toString();
    case QJsonValue::Bool:
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    default:
        return QString();
    }
}

// A whole number, or a number truncated toward zero; false for anything that
// is not a number or a decimal integer text, and for values beyond 64 bits.
bool integer(const QJsonValue& v, qint64& out)
{
    out = 0;
    if (v.isDouble()) {
        const double d = v.toDouble();
        if (!std::isfinite(d) || std::fabs(d) >= 9.2e18)
            return false;
        out = static_cast<qint64>(d);
        return true;
    }
    if (v.isString()) {
        bool ok = false;
        const qint64 n = v.toString().trimmed().toLongLong(&ok, 10);
        if (ok)
            out = n;
        return ok;
    }
    return false;
}

qint64 integer(const QJsonValue& v)
{
    qint64 n = 0;
    integer(v, n);
    return n;
}

double number(const QJsonValue& v)
{
    if (v.isDouble())
        return v.toDouble();
    if (v.isBool())
        return v.toBool() ? 1.0 : 0.0;
    if (v.isString()) {
        bool ok = false;
        const double d = v.toString().trimmed().toDouble(&ok);
        return ok ? d : 0.0;
    }
    return 0.0;
}

bool truth(const QJsonValue& v)
{
    if (v.isBool())
        return v.toBool();
    if (v.isDouble())
        return v.toDouble() != 0.0;
    if (v.isString()) {
        const QString s = v.toString();
        return !s.isEmpty() && s != QLatin1String("0") && s.compare(QLatin1String("false"), Qt::CaseInsensitive) != 0;
    }
    return false;
}

// Texts become tab-separated cells: a tab inside one would shift every later
// cell of the row into the wrong column.
QString cellText(QString s)
{
    s.replace(QLatin1Char('\t'), QLatin1Char(' '));
    return s;
}

// C "%g": at most 6 significant digits, the shorter of fixed and exponent notation.
// Always with a decimal point: the application object adopts the user's locale,
// whose decimal comma the cell parsers would not read.
QString g6(double d)
{
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 6);
    return QString::fromLatin1(buf, result.ptr - buf);
}

QString hexMask(quint64 mask)
{
    return QStringLiteral("0x") + QString::number(mask, 16).toUpper();
}

struct TypeInfo
{
    const char* name;
    int bytes;
    quint64 mask;
    const char* decodeType;
    const char* sciFormat;
};

constexpr quint64 MASK8 = 0xFFFFFFFFFFFFFFFFULL;
constexpr quint64 MASK4 = 0xFFFFFFFFULL;

const std::array<TypeInfo, 14> TYPES{{
    {"double", 8, MASK8, "6", "%.4f"},
    {"uint64_t", 8, MASK8, "1", "%1.0f"},
    {"int64_t", 8, MASK8, "4", "%1.0f"},
    {"long", 8, MASK8, "4", "%1.0f"},
    {"float", 4, MASK4, "5", "%.4f"},
    {"uint32_t", 4, MASK4, "1", "%1.0f"},
    {"int", 4, MASK4, "4", "%1.0f"},
    {"int32_t", 4, MASK4, "4", "%1.0f"},
    {"uint16_t", 2, 0xFFFF, "1", "%1.0f"},
    {"int16_t", 2, 0xFFFF, "4", "%1.0f"},
    {"short", 2, 0xFFFF, "4", "%1.0f"},
    {"uint8_t", 1, 0xFF, "1", "%1.0f"},
    {"char", 1, 0xFF, "1", "%1.0f"},
    {"int8_t", 1, 0xFF, "4", "%1.0f"},
}};

const TypeInfo* findType(const QString& type)
{
    for (const TypeInfo& t : TYPES) {
        if (type == QLatin1String(t.name))
            return &t;
    }
    return nullptr;
}

// A pair is taken only from an array of exactly two elements.
bool readPair(const QJsonValue& v, double& low, double& high)
{
    if (!v.isArray())
        return false;
    const QJsonArray a = v.toArray();
    if (a.size() != 2)
        return false;
    low = number(a.first());
    high = number(a.last());
    return true;
}

// `bits` ones starting at bit `position`, without shifts of 64 or more.
quint64 bitMask(qint64 bits, qint64 position)
{
    if (position >= 64)
        return 0;
    const quint64 ones = bits >= 64 ? ~quint64(0) : (quint64(1) << bits) - 1;
    return ones << position;
}

struct Limits
{
    int type = 0;
    double yellowLow = 0, yellowHigh = 0, redLow = 0, redHigh = 0;

    bool yellowSet() const { return yellowHigh > yellowLow; }
    bool redSet() const { return redHigh > redLow; }
    bool inForce() const { return redLow < redHigh || yellowLow < yellowHigh; }
};

Limits readLimits(const QJsonObject& field, const QJsonObject& conversion)
{
    Limits l;
    QJsonValue value;
    if (conversion.contains(KEY_LIMITS)) {
        l.type = 3;
        value = conversion.value(KEY_LIMITS);
    } else if (field.contains(KEY_LIMITS)) {
        l.type = 1;
        value = field.value(KEY_LIMITS);
    } else {
        return l;
    }
    if (value.isObject()) {
        const QJsonObject o = value.toObject();
        if (!readPair(o.value(KEY_YELLOW), l.yellowLow, l.yellowHigh))
            l.yellowLow = l.yellowHigh = 0;
        if (!readPair(o.value(KEY_RED), l.redLow, l.redHigh))
            l.redLow = l.redHigh = 0;
    } else {
        readPair(value, l.redLow, l.redHigh);
    }
    // One given set stands in for the other.
    if (l.yellowHigh > l.yellowLow && !(l.redLow < l.redHigh)) {
        l.redLow = l.yellowLow;
        l.redHigh = l.yellowHigh;
    } else if (!(l.yellowHigh > l.yellowLow) && l.redLow < l.redHigh) {
        l.yellowLow = l.redLow;
        l.yellowHigh = l.redHigh;
    }
    return l;
}

// The science conversion of one field.
struct Conversion
{
    std::array<double, JsonDictionary::SCI_COEFFICIENTS> k{0, 1, 0, 0, 0, 0, 0, 0};
    QString eqType = QStringLiteral("1");
    QString format;
    QMap<QString, QString> labels; // ordered by the key text
};

Conversion readConversion(const QJsonObject& conversion, const QString& typeFormat, QString& units)
{
    Conversion c;
    c.format = typeFormat;
    if (conversion.contains(KEY_UNITS))
        units = text(conversion.value(KEY_UNITS));

    if (conversion.contains(KEY_CUSTOM_EQ)) {
        c.eqType = text(conversion.value(KEY_CUSTOM_EQ));
        c.format = QStringLiteral("%.4f");
        return c;
    }
    const QString function = text(conversion.value(KEY_FUNCTION));
    if (function == QLatin1String("polynomial")) {
        c.format = QStringLiteral("%.4f");
        if (conversion.contains(KEY_ARGS)) {
            const QJsonArray args = conversion.value(KEY_ARGS).toArray();
            // Coefficients past the eighth have no column; they are ignored.
            const qsizetype n = std::min<qsizetype>(args.size(), JsonDictionary::SCI_COEFFICIENTS);
            for (qsizetype i = 0; i < n; ++i)
                c.k[static_cast<size_t>(i)] = number(args.at(i));
        }
    } else if (function == QLatin1String("LUT")) {
        const QJsonArray args = conversion.value(KEY_ARGS).toArray();
        if (!args.isEmpty()) {
            const QJsonObject table = args.first().toObject();
            for (auto it = table.begin(); it != table.end(); ++it) {
                bool ok = false;
                const uint raw = it.key().toUInt(&ok, 0);
                c.labels.insert(QString::number(ok ? raw : 0u), text(it.value()));
            }
        }
    } else if (function == QLatin1String("countsToDbm")) {
        c.eqType = QStringLiteral("13");
        c.k[1] = 10;
        c.k[2] = 10;
    }
    return c;
}

QList<JsonBitField> readBitFields(const QJsonValue& value)
{
    QList<JsonBitField> list;
    for (const QJsonValue& element : value.toArray()) {
        if (!element.isArray() || element.toArray().size() != 2)
            continue;
        const QJsonArray pair = element.toArray();
        JsonBitField b;
        b.name = text(pair.at(0));
        bool ok = false;
        const int bits = text(pair.at(1)).mid(1).toInt(&ok, 10);
        b.bits = ok ? bits : 0;
        list << b;
    }
    return list;
}

// Reversed characters joined by ":": the text 1234 gives 4:3:2:1.
QString reversedByteOrder(const QString& order)
{
    QString out;
    for (qsizetype i = order.size() - 1; i >= 0; --i) {
        out += order.at(i);
        if (i > 0)
            out += QLatin1Char(':');
    }
    return out;
}

class PacketReader
{
public:
    PacketReader(const QString& packetName, quint32 packetId, const JsonDictionary::RowSink& sink)
        : packetName_(cellText(packetName)), packetId_(packetId), base_(packetId << 15), sink_(sink)
    {
    }

    void readField(const QJsonObject& field, qsizetype index);

private:
    void emitRow(QStringList& cells);

    QString packetName_;
    quint32 packetId_;
    quint32 base_;
    const JsonDictionary::RowSink& sink_;
    quint32 rowCounter_ = 0;
    qint64 byteOffset_ = 0;
    bool overflowWarned_ = false;
};

void PacketReader::emitRow(QStringList& cells)
{
    if (rowCounter_ >= JsonDictionary::MAX_ROWS_PER_PACKET) {
        // A further row would wrap the counter and replace the packet's first row.
        if (!overflowWarned_) {
            LOG_WARN("tmdb", "Too many rows for packet " << packetName_ << ": rows past "
                                                         << JsonDictionary::MAX_ROWS_PER_PACKET - 1
                                                         << " are skipped");
            overflowWarned_ = true;
        }
        return;
    }
    cells[3] = QString::number(base_ | rowCounter_);
    sink_(cells);
    ++rowCounter_;
}

void PacketReader::readField(const QJsonObject& field, qsizetype index)
{
    if (!field.contains(KEY_FIELD_NAME)) {
        LOG_WARN("tmdb", "Missing fieldName for packet" << packetName_ << "index" << index);
        return;
    }
    const QString fieldName = cellText(text(field.value(KEY_FIELD_NAME)));
    const QString typeText = text(field.value(KEY_TYPE));
    const TypeInfo* type = findType(typeText);
    if (!type) {
        LOG_WARN("tmdb", "Invalid database type: " << typeText);
        return;
    }
    QString decodeType = QLatin1String(type->decodeType);

    QString byteOrderCell;
    if (field.contains(KEY_BYTE_ORDER)) {
        byteOrderCell = cellText(reversedByteOrder(text(field.value(KEY_BYTE_ORDER))));
        if (decodeType == QLatin1String("1"))
            decodeType = QStringLiteral("3");
    }
    QList<JsonBitField> bitFields = readBitFields(field.value(KEY_BIT_FIELDS));
    if (bitFields.size() > JsonDictionary::MAX_BIT_FIELDS) {
        LOG_WARN("tmdb", "Too many bit fields for " << packetName_ << ":" << fieldName << ": bit fields past "
                                                    << JsonDictionary::MAX_BIT_FIELDS << " are skipped");
        bitFields.resize(JsonDictionary::MAX_BIT_FIELDS);
    }
    const QString description = cellText(text(field.value(KEY_DESCRIPTION)));
    QString units = field.contains(KEY_UNITS) ? text(field.value(KEY_UNITS)) : QStringLiteral("Value");
    const qint64 arrayLength = integer(field.value(KEY_ARRAY_LENGTH));
    const double samplePeriod = number(field.value(KEY_SAMPLE_PERIOD));
    const QJsonObject conversionObject = field.value(KEY_CONVERSION).toObject();
    const Conversion conversion = readConversion(conversionObject, QLatin1String(type->sciFormat), units);
    const Limits limits = readLimits(field, conversionObject);

    QString byteOrder = byteOrderCell;
    if (byteOrder.isEmpty()) {
        if (typeText == QLatin1String("float"))
            byteOrder = QStringLiteral("4:3:2:1");
        else if (typeText == QLatin1String("double"))
            byteOrder = QStringLiteral("8:7:6:5:4:3:2:1");
        else
            byteOrder = QString::number(type->bytes);
    }

    QStringList cells;
    cells.reserve(37);
    cells << packetName_ << fieldName << description << QString() /* DATA_ID */
          << QString::number(packetId_) << decodeType << QString::number(byteOffset_) << byteOrder
          << hexMask(type->mask) << QStringLiteral("0")
          << QStringLiteral("%0") + QString::number(type->bytes) + QStringLiteral("X")
          << QStringLiteral("%1.0f") << QStringLiteral("0") << QStringLiteral("0") << QStringLiteral("0")
          << cellText(units) << conversion.format << cellText(conversion.eqType) << QStringLiteral("N");
    for (double k : conversion.k)
        cells << g6(k);
    const bool inForce = limits.inForce();
    cells << QString::number(inForce ? limits.type : 0)
          << (limits.yellowSet() ? g6(limits.yellowLow) : QStringLiteral("0"))
          << (limits.redSet() ? g6(limits.redLow) : QStringLiteral("0"))
          << QString::number(inForce ? limits.type + 4 : 0)
          << (limits.yellowSet() ? g6(limits.yellowHigh) : QStringLiteral("0"))
          << (limits.redSet() ? g6(limits.redHigh) : QStringLiteral("0")) << QStringLiteral("0")
          << (arrayLength >= 2 ? QString::number(arrayLength) : QStringLiteral("1"))
          << (samplePeriod > 0 ? g6(samplePeriod) : QStringLiteral("0"));
    if (!conversion.labels.isEmpty()) {
        QStringList items;
        for (auto it = conversion.labels.begin(); it != conversion.labels.end(); ++it)
            items << it.key() + QLatin1Char('=') + it.value();
        cells << cellText(items.join(QLatin1Char(';')));
    }

    emitRow(cells);

    const QString mainMask = cells[8];
    qint64 bitPosition = 0;
    for (const JsonBitField& b : bitFields) {
        cells[1] = cellText(b.name);
        if (b.bits > 0) {
            cells[8] = hexMask(bitMask(b.bits, bitPosition) & type->mask);
            cells[9] = QString::number(bitPosition);
            bitPosition += b.bits;
        } else {
            cells[8] = mainMask;
            cells[9] = QStringLiteral("0");
        }
        emitRow(cells);
    }

    // Offsets past 2^32 no longer read as offsets; the cap only keeps the sum finite.
    constexpr qint64 offsetCap = qint64(1) << 40;
    const qint64 count = std::clamp<qint64>(arrayLength, 1, offsetCap);
    byteOffset_ = std::min(offsetCap, byteOffset_ + type->bytes * count);
}

} // namespace

const QStringList& JsonDictionary::header()
{
    static const QStringList names{
        "SUB_SYSTEM",     "NAME",           "DESCRIPTION",    "DATA_ID",     "PACKET_TYPE",  "DECODE_TYPE",
        "DECODE_ID1",     "DECODE_ID2",     "DECODE_ID3",     "DECODE_ID4",  "RAW_FMT",      "ENG_FMT",
        "ENG_EQ_TYPE",    "ENG_K1",         "ENG_K2",         "SCI_UNITS",   "SCI_FMT",      "SCI_EQ_TYPE",
        "SCI_FROM_ENG",   "SCI_K1",         "SCI_K2",         "SCI_K3",      "SCI_K4",       "SCI_K5",
        "SCI_K6",         "SCI_K7",         "SCI_K8",         "LIMIT_TYPE_1", "YELLOW_LIMIT_1", "RED_LIMIT_1",
        "LIMIT_TYPE_2",   "YELLOW_LIMIT_2", "RED_LIMIT_2",    "EXTRA_1",     "ARRAY_LENGTH", "SAMPLE_PERIOD",
        "DISCRETE_LABELS"};
    return names;
}

bool JsonDictionary::convert(const QJsonDocument& document, QStringList& packetTypeLines, QList<int>& apids,
                             const RowSink& sink)
{
    packetTypeLines.clear();
    apids.clear();
    // An array root reads as an empty object.
    const QJsonObject root = document.object();
    if (!root.contains(KEY_PACKETS))
        return false;

    const QJsonArray packets = root.value(KEY_PACKETS).toArray();
    // The list keeps first-seen order; the set keeps a long dictionary from
    // searching the whole list once per packet.
    QSet<int> seenApids;
    for (qsizetype i = 0; i < packets.size(); ++i) {
        const QJsonObject packet = packets.at(i).toObject();
        if (!packet.contains(KEY_PACKET_NAME) || !packet.contains(KEY_PACKET_ID) || !packet.contains(KEY_FIELDS)) {
            LOG_WARN("tmdb", "Missing required field in .json file. Packet index" << i);
            continue;
        }
        // Ids beyond 17 bits would overflow the DATA_ID base into other packets' ids.
        const QJsonValue idValue = packet.value(KEY_PACKET_ID);
        qint64 packetId = 0;
        const bool idRead = integer(idValue, packetId);
        if (!idRead || packetId < 0 || packetId > MAX_PACKET_ID ||
            (idValue.isDouble() && idValue.toDouble() != static_cast<double>(packetId))) {
            LOG_WARN("tmdb", "Invalid packetId in .json file. Packet index" << i << ": " << text(idValue));
            continue;
        }

        qint64 apid = 0;
        integer(packet.value(KEY_APID), apid);
        if (apid < std::numeric_limits<int>::min() || apid > std::numeric_limits<int>::max())
            apid = 0;
        if (!seenApids.contains(static_cast<int>(apid))) {
            seenApids.insert(static_cast<int>(apid));
            apids << static_cast<int>(apid);
        }

        const QString packetName = text(packet.value(KEY_PACKET_NAME));
        const bool gse = truth(packet.value(KEY_GSE));
        packetTypeLines << QString::number(packetId) + QStringLiteral(", ") + packetName +
                               (gse ? QStringLiteral(", true, -1, -1") : QStringLiteral(", false, -1, -1"));

        PacketReader reader(packetName, static_cast<quint32>(packetId), sink);
        const QJsonArray fields = packet.value(KEY_FIELDS).toArray();
        for (qsizetype j = 0; j < fields.size(); ++j)
            reader.readField(fields.at(j).toObject(), j);
    }
    return true;
}

} // namespace GseLib
