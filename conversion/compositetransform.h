#pragma once
// A chain of transforms, each stage run forwards or backwards.
#include "conversion/transform.h"

#include <QList>
#include <memory>

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
