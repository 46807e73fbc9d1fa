#include "gselib/database/limitchecker.h"

#include "conversion/nrutil.h"
#include "gselib/database/valueconversion.h"

#include <cmath>

namespace GseLib {

namespace {

constexpr double EPS = 1e-12;

bool almostEqual(double a, double b)
{
    return a == b || nr::isAlmostEqual(a, b, EPS);
}

bool holds(int comparison, double value, double limit)
{
    switch (comparison) {
    case 0:
        return limit > value;
    case 1:
        return value > limit;
    case 2:
        return value == limit;
    default:
        return value != limit; // NaN counts as different
    }
}

} // namespace

void LimitChecker::setLimitType(unsigned long t)
{
    type = t;
    comparison = static_cast<int>((t >> 2) & 3u);
    const unsigned long stage = t & 3u;
    if (stage == 0) {
        valid = false;
    } else {
        valid = true;
        valuemode = static_cast<int>(stage) - 1;
    }
}

void LimitChecker::setYellowLimit(double limit)
{
    yellow_lim = limit;
    has_yellow = true;
}

void LimitChecker::setRedLimit(double limit)
{
    red_lim = limit;
    has_red = true;
}

void LimitChecker::setConversions(std::shared_ptr<TransferFunc> eng, std::shared_ptr<TransferFunc> sci,
                                  bool sciFromEng)
{
    eng_ = std::move(eng);
    sci_ = std::move(sci);
    sci_from_eng = sciFromEng;
}

int LimitChecker::checkLimit(double value) const
{
    if (!valid)
        return 0;
    value = convertToMode(value, static_cast<Gse::ValueMode>(valuemode), eng_.get(), sci_.get(), sci_from_eng);
    int result = 0;
    if (has_yellow && holds(comparison, value, yellow_lim))
        result = YellowHit;
    if (has_red && holds(comparison, value, red_lim))
        result |= RedHit;
    return result;
}

bool LimitChecker::operator==(const LimitChecker& o) const
{
    return valid == o.valid && has_yellow == o.has_yellow && has_red == o.has_red && type == o.type
        && almostEqual(yellow_lim, o.yellow_lim) && almostEqual(red_lim, o.red_lim)
        && sci_from_eng == o.sci_from_eng;
}

std::ostream& operator<<(std::ostream& os, const LimitChecker& c)
{
    os << "valid=" << int(c.valid) << ' ' << "has_yellow=" << int(c.has_yellow) << ' ' << "has_red="
       << int(c.has_red) << ' ' << "type=" << c.type << ' ' << "valuemode=" << c.valuemode << ' '
       << "comparison=" << c.comparison << ' ' << "persistence=" << c.persistence << ' '
       << "yellow_lim=" << c.yellow_lim << ' ' << "red_lim=" << c.red_lim << ' ' << "sci_from_eng="
       << int(c.sci_from_eng) << ' ';
    return os;
}

} // namespace GseLib
