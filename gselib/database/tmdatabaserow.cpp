#include "gselib/database/tmdatabaserow.h"

#include "conversion/nrutil.h"
#include "conversion/transferfunc.h"
#include "gselib/database/tmdatabaseparser.h"
#include "gselib/database/transferfuncfactory.h"
#include "gselib/database/valueconversion.h"
#include "tools/logger/log.h"

#include <QJsonDocument>
#include <QRegularExpression>

#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace GseLib {

namespace {

constexpr double EPS = 1e-12;

struct FieldInfo
{
    const char* name;
    TmDatabaseRow::FieldRequired required;
};

constexpr TmDatabaseRow::FieldRequired REQ = TmDatabaseRow::Required;
constexpr TmDatabaseRow::FieldRequired OPT = TmDatabaseRow::Optional;

const FieldInfo FIELDS[TmDatabaseRow::FIELD_COUNT] = {
    {"SUB_SYSTEM", REQ},     {"NAME", REQ},           {"DESCRIPTION", REQ},    {"ADC_#", OPT},
    {"DATA_ID", REQ},        {"PACKET_TYPE", REQ},    {"PACKET_SUBTYPE", OPT}, {"PACKET_NAME", OPT},
    {"APPLY_WHEN", OPT},     {"DECODE_TYPE", REQ},    {"DECODE_ID1", REQ},     {"DECODE_ID2", REQ},
    {"DECODE_ID3", REQ},     {"DECODE_ID4", REQ},     {"CLOCK", OPT},          {"RAW_FMT", REQ},
    {"ENG_FMT", REQ},        {"ENG_EQ_TYPE", REQ},    {"ENG_K1", REQ},         {"ENG_K2", REQ},
    {"SCI_UNITS", REQ},      {"SCI_FMT", REQ},        {"SCI_EQ_TYPE", REQ},    {"SCI_FROM_ENG", REQ},
    {"SCI_K1", REQ},         {"SCI_K2", REQ},         {"SCI_K3", REQ},         {"SCI_K4", REQ},
    {"SCI_K5", REQ},         {"SCI_K6", REQ},         {"SCI_K7", REQ},         {"SCI_K8", REQ},
    {"MUX_CH", OPT},         {"LIMIT_TYPE_1", OPT},   {"YELLOW_LIMIT_1", OPT}, {"RED_LIMIT_1", OPT},
    {"LIMIT_TYPE_2", OPT},   {"YELLOW_LIMIT_2", OPT}, {"RED_LIMIT_2", OPT},    {"LIMITS", OPT},
    {"HISTORY", OPT},        {"EXTRA_1", OPT},        {"TARQ_MINE_TYPE", OPT}, {"TARQ_MINE_RAW", OPT},
    {"TARQ_MINE_ENG", OPT},  {"DISCRETE_LABELS", OPT}, {"BUNDLE_ID", OPT},     {"ARRAY_LENGTH", OPT},
    {"SAMPLE_PERIOD", OPT},
};

QList<QString> makeWriterHeader()
{
    QList<QString> h;
    for (int f = TmDatabaseRow::SUB_SYSTEM; f <= TmDatabaseRow::SCI_K8; ++f)
        h << QString::fromLatin1(FIELDS[f].name);
    h << QString::fromLatin1(FIELDS[TmDatabaseRow::DISCRETE_LABELS].name);
    for (int f = TmDatabaseRow::MUX_CH; f <= TmDatabaseRow::TARQ_MINE_TYPE; ++f)
        h << QString::fromLatin1(FIELDS[f].name);
    return h;
}

int position(TmDatabaseRow::Field f)
{
    return TmDatabaseRow::FIELD_INDEX.value(f, 0);
}

bool almostEqual(double a, double b)
{
    return a == b || nr::isAlmostEqual(a, b, EPS);
}

bool almostEqual(const std::vector<double>& a, const std::vector<double>& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!almostEqual(a[i], b[i]))
            return false;
    return true;
}

std::string jsonText(const QJsonObject& o)
{
    if (o.isEmpty())
        return std::string();
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

std::string limitCheckerText(const LimitChecker& c)
{
    std::ostringstream os;
    os << c;
    return os.str();
}

} // namespace

QHash<TmDatabaseRow::Field, int> TmDatabaseRow::FIELD_INDEX;

