#include "tools/util/datetimeutil.h"

#include <QDateTime>

namespace {
// A fixed offset makes Qt print +hh:mm instead of a zone name; offset 0 becomes UTC ("Z").
QDateTime nowWithFixedOffset()
{
    QDateTime now = QDateTime::currentDateTime();
    const int offset = now.offsetFromUtc();
    if (offset == 0)
        return now.toUTC();
    now.setOffsetFromUtc(offset);
    return now;
}
} // namespace

QString currentDateTimeIsoMsecs()
{
    return nowWithFixedOffset().toString(Qt::ISODateWithMs);
}
