#pragma once
// Parsers that read one cell of a telemetry database line into one member of a
// database row. They are forgiving: a bad number becomes 0, a bad list is
// logged (category "tmdb") and left empty. Only the mining-type reader throws.
//
// Integers are read with base prefixes: "0x" (or "0X") hexadecimal, a leading
// "0" octal, anything else decimal; a sign only where the result is signed.
// Floating-point numbers are read in the C locale.
//
// The forms that take a column position and the whole line do nothing when
// the position is negative, lies past the end of the line, or the cell is empty.
#include "gselib/database/applywhen.h"
#include "gselib/database/discretelabels.h"
#include "gselib/database/limitchecker.h"
#include "gselib/database/tarqminetype.h"
#include "gselib/database/tmclock.h"

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringView>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace GseLib {

// Integer readers with base prefixes; surrounding white space is ignored.
// Each returns false (and 0) when the text is not such an integer or does not fit.
bool parseULongLong(QStringView text, unsigned long long& value);
bool parseLongLong(QStringView text, long long& value);
bool parseInt(QStringView text, int& value);

// The cell at a column position, or false when the column is absent from the
// line or the cell is empty.
bool cellAt(int position, const QList<QStringView>& cells, QStringView& cell);

void extractValueFromText(std::string& value, const QStringView& cell);
void extractValueFromText(unsigned int& value, const QStringView& cell);
void extractValueFromText(unsigned long long& value, const QStringView& cell);
void extractValueFromText(long long& value, const QStringView& cell);
void extractValueFromText(double& value, const QStringView& cell);
void extractValueFromText(bool& value, const QStringView& cell);
// Throws std::runtime_error "Invalid TARQ_MINE_TYPE: " + cell for anything but
// a 32-bit unsigned number or one of "all", "bin", "blob", "delta".
void extractValueFromText(Gse::TarqMineType& value, const QStringView& cell);
// "0=OFF;1=ON": keys are 32-bit integers with base prefixes (0 when not one).
void extractValueFromText(QMap<int, QString>& value, const QStringView& cell);
void extractValueFromText(ApplyWhen& value, const QStringView& cell);
void extractValueFromText(DiscreteLabels& value, const QStringView& cell);

void updateClock(std::shared_ptr<TMClock>& clock, const TMClockMap& clocks, int position,
                 const QList<QStringView>& cells);

// Each present cell sets its part: the limit type (unsigned, base prefixes,
// 0 when not a number), the yellow or the red limit (double, 0 when not a number).
void updateLimitChecker(LimitChecker& checker, int typePosition, int yellowPosition, int redPosition,
                        const QList<QStringView>& cells);

void updateLimits(QJsonObject& limits, int position, const QList<QStringView>& cells);
void updateHistory(QJsonObject& history, int position, const QList<QStringView>& cells);

// "8:7:6:5:4:3:2:1": per byte of the field, in packet order, its significance
// (1 = least significant) into byteOrder and the left shift 8 x (rank - 1)
// into byteShifts. A bad entry logs "Bad byte order: " and leaves both empty.
void updateByteOrder(std::vector<std::uint32_t>& byteShifts, std::vector<std::uint32_t>& byteOrder,
                     QStringView text);
void updateByteOrder(std::vector<std::uint32_t>& byteShifts, std::vector<std::uint32_t>& byteOrder, int position,
                     const QList<QStringView>& cells);

// "16:24:32" or "0,0.0:2,0.5": per sample its byte offset and optionally its
// time offset. A bad item logs "Bad format: ", "Bad offset: " or "Bad time: "
// and leaves both lists empty.
void updateOffsets(std::vector<std::uint32_t>& sampleOffsets, std::vector<double>& timeOffsets, QStringView text);
void updateOffsets(std::vector<std::uint32_t>& sampleOffsets, std::vector<double>& timeOffsets, int position,
                   const QList<QStringView>& cells);

} // namespace GseLib
