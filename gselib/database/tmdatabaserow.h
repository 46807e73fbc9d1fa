#pragma once
// One data item of the telemetry database: where its samples sit in which
// packet, how they are decoded, how raw values become engineering (ENG) and
// science (SCI) values, its formats, units, labels, limits, clock and
// applicability conditions. A plain value type, filled from one tab-separated
// database line by update(), which is also how a patch line changes it: every
// column present and non-empty overwrites its member, the rest stay.
#include "gselib/database/applywhen.h"
#include "gselib/database/discretelabels.h"
#include "gselib/database/limitchecker.h"
#include "gselib/database/tarqminetype.h"
#include "gselib/database/tmclock.h"
#include "gselib/interpretation/valuemode.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringView>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

class TransferFunc;

namespace GseLib {

class TmDatabaseRow
{
public:
    // The database columns; the value is the column's number in this table.
    enum Field : int {
        SUB_SYSTEM = 0,
        NAME,
        DESCRIPTION,
        ADC_NUM, // header "ADC_#"
        DATA_ID,
        PACKET_TYPE,
        PACKET_SUBTYPE,
        PACKET_NAME,
        APPLY_WHEN,
        DECODE_TYPE,
        DECODE_ID1,
        DECODE_ID2,
        DECODE_ID3,
        DECODE_ID4,
        CLOCK,
        RAW_FMT,
        ENG_FMT,
        ENG_EQ_TYPE,
        ENG_K1,
        ENG_K2,
        SCI_UNITS,
        SCI_FMT,
        SCI_EQ_TYPE,
        SCI_FROM_ENG,
        SCI_K1,
        SCI_K2,
        SCI_K3,
        SCI_K4,
        SCI_K5,
        SCI_K6,
        SCI_K7,
        SCI_K8,
        MUX_CH,
        LIMIT_TYPE_1,
        YELLOW_LIMIT_1,
        RED_LIMIT_1,
        LIMIT_TYPE_2,
        YELLOW_LIMIT_2,
        RED_LIMIT_2,
        LIMITS,
        HISTORY,
        EXTRA_1,
        TARQ_MINE_TYPE,
        TARQ_MINE_RAW,
        TARQ_MINE_ENG,
        DISCRETE_LABELS,
        BUNDLE_ID,
        ARRAY_LENGTH,
        SAMPLE_PERIOD,
        FIELD_COUNT // 49
    };

    enum FieldRequired : int { Required = 0, Optional = 1 };

    // The largest packet an archive can hold, in bytes: no data item has more
    // bytes or samples than this.
    static constexpr std::uint32_t MAX_PACKET_BYTES = 65547;

    // Column positions of the last header parsed (-1 = absent), shared by all
    // rows; a position read before any header was parsed is 0.
    static QHash<Field, int> FIELD_INDEX;

    static QString fieldName(Field field);
    static FieldRequired fieldRequired(Field field);

    // Position of the first header cell that the name matches whole,
    // case-insensitively. Not found: -1, or for a required column
    // std::runtime_error "Could not find required database field <name>".
    static int findIndex(const QString& name, const QList<QString>& header, FieldRequired required);
    // Fills FIELD_INDEX from a header line's cells, field by field in order; a
    // missing required column throws, leaving the later fields as they were.
    static void findHeaderFieldPositions(const QList<QString>& header);
    static int dataIdPosition();

    TmDatabaseRow();

    // Reads one line's cells (split at tabs, empty cells kept). dir is the
    // definitions folder handed to the transfer-function makers. Throws
    // std::runtime_error for a byte order that does not fit the decode type,
    // time offsets that do not match the offsets, or a bad mining type.
    void update(const QList<QStringView>& fields, const std::string& dir, const TMClockMap& clocks);

    double convertValue(double value, Gse::ValueMode mode) const;
    QString units(Gse::ValueMode mode) const;

    bool operator==(const TmDatabaseRow& o) const;
    bool operator!=(const TmDatabaseRow& o) const { return !(*this == o); }

    // Writes one line per differing member to the standard output.
    void diff(const TmDatabaseRow& other) const;
    // The same report as text.
    std::string diffText(const TmDatabaseRow& other) const;

    std::string subSystem;
    std::string name;
    std::string key; // subSystem + ":" + name
    std::string description;
    std::uint32_t adc = 0;
    std::uint32_t dataId = 0;
    std::uint32_t packetType = 0;
    std::uint32_t packetSubtype = 0; // 0 = any subtype
    std::string packetName;
    ApplyWhen applyWhen;
    std::uint32_t decodeType = 0;
    std::vector<unsigned long long> decodeIds; // always 4 entries
    std::vector<std::uint32_t> offsets;        // byte offset of each sample in the packet
    std::vector<double> timeOffsets;           // empty or one per sample
    std::vector<std::uint32_t> byteOrder;      // per byte in packet order, its rank: 1 = least significant
    std::vector<std::uint32_t> shifts;         // per byte, 8 x (rank - 1)
    std::uint32_t bitCount = 0;                // set bits of DECODE_ID3 (the mask)
    std::string rawFormat;
    std::string engFormat;
    std::uint32_t engEqType = 0;
    std::vector<double> engK; // always 2 entries
    std::string sciUnits;
    std::string sciFormat;
    std::uint32_t sciEqType = 0;
    bool sciFromEng = false;
    std::vector<double> sciK; // always 8 entries
    std::uint32_t muxCh = 0;
    std::string extra;
    DiscreteLabels discreteLabels;
    std::shared_ptr<TMClock> clock;
    std::shared_ptr<TransferFunc> engTransferFunc;
    std::shared_ptr<TransferFunc> sciTransferFunc;
    LimitChecker limitChecker1;
    LimitChecker limitChecker2;
    QJsonObject limits;
    QJsonObject history;
    Gse::TarqMineType tarqMineType = Gse::TarqMineNone;
    bool tarqMineRaw = false;
    bool tarqMineEng = false;
    long long bundleId = 0;
    std::uint32_t arrayLength = 1;
    double samplePeriod = 0.0;
};

// The 44 column names the database writer puts out, in its order.
extern const QList<QString> TMDB_HDR;

// One line of the text database in the order of TMDB_HDR, every column
// followed by a tab, no line end.
std::ostream& operator<<(std::ostream& os, const TmDatabaseRow& row);

} // namespace GseLib
