#include "tools/util/timestamp.h"

#include <QDateTime>

long long TimeStamp::timeFromString(const QString& text)
{
    return QDateTime::fromString(text, Qt::TextDate).toSecsSinceEpoch();
}
