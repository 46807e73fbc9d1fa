#pragma once
// Test fixture of the first-instrument tests: runs scripts/gen_kora.py into a
// temporary folder, points INIVEK and HOME there, installs a first-instrument
// hub loaded from the generated definitions (offsets moved by 8 as at start-up)
// and reads the generator's expected.json.
#include "generateddefinitions.h"

#include <QDir>
#include <QFileInfo>

namespace KoraTest {

class Definitions : public GeneratedDefinitions
{
public:
    // `plugin`: a plugin file placed in the definitions' plugin folder before the hub loads.
    explicit Definitions(int packets = 0, const QString& plugin = QString())
        : GeneratedDefinitions("gen_kora.py",
                               packets ? QStringList{QStringLiteral("--packets"), QString::number(packets)} : QStringList{})
    {
        if (!plugin.isEmpty()) {
            const QString folder = dir.filePath("defs/plugins/macos");
            EXPECT_TRUE(QDir().mkpath(folder) && QFile::copy(plugin, folder + "/" + QFileInfo(plugin).fileName()));
        }
        installHub();
    }

    QString archive(const char* which) const
    {
        const QString folder = expected.value("archives").toObject().value(which).toObject().value("folder").toString();
        return dir.filePath(folder + "/tm.tlm");
    }
};

using SuiteTest = SharedSuite<Definitions>;

} // namespace KoraTest
