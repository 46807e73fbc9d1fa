#pragma once
// Transforms built from other transforms: a chain of stages, each run forwards or
// backwards, and a calibration that fits its own transform on each range of x.
#include "conversion/transform.h"

#include <QList>
#include <memory>
#include <QPointF>
#include <QString>

class CompositeTransform : public BaseTransform
{
public:
    struct TransformItem {
        std::shared_ptr<BaseTransform> transform;
        bool inverted = false;
    };

    CompositeTransform() = default;
    ~CompositeTransform() override = default;

    // An inverted stage runs its inverse on the way forward and its apply on the way back.
    void addTransform(std::shared_ptr<BaseTransform> transform, bool inverted);

    // The stages first to last.
    double apply(double x) const override;
    // The stages last to first, each undone.
    double inverse(double y) const override;

    const QList<TransformItem>& stages() const { return stages_; }

private:
    QList<TransformItem> stages_;
};

struct PiecewiseSection {
    double start = 0.0;
    // Upper bound of the section on the input side; a value equal to it belongs here.
    double end = 0.0;
    // Upper bound on the output side: the fitted transform at end, set when the section is added.
    double endInverse = 0.0;
    // Calibration points (x, y) that the section's transform is fitted to.
    QList<QPointF> points;
    int fitOrder = 1;
};

class PiecewiseTransform : public BaseTransform
{
public:
    PiecewiseTransform() = default;
    explicit PiecewiseTransform(const QList<PiecewiseSection>& sections);
    ~PiecewiseTransform() override = default;

    void setSections(const QList<PiecewiseSection>& sections);
    void appendSection(const PiecewiseSection& section) { addSectionToEnd(section); }
    // Fits a transform of the section's order to its points (the identity when
    // the fit fails) and appends both.
    void addSectionToEnd(const PiecewiseSection& section);

    // The first section whose end is >= x, else the last; no sections: x.
    double apply(double x) const override;
    // The first section whose endInverse is >= y, else the last; no sections: y.
    double inverse(double y) const override;

    QString toString() const;

    const QList<PiecewiseSection>& sections() const { return sections_; }
    const QList<Transform>& transforms() const { return transforms_; }

private:
    // Parallel lists: transforms_[i] is fitted to sections_[i].
    QList<PiecewiseSection> sections_;
    QList<Transform> transforms_;
};
