#include "conversion/sensortransferfunc.h"

#include "conversion/coefficientlist.h"

#include <QList>
#include <QStringView>
#include <fmt/format.h>

#include <cmath>
#include <string>

namespace {

// The thermistor functions use this offset, not 273.15: the calibrations were made with it.
constexpr double KELVIN_OFFSET = 273.13;

constexpr std::size_t DEGREES_COUNT = 5;
constexpr std::size_t SENSE_WIRE_COUNT = 6;
constexpr std::size_t THERMISTOR_COUNT = 5;


// The first `count` tab-separated fields as doubles; missing or unparsable fields are 0.
std::vector<double> readFields(const QString& text, std::size_t count)
{
    const QList<QStringView> fields = QStringView(text).split(QLatin1Char('\t'));
    std::vector<double> k(count, 0.0);
    for (std::size_t i = 0; i < count; ++i)
        k[i] = fields.value(qsizetype(i)).toDouble();
    return k;
}

QString fixedFields(const double* k, std::size_t count, bool trailingTab)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0)
            text += '\t';
        fmt::format_to(std::back_inserter(text), "{:.8f}", k[i]);
    }
    if (trailingTab)
        text += '\t';
    return QString::fromStdString(text);
}

double thermistorDegrees(double resistance, double k3, double k4, double k5)
{
    const double l = std::log(resistance);
    return 1.0 / (k3 + k4 * l + k5 * l * l * l) - KELVIN_OFFSET;
}

} // namespace

// ---------------------------------------------------------------- Degrees

DegreesTransferFunc::DegreesTransferFunc()
    : coefficients_{32768.0, 1.0, 1.0, 0.0, 0.0}
{
    setOhms();
}

DegreesTransferFunc::DegreesTransferFunc(const std::vector<double>& k)
    : coefficients_(nr::paddedCoefficients(k, DEGREES_COUNT))
{
    setOhms();
}

DegreesTransferFunc::DegreesTransferFunc(const QString& text)
{
    change(text);
}

DegreesTransferFunc::DegreesTransferFunc(const DegreesTransferFunc& other)
    : TransferFunc(other)
    , coefficients_(other.coefficients_)
{
    setOhms();
}

DegreesTransferFunc& DegreesTransferFunc::operator=(const DegreesTransferFunc& other)
{
    if (this != &other) {
        coefficients_ = other.coefficients_;
        setOhms();
    }
    return *this;
}

void DegreesTransferFunc::setOhms()
{
    const double k1 = coefficients_[0];
    const double k2 = coefficients_[1];
    ohms_ = std::make_shared<RationalTransferFunc>(std::vector<double>{-(k1 * k2), k2},
                                                   std::vector<double>{65536.0, -1.0});
}

double DegreesTransferFunc::apply(double x) const
{
    return thermistorDegrees(ohms_->apply(x), coefficients_[2], coefficients_[3], coefficients_[4]);
}

QString DegreesTransferFunc::asString() const
{
    return fixedFields(coefficients_.data(), DEGREES_COUNT, false);
}

void DegreesTransferFunc::change(const QString& text)
{
    coefficients_ = readFields(text, DEGREES_COUNT);
    setOhms();
}

QString DegreesTransferFunc::equationAsString() const
{
    return QStringLiteral("R = K2 * (x - K1) / (65536 - x)\nT = 1 / (K3 + K4 * ln(R) + K5 * pow(ln(R),3)) - 273.13");
}

QString DegreesTransferFunc::description() const
{
    return QStringLiteral("ADC to degrees");
}

// ---------------------------------------------------------------- RSim

RSimDegreesTransferFunc::RSimDegreesTransferFunc(double k1, double k2, double k3, double k4)
    : k1_(k1)
    , k2_(k2)
    , k3_(k3)
    , k4_(k4)
{
}

RSimDegreesTransferFunc::RSimDegreesTransferFunc(const QString& text)
{
    change(text);
}

double RSimDegreesTransferFunc::apply(double x) const
{
    const double rp = k1_ / ((1.0 / x) - 1.0);
    return (k4_ * rp + k3_) * rp + k2_;
}

QString RSimDegreesTransferFunc::asString() const
{
    const double k[] = {k1_, k2_, k3_, k4_};
    return fixedFields(k, 4, false);
}

void RSimDegreesTransferFunc::change(const QString& text)
{
    const std::vector<double> k = readFields(text, 4);
    k1_ = k[0];
    k2_ = k[1];
    k3_ = k[2];
    k4_ = k[3];
}

QString RSimDegreesTransferFunc::equationAsString() const
{
    return QStringLiteral("Rp = K1 * ((1 / x) - 1)\nT = K4 * Rp * Rp + K3 * Rp + K2");
}

QString RSimDegreesTransferFunc::description() const
{
    return QStringLiteral("RSIM degrees");
}

// ---------------------------------------------------------------- PRT

