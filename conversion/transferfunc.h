#pragma once
// The conversion of one raw telemetry value into an engineering or science
// value. Functions are always held by std::shared_ptr; an empty pointer means
// "no function".
#include <QString>
#include <memory>

class TransferFunc
{
public:
    virtual ~TransferFunc();

    virtual double apply(double x) const = 0;
    // The function's parameters as text, in the form that change() reads back.
    virtual QString asString() const = 0;
    virtual void change(const QString& text) = 0;
    // A fixed human-readable formula.
    virtual QString equationAsString() const = 0;
    // A fixed short name.
    virtual QString description() const = 0;

protected:
    TransferFunc() = default;
    TransferFunc(const TransferFunc&) = default;
    TransferFunc& operator=(const TransferFunc&) = default;
};

using TransferFuncPtr = std::shared_ptr<TransferFunc>;
