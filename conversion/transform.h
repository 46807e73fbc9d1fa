#pragma once
// Invertible one-dimensional calibration transforms.
#include <QString>
#include <memory>

class BaseTransform
{
public:
    virtual ~BaseTransform();
    virtual double apply(double x) const = 0;
    virtual double inverse(double y) const = 0;

protected:
    BaseTransform() = default;
    BaseTransform(const BaseTransform&) = default;
    BaseTransform& operator=(const BaseTransform&) = default;
};

// y = a0 + a1 x + a2 x^2. The order selects the evaluation: 0 is the
// identity whatever the coefficients, 1 ignores a2, any other order is the
// full quadratic.
class Transform : public BaseTransform
{
public:
    Transform();
    Transform(double a0, double a1, double a2);
    // The line through two points.
    Transform(double x1, double y1, double x2, double y2);
    // The text of asString().
    explicit Transform(const QString& text);
    // The second transform (taken as linear) applied after the first.
    Transform(const Transform& first, const Transform& second);
    Transform(const Transform&) = default;
    Transform& operator=(const Transform&) = default;
    ~Transform() override = default;

    bool operator==(const Transform& other) const;
    bool operator!=(const Transform& other) const { return !(*this == other); }

    // Order 2 when a2 != 0, else 1 when (a0, a1) is not (0, 1), else 0.
    void change(double a0, double a1, double a2);
    // The line through (x1, y1) and (x2, y2), order 1; the identity line
    // when the points share x or y.
    void change(double x1, double y1, double x2, double y2);
    // Order, a0, a1, a2 separated by tabs; the order is taken as written.
    void change(const QString& text);

    double apply(double x) const override;
    double apply(float x) const { return apply(static_cast<double>(x)); }
    double apply(int x) const { return apply(static_cast<double>(x)); }
    double apply(long x) const { return apply(static_cast<double>(x)); }
    double apply(unsigned long x) const { return apply(static_cast<double>(x)); }
    double apply(short x) const { return apply(static_cast<double>(x)); }
    double apply(unsigned short x) const { return apply(static_cast<double>(x)); }
    double apply(signed char x) const { return apply(static_cast<double>(x)); }
    double apply(unsigned char x) const { return apply(static_cast<double>(x)); }

    double inverse(double y) const override;
    // The root of a2 x^2 + a1 x + a0 = y nearer the linear estimate, whatever the order.
    double quadRoot(double y) const;
    double slope() const;

    // Least-squares fit of order 0, 1 or 2 to n points. Returns the correlation
    // coefficient, or 0.0 with the transform unchanged when the fit fails or
    // the order is not one the transform can hold.
    double fit(const double* x, const double* y, unsigned int n, int order);

    // "%d\t%.8g\t%.8g\t%.8g" with order, a0, a1, a2.
    QString asString() const;
    // The prefix, then "%.4g\t%.4g\t%.4g" with a2, a1, a0.
    QString asText(const QString& prefix) const;

    double a0() const { return a0_; }
    double a1() const { return a1_; }
    double a2() const { return a2_; }
    int order() const { return order_; }

private:
    double a0_ = 0.0;
    double a1_ = 1.0;
    double a2_ = 0.0;
    int order_ = 0;
};
