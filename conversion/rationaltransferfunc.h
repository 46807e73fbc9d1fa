#pragma once
// Ratio of two polynomials, and the ADC-to-ohms divider built from it.
#include "conversion/transferfunc.h"

#include <vector>

class RationalTransferFunc : public TransferFunc
{
public:
    // y = x
    RationalTransferFunc();
    explicit RationalTransferFunc(std::vector<double> numerator);
    RationalTransferFunc(std::vector<double> numerator, std::vector<double> denominator);
    RationalTransferFunc(const RationalTransferFunc&) = default;
    RationalTransferFunc& operator=(const RationalTransferFunc&) = default;
    ~RationalTransferFunc() override = default;

    double apply(double x) const override;
    QString asString() const override;
    void change(const QString& text) override;
    QString equationAsString() const override;
    QString description() const override;

    const std::vector<double>& numerator() const { return numerator_; }
    const std::vector<double>& denominator() const { return denominator_; }

private:
    // Both in ascending powers, the constant term first; every element is used.
    std::vector<double> numerator_;
    std::vector<double> denominator_;
};

class ADC2OhmsTransferFunc : public RationalTransferFunc
{
public:
    ADC2OhmsTransferFunc() = default;
    explicit ADC2OhmsTransferFunc(std::vector<double> numerator);
    ADC2OhmsTransferFunc(std::vector<double> numerator, std::vector<double> denominator);
    ~ADC2OhmsTransferFunc() override = default;

    QString equationAsString() const override;
    QString description() const override;
};