PRTDegreesTransferFunc::PRTDegreesTransferFunc(double k1, double k2, double k3)
    : k1_(k1)
    , k2_(k2)
    , k3_(k3)
{
}

PRTDegreesTransferFunc::PRTDegreesTransferFunc(const QString& text)
{
    change(text);
}

double PRTDegreesTransferFunc::apply(double x) const
{
    const double a = k3_;
    const double b = k2_;
    const double c = k1_ - x;
    if (a == 0.0)
        return (x - k1_) / k2_;

    double r1 = 0.0;
    double r2 = 0.0;
    if (c == 0.0) {
        r1 = 0.0;
        r2 = -b / a;
    } else {
        const double d = b * b + (-4.0 * a) * c;
        if (b > 0.0) {
            const double q = -b - std::sqrt(d);
            r1 = q / (2.0 * a);
            r2 = 2.0 * c / q;
        } else if (b == 0.0) {
            r1 = std::sqrt(-c / a);
            r2 = -r1;
        } else { // negative or NaN
            const double q = -b + std::sqrt(d);
            r1 = q / (2.0 * a);
            r2 = 2.0 * c / q;
        }
    }

    if (b == 0.0)
        return std::fabs(r1) < std::fabs(r2) ? r1 : r2;
    // The root nearer the linear estimate is the physical one.
    const double t = (x - k1_) / k2_;
    return std::fabs(t - r1) < std::fabs(t - r2) ? r1 : r2;
}

QString PRTDegreesTransferFunc::asString() const
{
    const double k[] = {k1_, k2_, k3_};
    return fixedFields(k, 3, false);
}

void PRTDegreesTransferFunc::change(const QString& text)
{
    const std::vector<double> k = readFields(text, 3);
    k1_ = k[0];
    k2_ = k[1];
    k3_ = k[2];
}

QString PRTDegreesTransferFunc::equationAsString() const
{
    return QStringLiteral("ADC = K1 + K2 * x + K3 * x * x\nT = quadRoot(ADC)");
}

QString PRTDegreesTransferFunc::description() const
{
    return QStringLiteral("PRT ADC to degrees");
}

// ---------------------------------------------------------------- Sense wire

SenseWireTransferFunc::SenseWireTransferFunc()
    : coefficients_{0.0, 1.0, 0.0, 0.0, 0.0, 32768.0}
{
}

SenseWireTransferFunc::SenseWireTransferFunc(const std::vector<double>& k)
    : coefficients_(nr::paddedCoefficients(k, SENSE_WIRE_COUNT))
{
}

SenseWireTransferFunc::SenseWireTransferFunc(const QString& text)
{
    change(text);
}

double SenseWireTransferFunc::apply(double x) const
{
    const std::vector<double>& k = coefficients_;
    const double a = k[5] - x;
    const double a2 = a * a;
    const double a3 = a2 * a;
    const double a4 = a3 * a;
    return (k[1] * a + (k[2] * a2 + (k[4] * a4 + k[3] * a3))) + k[0];
}

QString SenseWireTransferFunc::asString() const
{
    return fixedFields(coefficients_.data(), SENSE_WIRE_COUNT, true);
}

void SenseWireTransferFunc::change(const QString& text)
{
    coefficients_ = readFields(text, SENSE_WIRE_COUNT);
}

QString SenseWireTransferFunc::equationAsString() const
{
    return QStringLiteral("a = K4 - ADC\nT = K3 * a * a + K2 * a + K1");
}

QString SenseWireTransferFunc::description() const
{
    return QStringLiteral("Pyrosense ADC to degrees ");
}

// ---------------------------------------------------------------- Thermistor

ThermistorTransferFunc::ThermistorTransferFunc()
    : coefficients_{10.0, 1.0, 1.0, 0.0, 0.0}
{
}

ThermistorTransferFunc::ThermistorTransferFunc(const std::vector<double>& k)
    : coefficients_(nr::paddedCoefficients(k, THERMISTOR_COUNT))
{
}

ThermistorTransferFunc::ThermistorTransferFunc(const QString& text)
{
    change(text);
}

double ThermistorTransferFunc::apply(double x) const
{
    const std::vector<double>& k = coefficients_;
    const double r = (k[0] + x) * k[1] / (k[0] - x);
    return thermistorDegrees(r, k[2], k[3], k[4]);
}

QString ThermistorTransferFunc::asString() const
{
    return fixedFields(coefficients_.data(), THERMISTOR_COUNT, false);
}

void ThermistorTransferFunc::change(const QString& text)
{
    coefficients_ = readFields(text, THERMISTOR_COUNT);
}

QString ThermistorTransferFunc::equationAsString() const
{
    return QStringLiteral("R = K2 * (V + 10) / (10 - V)\nT = 1 / (K3 + K4 * lnR + K5 * pow(lnR,3)");
}

QString ThermistorTransferFunc::description() const
{
    return QStringLiteral("Thermistor volts to degrees");
}
