#pragma once
// Transfer functions that turn temperature-sensor counts into degrees Celsius.
#include "conversion/rationaltransferfunc.h"
#include "conversion/transferfunc.h"

#include <memory>
#include <vector>

// Thermistor behind a resistance divider read by a 16-bit ADC.
class DegreesTransferFunc : public TransferFunc
{
public:
    DegreesTransferFunc();
    explicit DegreesTransferFunc(const std::vector<double>& k);
    explicit DegreesTransferFunc(const QString& text);
    DegreesTransferFunc(const DegreesTransferFunc& other);
    DegreesTransferFunc& operator=(const DegreesTransferFunc& other);
    ~DegreesTransferFunc() override = default;

    double apply(double x) const override;
    QString asString() const override;
    void change(const QString& text) override;
    QString equationAsString() const override;
    QString description() const override;

    const std::vector<double>& coefficients() const { return coefficients_; }
    // Rebuilds the resistance stage R = K2 * (x - K1) / (65536 - x) from K1 and K2.
    void setOhms();

private:
    std::vector<double> coefficients_;
    std::shared_ptr<RationalTransferFunc> ohms_;
};

// Quadratic in a resistance computed from the count.
class RSimDegreesTransferFunc : public TransferFunc
{
public:
    RSimDegreesTransferFunc() = default;
    RSimDegreesTransferFunc(double k1, double k2, double k3, double k4);
    explicit RSimDegreesTransferFunc(const QString& text);
    ~RSimDegreesTransferFunc() override = default;

    double apply(double x) const override;
    QString asString() const override;
    void change(const QString& text) override;
    QString equationAsString() const override;
    QString description() const override;

private:
    double k1_ = 1.0;
    double k2_ = 1.0;
    double k3_ = 0.0;
    double k4_ = 0.0;
};

// Platinum resistance thermometer: the inverse of ADC = K1 + K2 T + K3 T^2.
class PRTDegreesTransferFunc : public TransferFunc
{
public:
    PRTDegreesTransferFunc() = default;
    PRTDegreesTransferFunc(double k1, double k2, double k3);
    explicit PRTDegreesTransferFunc(const QString& text);
    ~PRTDegreesTransferFunc() override = default;

    double apply(double x) const override;
    QString asString() const override;
    void change(const QString& text) override;
    QString equationAsString() const override;
    QString description() const override;

private:
    double k1_ = 1.0;
    double k2_ = 1.0;
    double k3_ = 0.0;
};

// Polynomial in the distance from a reference count.
class SenseWireTransferFunc : public TransferFunc
{
public:
    SenseWireTransferFunc();
    explicit SenseWireTransferFunc(const std::vector<double>& k);
    explicit SenseWireTransferFunc(const QString& text);
    ~SenseWireTransferFunc() override = default;

    double apply(double x) const override;
    QString asString() const override;
    void change(const QString& text) override;
    QString equationAsString() const override;
    QString description() const override;

    const std::vector<double>& coefficients() const { return coefficients_; }

private:
    std::vector<double> coefficients_;
};

// Thermistor read as a voltage.
class ThermistorTransferFunc : public TransferFunc
{
public:
    ThermistorTransferFunc();
    explicit ThermistorTransferFunc(const std::vector<double>& k);
    explicit ThermistorTransferFunc(const QString& text);
    ~ThermistorTransferFunc() override = default;

    double apply(double x) const override;
    QString asString() const override;
    void change(const QString& text) override;
    QString equationAsString() const override;
    QString description() const override;

    const std::vector<double>& coefficients() const { return coefficients_; }

private:
    std::vector<double> coefficients_;
};
