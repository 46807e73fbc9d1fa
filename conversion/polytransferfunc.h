#pragma once
// Polynomial transfer functions: the plain polynomial, the ADC-to-volts line
// and the polynomial over a raw value reinterpreted as a single-precision float.
#include "conversion/transferfunc.h"

#include <vector>

class PolyTransferFunc : public TransferFunc
{
public:
    PolyTransferFunc();
    PolyTransferFunc(double a, double b, double c);
    explicit PolyTransferFunc(const std::vector<double>& k);
    explicit PolyTransferFunc(const QString& text);
    PolyTransferFunc(const PolyTransferFunc&) = default;
    PolyTransferFunc& operator=(const PolyTransferFunc&) = default;
    ~PolyTransferFunc() override = default;

    double apply(double x) const override;
    QString asString() const override;
    void change(const QString& text) override;
    QString equationAsString() const override;
    QString description() const override;

    const std::vector<double>& coefficients() const { return coefficients_; }
    int order() const { return order_; }

protected:
    // Horner's rule over K1 ... K(order + 1).
    double evaluate(double x) const;

    // K1 (the constant term) first, ascending powers.
    std::vector<double> coefficients_;
    // The highest power used; 0 <= order < size, or 0 for an empty list.
    int order_ = 0;
};

class ADC2VoltsTransferFunc : public PolyTransferFunc
{
public:
    ADC2VoltsTransferFunc() = default;
    ADC2VoltsTransferFunc(double a, double b, double c);
    explicit ADC2VoltsTransferFunc(const std::vector<double>& k);
    ~ADC2VoltsTransferFunc() override = default;

    QString equationAsString() const override;
    QString description() const override;
};

class RawToDouble : public PolyTransferFunc
{
public:
    explicit RawToDouble(const std::vector<double>& k);
    // The text carries no parameters for this function: it is not read.
    explicit RawToDouble(const QString& text);
    ~RawToDouble() override = default;

    double apply(double x) const override;
    QString asString() const override;
    void change(const QString& text) override;
    QString equationAsString() const override;
    QString description() const override;

    // The raw value truncated to 64 bits, its low 32 bits read as an IEEE float.
    static double reinterpretRaw(double raw);
};