const QList<QString> TMDB_HDR = makeWriterHeader();

QString TmDatabaseRow::fieldName(Field field)
{
    return field >= 0 && field < FIELD_COUNT ? QString::fromLatin1(FIELDS[field].name) : QString();
}

TmDatabaseRow::FieldRequired TmDatabaseRow::fieldRequired(Field field)
{
    return field >= 0 && field < FIELD_COUNT ? FIELDS[field].required : Optional;
}

int TmDatabaseRow::findIndex(const QString& name, const QList<QString>& header, FieldRequired required)
{
    static const QString missing = QStringLiteral("Could not find required database field %1");
    const QRegularExpression re(QRegularExpression::anchoredPattern(name),
                                QRegularExpression::CaseInsensitiveOption);
    for (int i = 0; i < header.size(); ++i)
        if (re.match(header.at(i)).hasMatch())
            return i;
    if (required == Required)
        throw std::runtime_error(missing.arg(name).toStdString());
    return -1;
}

void TmDatabaseRow::findHeaderFieldPositions(const QList<QString>& header)
{
    for (int f = 0; f < FIELD_COUNT; ++f) {
        const Field field = static_cast<Field>(f);
        FIELD_INDEX.insert(field, findIndex(fieldName(field), header, FIELDS[f].required));
    }
}

int TmDatabaseRow::dataIdPosition()
{
    return position(DATA_ID);
}

TmDatabaseRow::TmDatabaseRow() : decodeIds(4, 0), engK(2, 0.0), sciK(8, 0.0) {}

