#include "gselib/database/discretelabels.h"

#include "conversion/nrutil.h"
#include "conversion/saturatingcast.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace GseLib {

namespace {

constexpr double EPS = 1e-12;

// A floating-point number in the C locale; an overflowing one becomes the
// infinity of its sign, anything else that does not read gives 0.
double readDouble(const QString& text, bool* ok = nullptr)
{
    bool good = false;
    double d = text.toDouble(&good);
    if (!good && std::isinf(d))
        good = true;
    if (!good)
        d = 0.0;
    if (ok)
        *ok = good;
    return d;
}

double asDouble(const DiscreteLabel::Bound& b)
{
    if (const long long* i = std::get_if<long long>(&b))
        return static_cast<double>(*i);
    return std::get<double>(b);
}

// A bound as an integer: a double one truncated toward zero and saturated.
// False for a NaN bound, which stands for no value at all.
bool asLongLong(const DiscreteLabel::Bound& b, long long& out)
{
    if (const long long* i = std::get_if<long long>(&b)) {
        out = *i;
        return true;
    }
    const double d = std::get<double>(b);
    if (std::isnan(d))
        return false;
    out = nr::truncateSaturating<long long>(d);
    return true;
}

} // namespace

bool isLongLong(const QString& text)
{
    bool ok = false;
    text.toLongLong(&ok, 10);
    return ok;
}

bool isDouble(const QString& text)
{
    bool ok = false;
    readDouble(text, &ok);
    return ok && text.contains(QLatin1Char('.'));
}

DiscreteLabel::DiscreteLabel(const QString& text) : text(text)
{
    const QStringList pieces = text.split(QLatin1Char('='), Qt::KeepEmptyParts);
    fromString(pieces.first(), pieces.last(), QString());
}

DiscreteLabel::DiscreteLabel(const QString& value, const QString& label, const QString& fallback)
{
    fromString(value, label, fallback);
    if (swapped) {
        const QStringList parts = value.split(QStringLiteral(".."), Qt::KeepEmptyParts);
        text = QStringLiteral("%1..%2=%3").arg(parts.last(), parts.first(), label);
    } else {
        text = QStringLiteral("%1=%2").arg(value, label);
    }
}

bool DiscreteLabel::fromString(const QString& value, const QString& label, const QString& fallback)
{
    const QString chosen = label.isEmpty() ? fallback : label;
    const QStringList parts = value.split(QStringLiteral(".."), Qt::KeepEmptyParts);
    // A range given high first is stored low first.
    auto setRange = [this](auto lo, auto hi) {
        swapped = lo > hi;
        if (swapped)
            std::swap(lo, hi);
        min = lo;
        max = hi;
    };
    if (parts.size() == 2) {
        if (isDouble(parts[0]) || isDouble(parts[1])) {
            setRange(readDouble(parts[0]), readDouble(parts[1]));
        } else {
            bool okLo = false;
            bool okHi = false;
            const long long lo = parts[0].toLongLong(&okLo, 10);
            const long long hi = parts[1].toLongLong(&okHi, 10);
            if (!okLo || !okHi)
                return false;
            setRange(lo, hi);
        }
    } else if (parts.size() == 1) {
        if (isDouble(parts[0])) {
            min = max = readDouble(parts[0]);
        } else {
            bool ok = false;
            const long long v = parts[0].toLongLong(&ok, 10);
            if (!ok)
                return false;
            min = max = v;
        }
    } else {
        return false;
    }
    fallbackLabel = fallback;
    this->label = chosen;
    return true;
}

bool DiscreteLabel::contains(long long v) const
{
    long long lo = 0;
    long long hi = 0;
    if (!asLongLong(min, lo) || !asLongLong(max, hi))
        return false;
    return lo <= v && v <= hi;
}

bool DiscreteLabel::contains(double v) const
{
    const double lo = asDouble(min);
    const double hi = asDouble(max);
    return (v > lo || nr::isAlmostEqual(v, lo, EPS)) && (hi > v || nr::isAlmostEqual(v, hi, EPS));
}

double DiscreteLabel::minValue() const
{
    return asDouble(min);
}

double DiscreteLabel::maxValue() const
{
    return asDouble(max);
}

bool DiscreteLabel::operator==(const DiscreteLabel& o) const
{
    auto same = [](double a, double b) { return a == b || nr::isAlmostEqual(a, b, EPS); };
    return same(minValue(), o.minValue()) && same(maxValue(), o.maxValue()) && fallbackLabel == o.fallbackLabel
        && label == o.label;
}

void DiscreteLabels::insert(const DiscreteLabel& label)
{
    const double m = label.minValue();
    auto it = labels_.begin();
    while (it != labels_.end() && !(it->minValue() > m))
        ++it;
    labels_.insert(it, label);
}

QString DiscreteLabels::label(long long v) const
{
    for (const DiscreteLabel& l : labels_)
        if (l.contains(v))
            return l.label;
    return QString();
}

QString DiscreteLabels::label(double v) const
{
    for (const DiscreteLabel& l : labels_)
        if (l.contains(v))
            return l.label;
    return QString();
}

void DiscreteLabels::fromString(const QString& text)
{
    labels_.clear();
    const QStringList pieces = text.split(QLatin1Char(';'), Qt::KeepEmptyParts);
    // The same order as inserting the pieces one by one, without the quadratic
    // cost of that on a long cell: sorted by min, ties in text order. insert()
    // never places a label before one with a NaN min, so a NaN label ends up
    // right after the labels read before it whose min is at most the largest
    // min read so far; sorting it under that largest min gives that place.
    std::vector<std::pair<double, DiscreteLabel>> keyed;
    keyed.reserve(static_cast<std::size_t>(pieces.size()));
    double largest = -std::numeric_limits<double>::infinity();
    for (const QString& piece : pieces) {
        DiscreteLabel label(piece);
        const double m = label.minValue();
        if (!std::isnan(m))
            largest = std::max(largest, m);
        keyed.emplace_back(std::isnan(m) ? largest : m, std::move(label));
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    labels_.reserve(keyed.size());
    for (auto& k : keyed)
        labels_.push_back(std::move(k.second));
}

QString DiscreteLabels::toString() const
{
    QString out;
    for (const DiscreteLabel& l : labels_) {
        if (!out.isEmpty())
            out += QLatin1Char(';');
        out += l.text;
    }
    return out;
}

std::vector<std::tuple<double, double, QString>> DiscreteLabels::toVector() const
{
    std::vector<std::tuple<double, double, QString>> out;
    out.reserve(labels_.size());
    for (const DiscreteLabel& l : labels_)
        out.emplace_back(l.minValue(), l.maxValue(), l.label);
    return out;
}

QMap<long long, QString> DiscreteLabels::toMap() const
{
    QMap<long long, QString> out;
    for (const DiscreteLabel& l : labels_) {
        long long lo = 0;
        long long hi = 0;
        const bool okLo = asLongLong(l.min, lo);
        const bool okHi = asLongLong(l.max, hi);
        if (l.minValue() == l.maxValue()) {
            if (okLo)
                out.insert(lo, l.label);
        } else {
            if (okLo)
                out.insert(lo, l.label + QStringLiteral(" Min"));
            if (okHi)
                out.insert(hi, l.label + QStringLiteral(" Max"));
        }
    }
    return out;
}

} // namespace GseLib
