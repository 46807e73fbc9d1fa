#include "tolvalib/tolvamasscal.h"

#include "koralib/masscalcore_impl.h"

template class MassCalCore::EntryCore<TolvaGse::MassCalEntry>;
template class MassCalCore::CalCore<TolvaGse::MassCal, TolvaGse::MassCalEntry>;

namespace TolvaGse {

namespace {
const int massCalMetaTypeId = qRegisterMetaType<MassCal>();
} // namespace

MassCalEntry::~MassCalEntry() = default;

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

} // namespace TolvaGse
