#pragma once
// The second instrument's own transfer functions (equation types 100 to 107):
// a 16-bit ADC divider in ohms, four thermistor curves in degrees Celsius, a
// linear PRT reading and a signed 16.16 fixed-point word. TolvaTransferFuncMaker
// makes them for database rows; nothing else builds them.
//
// Lists shorter than a function reads are padded with zeros, so a row with
// too few coefficients gives a defined curve instead of a read past the list.
#include "conversion/rationaltransferfunc.h"
#include "conversion/transferfunc.h"

#include <vector>

// Id 100: K1 * x / (65536 - x) when made by the maker.
class TOLVA_ADC2OhmsTransferFunc : public RationalTransferFunc
{
public:
    TOLVA_ADC2OhmsTransferFunc() = default;
    explicit TOLVA_ADC2OhmsTransferFunc(std::vector<double> numerator);
    TOLVA_ADC2OhmsTransferFunc(std::vector<double> numerator, std::vector<double> denominator);
    ~TOLVA_ADC2OhmsTransferFunc() override = default;

    QString equationAsString() const override;
    QString description() const override;
};

// Shared by the four thermistor curves: R from the count, then
// Tc = 1 / (K3 + K4 lnR + K5 lnR^3) - 273.15. Holds at least five coefficients.
class TolvaThermistorBase : public TransferFunc
{
public:
    ~TolvaThermistorBase() override = default;

    QString asString() const override;
    // Five tab-separated fields; missing or unparsable ones are 0.
    void change(const QString& text) override;

    const std::vector<double>& coefficients() const { return coefficients_; }

protected:
    TolvaThermistorBase() = default;
    explicit TolvaThermistorBase(const std::vector<double>& k);
    TolvaThermistorBase(const TolvaThermistorBase&) = default;
    TolvaThermistorBase& operator=(const TolvaThermistorBase&) = default;

    double degrees(double resistance) const;

    std::vector<double> coefficients_;
};

// Id 101: R = K1 x / (K2 - x).
class TOLVA_ThermistorTransferFunc : public TolvaThermistorBase
{
public:
    TOLVA_ThermistorTransferFunc();
    explicit TOLVA_ThermistorTransferFunc(const std::vector<double>& k);
    explicit TOLVA_ThermistorTransferFunc(const QString& text);
    TOLVA_ThermistorTransferFunc(const TOLVA_ThermistorTransferFunc&) = default;
    TOLVA_ThermistorTransferFunc& operator=(const TOLVA_ThermistorTransferFunc&) = default;
    ~TOLVA_ThermistorTransferFunc() override = default;

    double apply(double x) const override;
    QString equationAsString() const override;
    QString description() const override;
};

// Id 104: R = 1 / (K1 / x - K2), a 10 kOhm thermistor by default.
class TOLVA_10kThermistorTransferFunc : public TolvaThermistorBase
{
public:
    TOLVA_10kThermistorTransferFunc();
    explicit TOLVA_10kThermistorTransferFunc(const std::vector<double>& k);
    explicit TOLVA_10kThermistorTransferFunc(const QString& text);
    TOLVA_10kThermistorTransferFunc(const TOLVA_10kThermistorTransferFunc&) = default;
    TOLVA_10kThermistorTransferFunc& operator=(const TOLVA_10kThermistorTransferFunc&) = default;
    ~TOLVA_10kThermistorTransferFunc() override = default;

    double apply(double x) const override;
    QString equationAsString() const override;
    QString description() const override;
};

// Id 105: R = K1 x / (K2 - x) with the CTL board's defaults.
class TOLVA_CtlThermistorTransferFunc : public TolvaThermistorBase
{
public:
    TOLVA_CtlThermistorTransferFunc();
    explicit TOLVA_CtlThermistorTransferFunc(const std::vector<double>& k);
    explicit TOLVA_CtlThermistorTransferFunc(const QString& text);
    TOLVA_CtlThermistorTransferFunc(const TOLVA_CtlThermistorTransferFunc&) = default;
    TOLVA_CtlThermistorTransferFunc& operator=(const TOLVA_CtlThermistorTransferFunc&) = default;
    ~TOLVA_CtlThermistorTransferFunc() override = default;

    double apply(double x) const override;
    QString equationAsString() const override;
    QString description() const override;
};

// Id 106: R = K1 (x - 32768) / (K2 - x), a bipolar AMUX reading.
class TOLVA_CtlAmuxThermistorTransferFunc : public TolvaThermistorBase
{
public:
    TOLVA_CtlAmuxThermistorTransferFunc();
    explicit TOLVA_CtlAmuxThermistorTransferFunc(const std::vector<double>& k);
    explicit TOLVA_CtlAmuxThermistorTransferFunc(const QString& text);
    TOLVA_CtlAmuxThermistorTransferFunc(const TOLVA_CtlAmuxThermistorTransferFunc&) = default;
    TOLVA_CtlAmuxThermistorTransferFunc& operator=(const TOLVA_CtlAmuxThermistorTransferFunc&) = default;
    ~TOLVA_CtlAmuxThermistorTransferFunc() override = default;

    double apply(double x) const override;
    QString equationAsString() const override;
    QString description() const override;
};

// Id 102: T = K1 x - K2.
class TOLVA_PRTDegreesTransferFunc : public TransferFunc
{
public:
    TOLVA_PRTDegreesTransferFunc() = default;
    TOLVA_PRTDegreesTransferFunc(double k1, double k2);
    explicit TOLVA_PRTDegreesTransferFunc(const QString& text);
    TOLVA_PRTDegreesTransferFunc(const TOLVA_PRTDegreesTransferFunc&) = default;
    TOLVA_PRTDegreesTransferFunc& operator=(const TOLVA_PRTDegreesTransferFunc&) = default;
    ~TOLVA_PRTDegreesTransferFunc() override = default;

    double apply(double x) const override { return k1_ * x - k2_; }
    QString asString() const override;
    void change(const QString& text) override;
    QString equationAsString() const override;
    QString description() const override;

    double k1() const { return k1_; }
    double k2() const { return k2_; }

private:
    double k1_ = 1.0;
    double k2_ = 1.0;
};

// Id 107: the raw value read as a signed 16.16 fixed-point number. The list
// is kept for the text form only.
class TOLVA_Pt16x16DoubleTransferFunc : public TransferFunc
{
public:
    TOLVA_Pt16x16DoubleTransferFunc() = default;
    explicit TOLVA_Pt16x16DoubleTransferFunc(const std::vector<double>& k);
    explicit TOLVA_Pt16x16DoubleTransferFunc(const QString& text);
    TOLVA_Pt16x16DoubleTransferFunc(const TOLVA_Pt16x16DoubleTransferFunc&) = default;
    TOLVA_Pt16x16DoubleTransferFunc& operator=(const TOLVA_Pt16x16DoubleTransferFunc&) = default;
    ~TOLVA_Pt16x16DoubleTransferFunc() override = default;

    double apply(double x) const override;
    QString asString() const override;
    void change(const QString& text) override;
    QString equationAsString() const override;
    QString description() const override;

    const std::vector<double>& coefficients() const { return coefficients_; }

private:
    std::vector<double> coefficients_;
};
