#include "conversion/twoscomplementtransferfunc.h"

#include "conversion/coefficientlist.h"
#include "conversion/saturatingcast.h"

#include <cmath>
#include <limits>

TwosComplementTransferFunc::TwosComplementTransferFunc(const std::vector<double>& k)
    : coefficients_(nr::paddedCoefficients(k, 2))
{
}

std::int32_t TwosComplementTransferFunc::rawPattern(double x)
{
    constexpr double limit = 2147483648.0; // 2^31
    if (!(x > -limit - 1.0 && x < limit))
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(x);
}

double TwosComplementTransferFunc::apply(double x) const
{
    const int totalBits = nr::truncateSaturating<int>(coefficients_[0]);
    const int fractionBits = nr::truncateSaturating<int>(coefficients_[1]);
    const auto v = static_cast<std::uint32_t>(rawPattern(x));
    // The sign bit number is taken modulo 32, so it never shifts by 32 or more.
    const unsigned signBit = (static_cast<unsigned>(totalBits) - 1u) & 31u;

    double result = x / std::pow(2.0, fractionBits);
    if ((v >> signBit) & 1u)
        result -= std::pow(2.0, static_cast<double>(totalBits) - static_cast<double>(fractionBits));
    return result;
}

QString TwosComplementTransferFunc::asString() const
{
    return QStringLiteral("Not implemented");
}

void TwosComplementTransferFunc::change(const QString&)
{
}

QString TwosComplementTransferFunc::equationAsString() const
{
    return QStringLiteral("K1 = total # of bits\nK2 = # of fractional bits\nwholeBits = K1 - K2\n"
                          "finalValue = v / pow(2, K2)\nif (v & (1 << K1-1))\n  finalValue -= pow(2, wholeBits)");
}

QString TwosComplementTransferFunc::description() const
{
    return QStringLiteral("Twos comp. to signed");
}
