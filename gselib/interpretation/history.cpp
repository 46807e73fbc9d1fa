#include "gselib/interpretation/history.h"

#include <QDebugStateSaver>
#include <QIODevice>
#include <cmath>

namespace Zevo {

History::History(int id, unsigned long maxCount, double maxSpan) : id_(id), maxCount_(maxCount), maxSpan_(maxSpan) {}

void History::addValue(double time, double value)
{
    const bool bySpan = maxSpan_ > 0.0;
    if (maxCount_ == 0 && !bySpan)
        return;
    // A NaN time would never leave a span-limited window, and a NaN or
    // infinity stays in the running sums after its pair has gone.
    if (!std::isfinite(time) || !std::isfinite(value))
        return;
    regression_.push_back(time, value);
    while (maxCount_ != 0 && regression_.count() > maxCount_)
        regression_.pop_front();
    // The span is measured from the newest pair's time, in both directions.
    if (bySpan)
        while (!regression_.empty() && std::fabs(time - regression_.x().front()) > maxSpan_)
            regression_.pop_front();
}

double History::sum() const
{
    return double(regression_.count()) * regression_.y().mean();
}

QByteArray History::saveValues() const
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << MARKER << VERSION << qint64(regression_.count());
    const auto& t = times();
    const auto& v = values();
    for (size_t i = 0; i < t.size(); ++i)
        out << t[i] << v[i]; // a QPointF's stream form: x, then y
    return bytes;
}

bool History::restoreValues(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return false;
    clearValues();
    QDataStream in(bytes);
    quint32 marker = 0;
    qint32 version = 0;
    in >> marker;
    if (in.status() != QDataStream::Ok || marker != MARKER)
        return false;
    in >> version;
    if (in.status() != QDataStream::Ok || version != VERSION)
        return false;
    quint64 count = 0;
    in >> count;
    // The count is only an upper bound: pairs are read while the data lasts.
    constexpr qint64 PAIR_SIZE = 2 * sizeof(double);
    for (quint64 i = 0; i < count && in.device()->bytesAvailable() >= PAIR_SIZE; ++i) {
        double t = 0.0;
        double v = 0.0;
        in >> t >> v;
        addValue(t, v);
    }
    return true;
}

bool History::operator==(const History& o) const
{
    return id_ == o.id_ && maxCount_ == o.maxCount_ && maxSpan_ == o.maxSpan_ && regression_ == o.regression_;
}

QDataStream& operator<<(QDataStream& out, const History& history)
{
    return out << history.saveValues();
}

QDataStream& operator>>(QDataStream& in, History& history)
{
    QByteArray bytes;
    in >> bytes;
    history.restoreValues(bytes);
    return in;
}

QDebug operator<<(QDebug debug, const History& history)
{
    QDebugStateSaver saver(debug);
    debug << "size=" << history.size() << " max=" << history.maximum() << " min=" << history.minimum()
          << " mean=" << history.mean() << " rate=" << history.rate() << " sum=" << history.sum()
          << " sumOfSquares=" << history.sumOfSquares();
    return debug;
}

} // namespace Zevo