void TmDatabaseRow::update(const QList<QStringView>& fields, const std::string& dir, const TMClockMap& clocks)
{
    // Keep the fixed list sizes even if a caller resized them.
    decodeIds.resize(4, 0);
    engK.resize(2, 0.0);
    sciK.resize(8, 0.0);

    QStringView cell;
    auto has = [&](Field f) { return cellAt(position(f), fields, cell); };
    auto read = [&](Field f, auto& member) {
        if (has(f))
            extractValueFromText(member, cell);
    };

    read(SUB_SYSTEM, subSystem);
    read(NAME, name);
    key = subSystem + ":" + name;

    read(DESCRIPTION, description);
    read(ADC_NUM, adc);
    read(DATA_ID, dataId);
    read(PACKET_TYPE, packetType);
    read(PACKET_SUBTYPE, packetSubtype);
    read(PACKET_NAME, packetName);
    read(APPLY_WHEN, applyWhen);
    read(DECODE_TYPE, decodeType);
    read(DECODE_ID1, decodeIds[0]);
    read(DECODE_ID2, decodeIds[1]);
    if (has(ARRAY_LENGTH)) {
        extractValueFromText(arrayLength, cell);
        if (arrayLength > MAX_PACKET_BYTES) {
            LOG_WARN("tmdb", key << " : array length " << arrayLength << " is larger than any packet, using 1");
            arrayLength = 1;
        }
    }
    read(SAMPLE_PERIOD, samplePeriod);

    // Byte order. A patch line without a DECODE_ID2 cell keeps the row's
    // decoding as it was.
    if (has(DECODE_ID2)) {
        bool isInt = false;
        const int n = cell.toInt(&isInt, 10);
        if (isInt) {
            byteOrder.clear();
            shifts.clear();
            const auto count = static_cast<std::uint32_t>(decodeIds[1]);
            if (count > MAX_PACKET_BYTES) {
                LOG_WARN("tmdb", key << " : byte count " << count << " is larger than any packet");
            } else {
                // Counts above 8 give ranks a 64-bit value cannot hold; they are
                // kept as written and the decoders refuse such a field.
                byteOrder.reserve(count);
                shifts.reserve(count);
                for (std::uint32_t r = count; r >= 1; --r) {
                    byteOrder.push_back(r);
                    shifts.push_back(8u * (r - 1u));
                }
            }
            if (n < 0)
                decodeIds[1] = static_cast<unsigned long long>(-static_cast<long long>(n));
        } else {
            // Ranks of 0 or above 8 are accepted here too (see updateByteOrder).
            updateByteOrder(shifts, byteOrder, position(DECODE_ID2), fields);
            decodeIds[1] = byteOrder.size();
        }
    }

    // Sample offsets.
    bool id1IsInt = false;
    if (has(DECODE_ID1))
        (void)cell.toInt(&id1IsInt, 10);
    if (id1IsInt) {
        offsets.clear();
        timeOffsets.clear();
        if (arrayLength == 0)
            arrayLength = 1;
        const auto first = static_cast<std::uint32_t>(decodeIds[0]);
        const auto step = static_cast<std::uint32_t>(byteOrder.size());
        offsets.reserve(arrayLength);
        for (std::uint32_t i = 0; i < arrayLength; ++i) {
            offsets.push_back(step * i + first);
            if (samplePeriod > 0)
                timeOffsets.push_back(samplePeriod * i);
        }
    } else {
        updateOffsets(offsets, timeOffsets, position(DECODE_ID1), fields);
        if (!offsets.empty())
            decodeIds[0] = offsets.front();
    }

    if (decodeType == 6 && byteOrder.size() != 8)
        throw std::runtime_error(key + " : byte order must be 8 bytes for double type");
    if (decodeType == 5 && byteOrder.size() != 4)
        throw std::runtime_error(key + " : byte order must be 4 bytes for float type");
    if (!timeOffsets.empty() && timeOffsets.size() != offsets.size())
        throw std::runtime_error(key + " : pkt offset and time offset sizes do not match");

    read(DECODE_ID3, decodeIds[2]);
    bitCount = static_cast<std::uint32_t>(std::popcount(decodeIds[2]));
    read(DECODE_ID4, decodeIds[3]);

    updateClock(clock, clocks, position(CLOCK), fields);

    read(RAW_FMT, rawFormat);
    read(ENG_FMT, engFormat);
    read(ENG_EQ_TYPE, engEqType);
    read(ENG_K1, engK[0]);
    read(ENG_K2, engK[1]);
    read(SCI_UNITS, sciUnits);
    read(SCI_FMT, sciFormat);
    read(SCI_EQ_TYPE, sciEqType);
    read(SCI_FROM_ENG, sciFromEng);
    for (int i = 0; i < 8; ++i)
        read(static_cast<Field>(SCI_K1 + i), sciK[static_cast<std::size_t>(i)]);
    read(MUX_CH, muxCh);
    read(EXTRA_1, extra);
    read(TARQ_MINE_TYPE, tarqMineType);
    read(TARQ_MINE_RAW, tarqMineRaw);
    read(TARQ_MINE_ENG, tarqMineEng);
    read(DISCRETE_LABELS, discreteLabels);

    updateLimitChecker(limitChecker1, position(LIMIT_TYPE_1), position(YELLOW_LIMIT_1), position(RED_LIMIT_1),
                       fields);
    updateLimitChecker(limitChecker2, position(LIMIT_TYPE_2), position(YELLOW_LIMIT_2), position(RED_LIMIT_2),
                       fields);

    updateLimits(limits, position(LIMITS), fields);
    updateHistory(history, position(HISTORY), fields);

    TransferFuncFactory* factory = TransferFuncFactory::instance();
    engTransferFunc = factory->makeTransferFunc(static_cast<int>(engEqType), engK, extra, dir);
    sciTransferFunc = factory->makeTransferFunc(static_cast<int>(sciEqType), sciK, extra, dir);
    limitChecker1.setConversions(engTransferFunc, sciTransferFunc, sciFromEng);
    limitChecker2.setConversions(engTransferFunc, sciTransferFunc, sciFromEng);

    read(BUNDLE_ID, bundleId);
}

double TmDatabaseRow::convertValue(double value, Gse::ValueMode mode) const
{
    return convertToMode(value, mode, engTransferFunc.get(), sciTransferFunc.get(), sciFromEng);
}

QString TmDatabaseRow::units(Gse::ValueMode mode) const
{
    if (mode == Gse::Raw)
        return QStringLiteral("Raw");
    if (mode == Gse::Eng)
        return QStringLiteral("Value");
    // The cell was stored one byte per character (Latin-1), so "°C" must be
    // read back the same way; as UTF-8 it would come out as a replacement mark.
    return QString::fromLatin1(sciUnits.data(), static_cast<qsizetype>(sciUnits.size()));
}

