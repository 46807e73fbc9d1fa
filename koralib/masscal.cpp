#include "koralib/masscal.h"

#include "koralib/masscalcore_impl.h"

template class MassCalCore::CalCore<KorGse::MassCal, KorGse::MassCalEntry>;

namespace KorGse {

namespace {
// Registered at load time, so the type is known by name to QVariant and queued connections.
const int massCalMetaTypeId = qRegisterMetaType<MassCal>();
} // namespace

MassCal::MassCal() = default;

MassCal::MassCal(const MassCal& other) : QObject(), CalCore(other)
{
}

MassCal& MassCal::operator=(const MassCal& other)
{
    assign(other);
    return *this;
}

MassCal::~MassCal() = default;

void initializeMassCal(MassCal& massCal, const GseLib::TmMeta& meta, const QString& dir)
{
    MassCal::initialize(massCal, meta, dir);
}

} // namespace KorGse
