#include "tolvalib/tolvadatainterpretation.h"

#include "gselib/database/dactable.h"
#include "tools/logger/log.h"
#include "tools/util/tools.h"

#include <QFile>

namespace TolvaGse {

namespace {

// The two progress lines carry the source name that the instrument's log
// readers have always seen for them, whatever the build calls this file.
void progress(const QString& text)
{
    if (Log::enabled(INFO))
        Log::dispatch(LoggerEventMsg(QString(), QStringLiteral("tolvalib/tolvadatai"), __LINE__, INFO, text));
}

} // namespace

void TolvaDataInterpretation::populateCustomDecoders()
{
}

void TolvaDataInterpretation::populateDacTable(GseLib::DacTable& table, const QString& path)
{
    progress(QStringLiteral("Populating DAC table from ") + path);
    QFile file(path);
    // The path is recorded only for a file that was actually read.
    if (Tools::openPlainFile(file)) {
        table.filePath = path;
        table.read(file, path);
    }
    progress(QStringLiteral("Finished loading DAC table with %1 entries").arg(table.rowCount()));
}

std::unique_ptr<GseLib::DataInterpretation> TolvaDataInterpretationFactory::make()
{
    return std::make_unique<TolvaDataInterpretation>();
}

} // namespace TolvaGse
