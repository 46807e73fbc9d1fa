// The time resolver's base behaviour: a t0 fallback ignored and estimated as
// 0, t0's times read off the t0 packet once there is one, ground times
// relative to the t0 packet's, and the spacecraft-clock table's entry
// (start, Unix time, rate) for a clock value.
#include "gselib/packets/timeresolver.h"

#include <QFile>
#include <QStringList>
#include <QTextStream>

namespace GseLib {

TimeResolver::TimeResolver() = default;
TimeResolver::~TimeResolver() = default;

void TimeResolver::setT0Fallback(double)
{
}

double TimeResolver::unixTimeOfT0Estimate() const
{
    return 0.0;
}

unsigned long long TimeResolver::unixOffset() const
{
    return 0;
}

double TimeResolver::unixTimeOfT0() const
{
    const TMPacketPtr t0 = t0Packet();
    return t0 ? t0->unixTime() : unixTimeOfT0Estimate();
}

uint32_t TimeResolver::ticksOfT0() const
{
    const TMPacketPtr t0 = t0Packet();
    return t0 ? t0->rawTimestamp() : 0;
}

double TimeResolver::groundRelativeTime(const TMPacket* packet) const
{
    auto ground = [](const TMPacket* p) { return p->groundSeconds + p->groundMs / 1000.0; };
    const TMPacketPtr t0 = t0Packet();
    return t0 ? ground(packet) - ground(t0.get()) : ground(packet);
}

std::tuple<double, double, double> getSclkEntry(const QString& path, double clock)
{
    std::tuple<double, double, double> entry(0.0, 946727936.0, 1.0);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return entry;
    QTextStream in(&file);
    while (!in.atEnd()) {
        const QString line = in.readLine();
        if (line.startsWith(QLatin1Char('#')))
            continue;
        const QStringList parts = line.trimmed().split(QLatin1Char(' '));
        if (parts.size() != 3)
            continue;
        bool ok[3];
        const double start = parts[0].toDouble(&ok[0]);
        const double unix = parts[1].toDouble(&ok[1]);
        const double rate = parts[2].toDouble(&ok[2]);
        if (!ok[0] || !ok[1] || !ok[2])
            continue; // not a table line
        if (start > clock)
            break;
        entry = std::make_tuple(start, unix, rate);
    }
    return entry;
}

} // namespace GseLib
