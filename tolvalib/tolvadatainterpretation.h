#pragma once
// The second instrument's interpretation hub and the factory that the module
// start-up hands to DataInterpretation::init for a "tolva" archive. The hub
// has no built-in decoders (they come from TolvaDecoderMaker); its own part
// is reading the DAC table file.
#include "gselib/interpretation/datainterpretation.h"

namespace TolvaGse {

class TolvaDataInterpretation : public GseLib::DataInterpretation
{
public:
    TolvaDataInterpretation() = default;
    ~TolvaDataInterpretation() override = default;

    void populateCustomDecoders() override;
    // Fills the (already cleared) table from the file; a missing, unreadable
    // or non-plain file leaves it empty, seen only in the entry count logged.
    void populateDacTable(GseLib::DacTable& table, const QString& path) override;
};

class TolvaDataInterpretationFactory : public GseLib::DataInterpretationFactory
{
public:
    ~TolvaDataInterpretationFactory() override = default;
    std::unique_ptr<GseLib::DataInterpretation> make() override;
};

} // namespace TolvaGse
