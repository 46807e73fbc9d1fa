#include "conversion/logtransferfunc.h"

#include "conversion/coefficientlist.h"

#include <cmath>

NaturalLogTransferFunc::NaturalLogTransferFunc(const std::vector<double>& k)
    : coefficients_(nr::paddedCoefficients(k, 2))
{
}

double NaturalLogTransferFunc::apply(double x) const
{
    return coefficients_[1] * std::log(x) + coefficients_[0];
}

QString NaturalLogTransferFunc::asString() const
{
    return QStringLiteral("Not implemented");
}

void NaturalLogTransferFunc::change(const QString&)
{
}

QString NaturalLogTransferFunc::equationAsString() const
{
    return QStringLiteral("y = K2 * ln(x) + K1");
}

QString NaturalLogTransferFunc::description() const
{
    return QStringLiteral("Natural log");
}

LogTransferFunc::LogTransferFunc(const std::vector<double>& k)
    : coefficients_(nr::paddedCoefficients(k, 3))
{
}

double LogTransferFunc::apply(double x) const
{
    const double base = coefficients_[2];
    if (x <= 0.0 || base <= 0.0)
        return 0.0;
    return coefficients_[1] * std::log(x) / std::log(base) + coefficients_[0];
}

QString LogTransferFunc::asString() const
{
    return QStringLiteral("Not implemented");
}

void LogTransferFunc::change(const QString&)
{
}

QString LogTransferFunc::equationAsString() const
{
    return QStringLiteral("y = K2 * logK3(x) + K1");
}

QString LogTransferFunc::description() const
{
    return QStringLiteral("Log");
}
