#include "tolvalib/tolvatransferfunc/tolvatransferfuncs.h"

#include "conversion/coefficientlist.h"
#include "conversion/saturatingcast.h"

#include <QList>
#include <QStringView>
#include <fmt/format.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

namespace {

// These curves were calibrated against 273.15, unlike the generic thermistors.
constexpr double KELVIN_OFFSET = 273.15;
constexpr std::size_t THERMISTOR_COUNT = 5;

const char* const STEINHART_HART = "Tc = 1/(K3 + K4 * lnR + K5 * pow(lnR,3)) - 273.15";

// Field n of the text split at tabs, as QString::section(tab, n) gives it;
// missing, empty or non-numeric fields are 0.
std::vector<double> readFields(const QString& text, std::size_t count)
{
    const QList<QStringView> fields = QStringView(text).split(QLatin1Char('\t'));
    std::vector<double> k(count, 0.0);
    for (std::size_t i = 0; i < count; ++i)
        k[i] = fields.value(qsizetype(i)).toDouble();
    return k;
}

} // namespace

// ---------------------------------------------------------------- 100

TOLVA_ADC2OhmsTransferFunc::TOLVA_ADC2OhmsTransferFunc(std::vector<double> numerator)
    : RationalTransferFunc(std::move(numerator))
{
}

TOLVA_ADC2OhmsTransferFunc::TOLVA_ADC2OhmsTransferFunc(std::vector<double> numerator,
                                                       std::vector<double> denominator)
    : RationalTransferFunc(std::move(numerator), std::move(denominator))
{
}

QString TOLVA_ADC2OhmsTransferFunc::equationAsString() const
{
    return QStringLiteral("(K1 * x) / (65536 - x)");
}

QString TOLVA_ADC2OhmsTransferFunc::description() const
{
    return QStringLiteral("ADC to Ohms");
}

// ---------------------------------------------------------------- thermistors

TolvaThermistorBase::TolvaThermistorBase(const std::vector<double>& k)
    : coefficients_(nr::paddedCoefficients(k, THERMISTOR_COUNT))
{
}

double TolvaThermistorBase::degrees(double resistance) const
{
    const double l = std::log(resistance);
    return 1.0 / (coefficients_[2] + coefficients_[3] * l + coefficients_[4] * l * l * l) - KELVIN_OFFSET;
}

QString TolvaThermistorBase::asString() const
{
    const std::vector<double>& k = coefficients_;
    return QString::fromStdString(fmt::format("{:.8f}\t{:.8f}\t{:.8f}\t{:.8f}\t{:.8f}", k[0], k[1], k[2], k[3], k[4]));
}

void TolvaThermistorBase::change(const QString& text)
{
    coefficients_ = readFields(text, THERMISTOR_COUNT);
}

TOLVA_ThermistorTransferFunc::TOLVA_ThermistorTransferFunc()
    : TolvaThermistorBase({10.0, 1.0, 1.0, 0.0, 0.0})
{
}

TOLVA_ThermistorTransferFunc::TOLVA_ThermistorTransferFunc(const std::vector<double>& k)
    : TolvaThermistorBase(k)
{
}

TOLVA_ThermistorTransferFunc::TOLVA_ThermistorTransferFunc(const QString& text)
{
    change(text);
}

double TOLVA_ThermistorTransferFunc::apply(double x) const
{
    return degrees(coefficients_[0] * x / (coefficients_[1] - x));
}

QString TOLVA_ThermistorTransferFunc::equationAsString() const
{
    return QStringLiteral("R = (K1 * x) / (K2 - x)\n") + QLatin1String(STEINHART_HART);
}

QString TOLVA_ThermistorTransferFunc::description() const
{
    return QStringLiteral("TOLVA Thermistor ohms to degrees");
}

// 4096/5000 and 1/5000, then the Steinhart-Hart constants of a 10 kOhm thermistor.
TOLVA_10kThermistorTransferFunc::TOLVA_10kThermistorTransferFunc()
    : TolvaThermistorBase({0.8192, 0.0002, 0.001125308852122, 0.000234711863267, 8.5663516e-08})
{
}

TOLVA_10kThermistorTransferFunc::TOLVA_10kThermistorTransferFunc(const std::vector<double>& k)
    : TolvaThermistorBase(k)
{
}

TOLVA_10kThermistorTransferFunc::TOLVA_10kThermistorTransferFunc(const QString& text)
{
    change(text);
}

double TOLVA_10kThermistorTransferFunc::apply(double x) const
{
    return degrees(1.0 / (coefficients_[0] / x - coefficients_[1]));
}

QString TOLVA_10kThermistorTransferFunc::equationAsString() const
{
    // The two lines run together: stored displays show the text this way.
    return QStringLiteral("R = 1 / (4096/(5000*count) - 1/5000)") + QLatin1String(STEINHART_HART);
}

QString TOLVA_10kThermistorTransferFunc::description() const
{
    return QStringLiteral("TOLVA 10k Thermistor ohms to degrees C");
}

