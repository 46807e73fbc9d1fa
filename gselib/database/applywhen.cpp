#include "gselib/database/applywhen.h"

#include "conversion/saturatingcast.h"
#include "gselib/interpretation/datainterpretation.h"
#include "tools/logger/log.h"

#include <fmt/format.h>

#include <cmath>
#include <utility>

namespace GseLib {

const QString ApplyWhen::RANGE_DELIM = QStringLiteral("..");

ApplyWhen ApplyWhen::fromString(const QString& text)
{
    ApplyWhen result;
    const QList<QStringView> parts = QStringView(text).split(u';', Qt::SkipEmptyParts);
    for (const QStringView& part : parts) {
        const QList<QStringView> pieces = part.split(u'=', Qt::KeepEmptyParts);
        bool ok = false;
        int id = pieces.first().toInt(&ok, 10);
        if (!ok)
            id = 0;
        const QList<QStringView> bounds = pieces.last().split(RANGE_DELIM, Qt::KeepEmptyParts);
        bool okLow = false;
        bool okHigh = false;
        long long low = bounds.first().toLongLong(&okLow, 10);
        long long high = bounds.last().toLongLong(&okHigh, 10);
        if (!okLow || !okHigh) {
            LOG_WARN("ApplyWhen", "Failed to convert apply when string:" << part.toString());
            if (!okLow)
                low = 0;
            if (!okHigh)
                high = 0;
        }
        if (low > high)
            std::swap(low, high);
        result.addCondition(id, Range<long long>(low, high));
    }
    return result;
}

bool ApplyWhen::passes(const std::function<double(int id, bool* ok)>& rawValue) const
{
    for (const Condition& c : conditions_) {
        bool ok = false;
        const double v = rawValue(c.id, &ok);
        if (!ok || std::isnan(v))
            return false;
        if (!c.range.contains(nr::truncateSaturating<long long>(v)))
            return false;
    }
    return true;
}

bool ApplyWhen::passes(const DataInterpretation* di, const TMPacket* packet) const
{
    if (conditions_.empty())
        return true;
    if (!di)
        return false; // no hub: no value decodes
    return passes([&](int id, bool* ok) { return di->getValue(id, packet, Gse::Raw, ok, false, nullptr); });
}

std::string to_string(const ApplyWhen& applyWhen)
{
    std::string out;
    for (const ApplyWhen::Condition& c : applyWhen)
        fmt::format_to(std::back_inserter(out), "{}={}..{};", c.id, c.range.low, c.range.high);
    return out;
}

std::ostream& operator<<(std::ostream& os, const ApplyWhen& applyWhen)
{
    return os << to_string(applyWhen);
}

} // namespace GseLib
