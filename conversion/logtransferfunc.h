#pragma once
// Logarithmic transfer functions.
#include "conversion/transferfunc.h"

#include <vector>

// y = K2 * ln(x) + K1
class NaturalLogTransferFunc : public TransferFunc
{
public:
    explicit NaturalLogTransferFunc(const std::vector<double>& k);
    ~NaturalLogTransferFunc() override = default;

    double apply(double x) const override;
    QString asString() const override;
    void change(const QString& text) override;
    QString equationAsString() const override;
    QString description() const override;

    const std::vector<double>& coefficients() const { return coefficients_; }

private:
    std::vector<double> coefficients_;
};

// y = K2 * log to the base K3 of x + K1; 0 outside the domain.
class LogTransferFunc : public TransferFunc
{
public:
    explicit LogTransferFunc(const std::vector<double>& k);
    ~LogTransferFunc() override = default;

    double apply(double x) const override;
    QString asString() const override;
    void change(const QString& text) override;
    QString equationAsString() const override;
    QString description() const override;

    const std::vector<double>& coefficients() const { return coefficients_; }

private:
    std::vector<double> coefficients_;
};