bool TmDatabaseRow::operator==(const TmDatabaseRow& o) const
{
    const bool clocksEqual = (!clock && !o.clock) || (clock && o.clock && *clock == *o.clock);
    return subSystem == o.subSystem && name == o.name && key == o.key && description == o.description
        && adc == o.adc && dataId == o.dataId && packetType == o.packetType && packetSubtype == o.packetSubtype
        && packetName == o.packetName && applyWhen == o.applyWhen && decodeType == o.decodeType
        && decodeIds == o.decodeIds && offsets == o.offsets && timeOffsets == o.timeOffsets
        && byteOrder == o.byteOrder && shifts == o.shifts && bitCount == o.bitCount && rawFormat == o.rawFormat
        && engFormat == o.engFormat && engEqType == o.engEqType && sciUnits == o.sciUnits
        && sciFormat == o.sciFormat && sciEqType == o.sciEqType && sciFromEng == o.sciFromEng
        && muxCh == o.muxCh && extra == o.extra && discreteLabels == o.discreteLabels
        && limitChecker1 == o.limitChecker1 && limitChecker2 == o.limitChecker2 && limits == o.limits
        && history == o.history && tarqMineType == o.tarqMineType && tarqMineRaw == o.tarqMineRaw
        && tarqMineEng == o.tarqMineEng && bundleId == o.bundleId && almostEqual(engK, o.engK)
        && almostEqual(sciK, o.sciK) && clocksEqual;
}

std::string TmDatabaseRow::diffText(const TmDatabaseRow& o) const
{
    std::string out;
    auto line = [&](const char* label, const auto& mine, const auto& theirs) {
        if (mine != theirs)
            fmt::format_to(std::back_inserter(out), "{} {} diff {} {}\n", name, label, mine, theirs);
    };
    line("sub_system", subSystem, o.subSystem);
    line("signal_name", name, o.name);
    line("key", key, o.key);
    line("description", description, o.description);
    line("adc", adc, o.adc);
    line("data_id", dataId, o.dataId);
    line("packet_type", packetType, o.packetType);
    line("packet_subtype", packetSubtype, o.packetSubtype);
    line("packet_name", packetName, o.packetName);
    line("decode_type", decodeType, o.decodeType);
    if (decodeIds.size() != o.decodeIds.size())
        fmt::format_to(std::back_inserter(out), "{} diff {} {}\n", name, decodeIds.size(), o.decodeIds.size());
    for (std::size_t i = 0; i < std::min(decodeIds.size(), o.decodeIds.size()); ++i)
        if (decodeIds[i] != o.decodeIds[i])
            fmt::format_to(std::back_inserter(out), "{} decode_id_{} diff {} {}\n", name, i + 1, decodeIds[i],
                           o.decodeIds[i]);
    line("raw_format", rawFormat, o.rawFormat);
    line("eng_format", engFormat, o.engFormat);
    line("eng_eq_type", engEqType, o.engEqType);
    line("eng_k size", engK.size(), o.engK.size());
    for (std::size_t i = 0; i < std::min(engK.size(), o.engK.size()); ++i)
        if (!almostEqual(engK[i], o.engK[i]))
            fmt::format_to(std::back_inserter(out), "{} eng_k_{} diff {} {}\n", name, i + 1, engK[i], o.engK[i]);
    line("sci_units", sciUnits, o.sciUnits);
    line("sci_format", sciFormat, o.sciFormat);
    line("sci_eq_type", sciEqType, o.sciEqType);
    line("sci_from_eng", sciFromEng, o.sciFromEng);
    for (std::size_t i = 0; i < std::min(sciK.size(), o.sciK.size()); ++i)
        if (!almostEqual(sciK[i], o.sciK[i]))
            fmt::format_to(std::back_inserter(out), "{} sci_k_{} diff {} {}\n", name, i + 1, sciK[i], o.sciK[i]);
    line("mux_ch", muxCh, o.muxCh);
    line("extra", extra, o.extra);
    if (discreteLabels != o.discreteLabels)
        fmt::format_to(std::back_inserter(out), "{} discrete_labels diff {} {}\n", name, discreteLabels.size(),
                       o.discreteLabels.size());
    if (limitChecker1 != o.limitChecker1)
        fmt::format_to(std::back_inserter(out), "{} limitChecker1 diff {} {}\n", name,
                       limitCheckerText(limitChecker1), limitCheckerText(o.limitChecker1));
    if (limitChecker2 != o.limitChecker2)
        fmt::format_to(std::back_inserter(out), "{} limitChecker2 diff {} {}\n", name,
                       limitCheckerText(limitChecker2), limitCheckerText(o.limitChecker2));
    if (limits != o.limits)
        fmt::format_to(std::back_inserter(out), "{} limits diff {} {}\n", name, limits.size(), o.limits.size());
    if (history != o.history)
        fmt::format_to(std::back_inserter(out), "{} history diff\n", name);
    line("tarq_mine_type", static_cast<std::uint32_t>(tarqMineType), static_cast<std::uint32_t>(o.tarqMineType));
    line("tarq_mine_raw", tarqMineRaw, o.tarqMineRaw);
    line("tarq_mine_eng", tarqMineEng, o.tarqMineEng);
    line("bundle_id", bundleId, o.bundleId);
    return out;
}