TOLVA_CtlThermistorTransferFunc::TOLVA_CtlThermistorTransferFunc()
    : TolvaThermistorBase({18700.0, 4096.0, 0.0009354, 0.0002211, 1.275e-07})
{
}

TOLVA_CtlThermistorTransferFunc::TOLVA_CtlThermistorTransferFunc(const std::vector<double>& k)
    : TolvaThermistorBase(k)
{
}

TOLVA_CtlThermistorTransferFunc::TOLVA_CtlThermistorTransferFunc(const QString& text)
{
    change(text);
}

double TOLVA_CtlThermistorTransferFunc::apply(double x) const
{
    return degrees(coefficients_[0] * x / (coefficients_[1] - x));
}

QString TOLVA_CtlThermistorTransferFunc::equationAsString() const
{
    return QStringLiteral("R = (K1 * x) / (K2 - x)\n") + QLatin1String(STEINHART_HART);
}

QString TOLVA_CtlThermistorTransferFunc::description() const
{
    return QStringLiteral("TOLVA CTL Thermistor ohms to degrees");
}

TOLVA_CtlAmuxThermistorTransferFunc::TOLVA_CtlAmuxThermistorTransferFunc()
    : TolvaThermistorBase({18700.0, 4096.0, 0.0009354, 0.0002211, 1.275e-07})
{
}

TOLVA_CtlAmuxThermistorTransferFunc::TOLVA_CtlAmuxThermistorTransferFunc(const std::vector<double>& k)
    : TolvaThermistorBase(k)
{
}

TOLVA_CtlAmuxThermistorTransferFunc::TOLVA_CtlAmuxThermistorTransferFunc(const QString& text)
{
    change(text);
}

double TOLVA_CtlAmuxThermistorTransferFunc::apply(double x) const
{
    return degrees(coefficients_[0] * (x - 32768.0) / (coefficients_[1] - x));
}

QString TOLVA_CtlAmuxThermistorTransferFunc::equationAsString() const
{
    return QStringLiteral("R = K1 * (x - 32768) / (K2 - x)\n") + QLatin1String(STEINHART_HART);
}

QString TOLVA_CtlAmuxThermistorTransferFunc::description() const
{
    return QStringLiteral("TOLVA CTL AMUX Thermistor ohms to degrees");
}

// ---------------------------------------------------------------- 102

TOLVA_PRTDegreesTransferFunc::TOLVA_PRTDegreesTransferFunc(double k1, double k2)
    : k1_(k1)
    , k2_(k2)
{
}

TOLVA_PRTDegreesTransferFunc::TOLVA_PRTDegreesTransferFunc(const QString& text)
{
    change(text);
}

QString TOLVA_PRTDegreesTransferFunc::asString() const
{
    return QString::fromStdString(fmt::format("{:.8f}\t{:.8f}", k1_, k2_));
}

void TOLVA_PRTDegreesTransferFunc::change(const QString& text)
{
    const std::vector<double> k = readFields(text, 2);
    k1_ = k[0];
    k2_ = k[1];
}

QString TOLVA_PRTDegreesTransferFunc::equationAsString() const
{
    return QStringLiteral("T = K1 * x - K2");
}

QString TOLVA_PRTDegreesTransferFunc::description() const
{
    return QStringLiteral("TOLVA PRT ADC to degrees C");
}

// ---------------------------------------------------------------- 107

TOLVA_Pt16x16DoubleTransferFunc::TOLVA_Pt16x16DoubleTransferFunc(const std::vector<double>& k)
    : coefficients_(k)
{
}

TOLVA_Pt16x16DoubleTransferFunc::TOLVA_Pt16x16DoubleTransferFunc(const QString& text)
{
    change(text);
}

double TOLVA_Pt16x16DoubleTransferFunc::apply(double x) const
{
    // A raw value outside 32 bits is undefined in a plain cast: saturate to
    // 64 bits (NaN gives 0), then keep the low word as two's complement, so
    // 4294967295 reads as -1 like the word it stands for.
    const uint32_t word = static_cast<uint32_t>(nr::truncateSaturating<int64_t>(x));
    const int32_t i = static_cast<int32_t>(word);
    return double(i >> 16) + double(i & 0xFFFF) / 65536.0;
}

QString TOLVA_Pt16x16DoubleTransferFunc::asString() const
{
    const std::vector<double> k = nr::paddedCoefficients(coefficients_, THERMISTOR_COUNT);
    return QString::fromStdString(fmt::format("{:1.0f}\t{:.8f}\t{:.8f}\t{:.8f}\t{:.8f}", k[0], k[1], k[2], k[3], k[4]));
}

void TOLVA_Pt16x16DoubleTransferFunc::change(const QString& text)
{
    coefficients_ = readFields(text, THERMISTOR_COUNT);
}

QString TOLVA_Pt16x16DoubleTransferFunc::equationAsString() const
{
    return QStringLiteral("double value = upper 2 bytes + (lower 2 bytes/65536)");
}

QString TOLVA_Pt16x16DoubleTransferFunc::description() const
{
    return QStringLiteral("TOLVA PT 16x16 Double");
}
