#include "conversion/compositetransform.h"

#include <utility>

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
