#pragma once
// The rolling history of one data item: recent (time, value) pairs limited by
// a count and a time span, with running statistics (extremes, mean, sum, M2,
// rate of change as a least-squares slope). The current value table keeps one
// per item whose history flag is set; the history decoders read its numbers.
// Saved form (saveValues): big-endian 0xDEADBEEF, version 1, 64-bit count, pairs.
#include "gselib/interpretation/movingstats.h"

#include <QByteArray>
#include <QDataStream>
#include <QDebug>
#include <QPointF>
#include <cstdint>

namespace Zevo {

class History
{
public:
    static constexpr quint32 MARKER = 0xDEADBEEF;
    static constexpr qint32 VERSION = 1;

    // Id 0 and no limits: such a history keeps nothing.
    History() = default;
    // maxCount 0: no limit by count; maxSpan <= 0: no limit by span.
    History(int id, unsigned long maxCount, double maxSpan);

    // The data id whose values the history holds.
    int id() const { return id_; }
    unsigned long maxCount() const { return maxCount_; }
    double maxSpan() const { return maxSpan_; }

    // Appends a pair, then trims by count and by span measured from `time`.
    // A pair with a time or value that is not finite is dropped.
    void addValue(double time, double value);
    void addValue(const QPointF& p) { addValue(p.x(), p.y()); }
    // Drops every pair and statistic; id and limits stay.
    void clearValues() { regression_.clear(); }

    uint64_t size() const { return regression_.count(); }
    bool empty() const { return regression_.empty(); }
    const Tools::MovingRegression& regression() const { return regression_; }
    const std::deque<double>& times() const { return regression_.x().window(); }
    const std::deque<double>& values() const { return regression_.y().window(); }

    double maximum() const { return regression_.y().maximum(); }
    double minimum() const { return regression_.y().minimum(); }
    double mean() const { return regression_.y().mean(); }
    double sum() const;
    // M2 of the values (squared deviations from the mean), not the sum of squares.
    double sumOfSquares() const { return regression_.y().m2(); }
    // Slope of value against time; NaN below two pairs or when all times are equal.
    double rate() const { return regression_.slope(); }
    double null() const { return 0.0; }

    QByteArray saveValues() const;
    // False for empty data (history unchanged) and for a wrong marker or version
    // (history left empty). A short pair list is taken as far as it goes; the
    // current limits apply to the restored pairs.
    bool restoreValues(const QByteArray& bytes);

    bool operator==(const History& other) const;
    bool operator!=(const History& other) const { return !(*this == other); }

private:
    int id_ = 0;
    unsigned long maxCount_ = 0;
    double maxSpan_ = 0.0;
    Tools::MovingRegression regression_; // time as x, value as y
};

// saveValues() as one byte array; neither writes nor reads id or limits.
QDataStream& operator<<(QDataStream& out, const History& history);
QDataStream& operator>>(QDataStream& in, History& history);
QDebug operator<<(QDebug debug, const History& history);

} // namespace Zevo
