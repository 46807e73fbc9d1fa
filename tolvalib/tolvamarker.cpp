#include "tolvalib/tolvamarker.h"

#include "tolvalib/tolvapacketfamily.h"
#include "tools/logger/log.h"

#include <QDateTime>

namespace TolvaGse {

namespace {

// Microseconds, truncated toward zero; out-of-range times saturate.
int64_t microseconds(double unixSeconds)
{
    const double us = unixSeconds * 1000000.0;
    if (!(us == us))
        return 0;
    if (us >= 9.2e18)
        return INT64_MAX;
    if (us <= -9.2e18)
        return INT64_MIN;
    return int64_t(us);
}

QString iso(int64_t us)
{
    return QDateTime::fromMSecsSinceEpoch(us / 1000, Qt::UTC).toString(Qt::ISODateWithMs);
}

} // namespace

Marker::Marker(const MarkerPacket& packet)
    : id_(packet.markerId()),
      type_(packet.markerType()),
      start_(microseconds(packet.unixTime())),
      text_(packet.textWithinBytes())
{
}

bool Marker::close(double unixSeconds)
{
    const int64_t e = microseconds(unixSeconds);
    if (start_ < e) {
        end_ = e;
        return true;
    }
    end_ = 0;
    if (Log::enabled(WARN)) {
        // The source name that the instrument's log readers know.
        Log::dispatch(LoggerEventMsg(QStringLiteral("marker_close"), QStringLiteral("tolvalib/tolvamarker"),
                                     __LINE__, WARN,
                                     QStringLiteral("close time is earlier than start time t_start= %1 t_end= %2")
                                         .arg(start_)
                                         .arg(e)));
    }
    return false;
}

QString Marker::toNiceString() const
{
    // One pass over the pattern: a '%' in the text is not a place holder.
    return QStringLiteral("lbl=%1 id=%2:%3 start=%4 end=%5 dur=%6s")
        .arg(QString::fromUtf8(text_), QString::number(id_), QString::number(type_), iso(start_), iso(end_),
             QString::number(durationSecs()));
}

} // namespace TolvaGse
