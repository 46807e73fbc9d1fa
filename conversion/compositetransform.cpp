#include "conversion/compositetransform.h"

#include <utility>
#include <vector>

void CompositeTransform::addTransform(std::shared_ptr<BaseTransform> transform, bool inverted)
{
    stages_.append(TransformItem{std::move(transform), inverted});
}

double CompositeTransform::apply(double x) const
{
    for (const TransformItem& stage : stages_) {
        if (!stage.transform)
            continue; // an empty stage passes the value on
        x = stage.inverted ? stage.transform->inverse(x) : stage.transform->apply(x);
    }
    return x;
}

double CompositeTransform::inverse(double y) const
{
    for (auto it = stages_.crbegin(); it != stages_.crend(); ++it) {
        if (!it->transform)
            continue;
        y = it->inverted ? it->transform->apply(y) : it->transform->inverse(y);
    }
    return y;
}

namespace {

QString number(double v)
{
    return QString::number(v, 'g', 6);
}

} // namespace

PiecewiseTransform::PiecewiseTransform(const QList<PiecewiseSection>& sections)
{
    setSections(sections);
}

void PiecewiseTransform::setSections(const QList<PiecewiseSection>& sections)
{
    sections_.clear();
    transforms_.clear();
    for (const PiecewiseSection& section : sections)
        addSectionToEnd(section);
}

void PiecewiseTransform::addSectionToEnd(const PiecewiseSection& section)
{
    std::vector<double> xs;
    std::vector<double> ys;
    xs.reserve(std::size_t(section.points.size()));
    ys.reserve(std::size_t(section.points.size()));
    for (const QPointF& p : section.points) {
        xs.push_back(p.x());
        ys.push_back(p.y());
    }

    Transform transform;
    transform.fit(xs.data(), ys.data(), static_cast<unsigned int>(xs.size()), section.fitOrder);
    transforms_.append(transform);
    sections_.append(section);
    sections_.last().endInverse = transform.apply(section.end);
}

double PiecewiseTransform::apply(double x) const
{
    if (sections_.isEmpty())
        return x;
    qsizetype chosen = sections_.size() - 1;
    for (qsizetype i = 0; i < sections_.size(); ++i) {
        if (sections_[i].end >= x) {
            chosen = i;
            break;
        }
    }
    return transforms_[chosen].apply(x);
}

double PiecewiseTransform::inverse(double y) const
{
    if (sections_.isEmpty())
        return y;
    qsizetype chosen = sections_.size() - 1;
    for (qsizetype i = 0; i < sections_.size(); ++i) {
        if (sections_[i].endInverse >= y) {
            chosen = i;
            break;
        }
    }
    return transforms_[chosen].inverse(y);
}

QString PiecewiseTransform::toString() const
{
    if (sections_.isEmpty())
        return QStringLiteral("Empty");
    QString text;
    for (qsizetype i = 0; i < sections_.size(); ++i) {
        const PiecewiseSection& section = sections_[i];
        text += QStringLiteral("Section %1\nStart range: %2\nEnd range: %3\nEnd range inverse: %4\n")
                    .arg(QString::number(i), number(section.start), number(section.end),
                         number(section.endInverse));
        text += QStringLiteral("Values used to calculate transform:\n");
        for (const QPointF& p : section.points)
            text += QStringLiteral("%1\t%2\n").arg(number(p.x()), number(p.y()));
        text += QStringLiteral("Transform state:\n%1\n\n").arg(transforms_[i].asString());
    }
    return text;
}
