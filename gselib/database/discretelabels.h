#pragma once
// Discrete labels name the values of a data item: a label for one value or for
// an inclusive range, integer or floating. Text forms: 5=ON, 1..3=LOW,
// 0.5..1.5=MID; a list joins them with ";". A piece without "=" is both value
// and label.
#include <QMap>
#include <QString>

#include <tuple>
#include <variant>
#include <vector>

namespace GseLib {

// The text is a decimal signed 64-bit integer.
bool isLongLong(const QString& text);
// The text is a floating-point number and contains "."; a number too large for
// a double counts, as an infinity.
bool isDouble(const QString& text);

class DiscreteLabel
{
public:
    // long long for integer labels, double for floating ones.
    using Bound = std::variant<long long, double>;

    DiscreteLabel() = default;
    // "value=label", "low..high=label" or a lone value.
    explicit DiscreteLabel(const QString& text);
    DiscreteLabel(const QString& value, const QString& label, const QString& fallback);

    // Sets the range and the label; false (nothing set) when the value does not read.
    bool fromString(const QString& value, const QString& label, const QString& fallback);

    bool contains(long long v) const;
    bool contains(double v) const;
    double minValue() const;
    double maxValue() const;

    // Range, fallback and label; the text form and the swapped flag take no part.
    bool operator==(const DiscreteLabel& o) const;
    bool operator!=(const DiscreteLabel& o) const { return !(*this == o); }

    Bound min{0LL};
    Bound max{0LL};
    QString fallbackLabel;
    QString label;
    QString text;         // the label's text form as written back
    bool swapped = false; // the range was given high first
};

// Labels in ascending order of their lower bound; equal bounds keep insertion order.
class DiscreteLabels
{
public:
    using const_iterator = std::vector<DiscreteLabel>::const_iterator;

    void insert(const DiscreteLabel& label);
    void clear() { labels_.clear(); }

    // The label of the first label in order that contains v; empty when none does.
    QString label(long long v) const;
    QString label(double v) const;

    void fromString(const QString& text);
    QString toString() const;
    std::vector<std::tuple<double, double, QString>> toVector() const;
    // A single value maps to its label; a range maps its bounds to
    // "<label> Min" and "<label> Max". Later labels replace earlier keys.
    QMap<long long, QString> toMap() const;

    std::size_t size() const { return labels_.size(); }
    bool empty() const { return labels_.empty(); }
    const DiscreteLabel& at(std::size_t i) const { return labels_.at(i); }
    const_iterator begin() const { return labels_.begin(); }
    const_iterator end() const { return labels_.end(); }

    bool operator==(const DiscreteLabels& o) const { return labels_ == o.labels_; }
    bool operator!=(const DiscreteLabels& o) const { return !(*this == o); }

private:
    std::vector<DiscreteLabel> labels_;
};

} // namespace GseLib
