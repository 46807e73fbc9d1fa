#include "conversion/rationaltransferfunc.h"

#include <QList>
#include <QStringView>
#include <fmt/format.h>

#include <algorithm>
#include <utility>

namespace {

// Horner's rule over every element; an empty list is 0.
double horner(const std::vector<double>& k, double x)
{
    double y = 0.0;
    for (auto it = k.rbegin(); it != k.rend(); ++it)
        y = y * x + *it;
    return y;
}

// The count, then a tab and each coefficient, as printf's "%d" and "%.8g" write them.
std::string partText(const std::vector<double>& k)
{
    std::string text = fmt::format("{}", k.size());
    for (double v : k)
        fmt::format_to(std::back_inserter(text), "\t{:.8g}", v);
    return text;
}

std::vector<double> parsePart(QStringView part)
{
    const QList<QStringView> fields = part.split(QLatin1Char('\t'));
    bool ok = false;
    qsizetype count = fields.value(0).toUInt(&ok, 10);
    if (!ok)
        count = 0;
    // A count never reserves more than the text actually carries.
    count = std::min(count, fields.size() - 1);
    std::vector<double> k;
    k.reserve(std::size_t(count));
    for (qsizetype i = 1; i <= count; ++i)
        k.push_back(fields[i].toDouble()); // 0 when not a number
    return k;
}

} // namespace

RationalTransferFunc::RationalTransferFunc()
    : numerator_{0.0, 1.0}
    , denominator_{1.0}
{
}

RationalTransferFunc::RationalTransferFunc(std::vector<double> numerator)
    : numerator_(std::move(numerator))
    , denominator_{1.0}
{
}

RationalTransferFunc::RationalTransferFunc(std::vector<double> numerator, std::vector<double> denominator)
    : numerator_(std::move(numerator))
    , denominator_(std::move(denominator))
{
}

double RationalTransferFunc::apply(double x) const
{
    return horner(numerator_, x) / horner(denominator_, x);
}

QString RationalTransferFunc::asString() const
{
    std::string text = partText(numerator_);
    if (!(denominator_.size() == 1 && denominator_[0] == 1.0))
        text += "/" + partText(denominator_);
    return QString::fromStdString(text);
}

void RationalTransferFunc::change(const QString& text)
{
    const QStringView view(text);
    QStringView numeratorPart = view;
    QStringView denominatorPart = u"1\t1.";
    const qsizetype slash = view.indexOf(QLatin1Char('/'));
    if (slash >= 0) {
        numeratorPart = view.left(slash);
        denominatorPart = view.mid(slash + 1);
        const qsizetype second = denominatorPart.indexOf(QLatin1Char('/'));
        if (second >= 0)
            denominatorPart = denominatorPart.left(second);
    }
    numerator_ = parsePart(numeratorPart);
    denominator_ = parsePart(denominatorPart);
}

QString RationalTransferFunc::equationAsString() const
{
    return QStringLiteral("Rational transfer function");
}

QString RationalTransferFunc::description() const
{
    return QStringLiteral("Rational");
}

ADC2OhmsTransferFunc::ADC2OhmsTransferFunc(std::vector<double> numerator)
    : RationalTransferFunc(std::move(numerator))
{
}

ADC2OhmsTransferFunc::ADC2OhmsTransferFunc(std::vector<double> numerator, std::vector<double> denominator)
    : RationalTransferFunc(std::move(numerator), std::move(denominator))
{
}

QString ADC2OhmsTransferFunc::equationAsString() const
{
    return QStringLiteral("K2 * (x - K1) / (65536 - x)");
}

QString ADC2OhmsTransferFunc::description() const
{
    return QStringLiteral("ADC to Ohms");
}
