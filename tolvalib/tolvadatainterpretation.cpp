#include "tolvalib/tolvadatainterpretation.h"

#include "gselib/database/dactable.h"
#include "tools/logger/log.h"
#include "tools/util/tools.h"

#include <QFile>

namespace TolvaGse {

void TolvaDataInterpretation::populateCustomDecoders()
{
}

void TolvaDataInterpretation::populateDacTable(GseLib::DacTable& table, const QString& path)
{
    LOG_INFO("", "Populating DAC table from " << path);
    QFile file(path);
    // The path is recorded only for a file that was actually read.
    if (Tools::openPlainFile(file)) {
        table.filePath = path;
        table.read(file, path);
    }
    LOG_INFO("", "Finished loading DAC table with " << table.rowCount() << " entries");
}

std::unique_ptr<GseLib::DataInterpretation> TolvaDataInterpretationFactory::make()
{
    return std::make_unique<TolvaDataInterpretation>();
}

} // namespace TolvaGse
