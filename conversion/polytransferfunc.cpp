#include "conversion/polytransferfunc.h"

#include "conversion/saturatingcast.h"

#include <QList>
#include <QStringView>
#include <algorithm>
#include <bit>
#include <cstdint>

namespace {

constexpr std::size_t DEFAULT_COEFFICIENT_COUNT = 8;

// Highest index of 1 or more holding a non-zero (NaN counts as non-zero).
int orderOf(const std::vector<double>& k)
{
    for (std::size_t i = k.size(); i > 1; --i) {
        if (k[i - 1] != 0.0)
            return static_cast<int>(i - 1);
    }
    return 0;
}

} // namespace

PolyTransferFunc::PolyTransferFunc()
    : coefficients_(DEFAULT_COEFFICIENT_COUNT, 0.0)
{
}

PolyTransferFunc::PolyTransferFunc(double a, double b, double c)
    : coefficients_(DEFAULT_COEFFICIENT_COUNT, 0.0)
{
    coefficients_[0] = a;
    coefficients_[1] = b;
    coefficients_[2] = c;
    order_ = c != 0.0 ? 2 : (b != 0.0 ? 1 : 0);
}

PolyTransferFunc::PolyTransferFunc(const std::vector<double>& k)
    : coefficients_(k)
    , order_(orderOf(k))
{
}

PolyTransferFunc::PolyTransferFunc(const QString& text)
    : coefficients_(DEFAULT_COEFFICIENT_COUNT, 0.0)
{
    change(text);
}

double PolyTransferFunc::evaluate(double x) const
{
    if (coefficients_.empty())
        return 0.0;
    double y = coefficients_[order_];
    for (int i = order_ - 1; i >= 0; --i)
        y = y * x + coefficients_[i];
    return y;
}

double PolyTransferFunc::apply(double x) const
{
    return evaluate(x);
}

QString PolyTransferFunc::asString() const
{
    QString text = QString::number(order_);
    for (int i = 0; i <= order_; ++i) {
        const double k = std::size_t(i) < coefficients_.size() ? coefficients_[i] : 0.0;
        text += QLatin1Char('\t') + QStringLiteral("%1").arg(k, 0, 'g', 8);
    }
    return text;
}

void PolyTransferFunc::change(const QString& text)
{
    const QList<QStringView> fields = QStringView(text).split(QLatin1Char('\t'));
    bool ok = false;
    int order = fields.value(0).toInt(&ok, 10);
    if (!ok)
        order = 0;
    // The list never grows, so an order it cannot hold is brought into range.
    const int highest = std::max(0, static_cast<int>(coefficients_.size()) - 1);
    order_ = std::clamp(order, 0, highest);
    for (int i = 0; i <= order_ && std::size_t(i) < coefficients_.size(); ++i)
        coefficients_[i] = fields.value(i + 1).toDouble(); // 0 when missing or not a number
}

QString PolyTransferFunc::equationAsString() const
{
    return QStringLiteral("y = K8 * x^7 + K7 * x^6 ... K2 * x + K1");
}

QString PolyTransferFunc::description() const
{
    return QStringLiteral("Polynomial");
}

ADC2VoltsTransferFunc::ADC2VoltsTransferFunc(double a, double b, double c)
    : PolyTransferFunc(a, b, c)
{
}

ADC2VoltsTransferFunc::ADC2VoltsTransferFunc(const std::vector<double>& k)
    : PolyTransferFunc(k)
{
}

QString ADC2VoltsTransferFunc::equationAsString() const
{
    return QStringLiteral("V = K1 * (K2 * (x - 32768)) / 65536");
}

QString ADC2VoltsTransferFunc::description() const
{
    return QStringLiteral("ADC to Volts");
}

RawToDouble::RawToDouble(const std::vector<double>& k)
    : PolyTransferFunc(k)
{
}

RawToDouble::RawToDouble(const QString&)
    : PolyTransferFunc()
{
}

double RawToDouble::reinterpretRaw(double raw)
{
    const auto bits = static_cast<std::uint32_t>(static_cast<std::uint64_t>(nr::truncateSaturating<std::int64_t>(raw)));
    return static_cast<double>(std::bit_cast<float>(bits));
}

double RawToDouble::apply(double x) const
{
    if (order_ == 0)
        return evaluate(0.0);
    return evaluate(reinterpretRaw(x));
}

QString RawToDouble::asString() const
{
    return QString();
}

void RawToDouble::change(const QString&)
{
}

QString RawToDouble::equationAsString() const
{
    return QStringLiteral("x = *(float *)&raw_value\ny = K8 * x^7 + K7 * x^6 ... K2 * x + K1");
}

QString RawToDouble::description() const
{
    return QStringLiteral("Raw to double");
}