void TmDatabaseRow::diff(const TmDatabaseRow& other) const
{
    const std::string text = diffText(other);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::ostream& operator<<(std::ostream& os, const TmDatabaseRow& row)
{
    auto idAt = [&](std::size_t i) { return i < row.decodeIds.size() ? row.decodeIds[i] : 0ull; };
    auto kAt = [](const std::vector<double>& k, std::size_t i) { return i < k.size() ? k[i] : 0.0; };
    std::string out;
    out.reserve(256);
    auto it = std::back_inserter(out);
    auto col = [&](const auto& v) { fmt::format_to(it, "{}\t", v); };
    auto joined = [&](const auto& list) {
        bool first = true;
        for (const auto& v : list) {
            if (!first)
                out.push_back(':');
            fmt::format_to(it, "{}", v);
            first = false;
        }
        out.push_back('\t');
    };
    auto limitsOf = [&](const LimitChecker& c) {
        col(c.limitType());
        if (c.hasYellowLimit())
            fmt::format_to(it, "{}", c.yellowLimit());
        out.push_back('\t');
        if (c.hasRedLimit())
            fmt::format_to(it, "{}", c.redLimit());
        out.push_back('\t');
    };

    col(row.subSystem);
    col(row.name);
    col(row.description);
    col(row.adc);
    col(row.dataId);
    col(row.packetType);
    col(row.packetSubtype);
    col(row.packetName);
    col(to_string(row.applyWhen));
    col(row.decodeType);

    // DECODE_ID1: the offset list when there is one, so every sample survives.
    if (row.offsets.empty()) {
        col(idAt(0));
    } else if (row.timeOffsets.empty()) {
        joined(row.offsets);
    } else {
        for (std::size_t i = 0; i < row.offsets.size(); ++i) {
            if (i != 0)
                out.push_back(':');
            fmt::format_to(it, "{},{}", row.offsets[i], i < row.timeOffsets.size() ? row.timeOffsets[i] : 0.0);
        }
        out.push_back('\t');
    }
    // DECODE_ID2: the byte order. A byte count without byte order (read from a
    // negative cell) is written negative again, so reading the line back gives
    // the same count instead of 0.
    if (row.byteOrder.empty() && idAt(1) != 0)
        fmt::format_to(it, "-{}\t", idAt(1));
    else
        joined(row.byteOrder);
    // DECODE_ID3: the mask in hexadecimal, two digits per byte of the field.
    if (idAt(2) == 0)
        col(0);
    else
        fmt::format_to(it, "0X{:0{}X}\t", idAt(2), 2 * row.byteOrder.size());
    col(idAt(3));
    col(row.clock ? row.clock->name().toStdString() : std::string());
    col(row.rawFormat);
    col(row.engFormat);
    col(row.engEqType);
    col(kAt(row.engK, 0));
    col(kAt(row.engK, 1));
    col(row.sciUnits);
    col(row.sciFormat);
    col(row.sciEqType);
    col(row.sciFromEng ? 1 : 0);
    for (std::size_t i = 0; i < 8; ++i)
        col(kAt(row.sciK, i));
    col(row.discreteLabels.toString().toStdString());
    col(row.muxCh);
    limitsOf(row.limitChecker1);
    limitsOf(row.limitChecker2);
    col(jsonText(row.limits));
    col(jsonText(row.history));
    col(row.extra);
    col(static_cast<std::uint32_t>(row.tarqMineType));

    return os.write(out.data(), static_cast<std::streamsize>(out.size()));
}

} // namespace GseLib
