#pragma once
// Signed fixed-point value from a raw two's-complement bit pattern:
// K1 is the total number of bits, K2 the number of fractional bits.
#include "conversion/transferfunc.h"

#include <cstdint>
#include <vector>

class TwosComplementTransferFunc : public TransferFunc
{
public:
    explicit TwosComplementTransferFunc(const std::vector<double>& k);
    ~TwosComplementTransferFunc() override = default;

    double apply(double x) const override;
    QString asString() const override;
    void change(const QString& text) override;
    QString equationAsString() const override;
    QString description() const override;

    const std::vector<double>& coefficients() const { return coefficients_; }

    // The raw value truncated to a signed 32-bit pattern; NaN and values
    // outside that range give the pattern with only bit 31 set.
    static std::int32_t rawPattern(double x);

private:
    std::vector<double> coefficients_;
};
