#pragma once
// The first-instrument hub of the fuzz targets that need one: a scratch folder
// made once per process, helpers that write a small telemetry database, packet
// types and DAC table there, and the configuration that names the folder and
// installs the hub over it (offsets moved by 8 as at start-up). Used by the
// archive, scan and meta-marker rule targets.
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/services/configvek.h"
#include "koralib/archive/koradatai.h"
#include "tools/util/pluginmanager.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace KoraFuzzHub {

// A new scratch folder under the temporary folder, named `prefix`_XXXXXX.
inline std::string makeFolder(const char* prefix)
{
    std::string folder = QDir::tempPath().toStdString() + "/" + prefix + "_XXXXXX";
    if (!mkdtemp(folder.data()))
        std::abort();
    return folder;
}

inline void writeText(const QString& path, const QByteArray& text)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        std::abort();
    f.write(text);
}

// The telemetry database's header line.
inline const QByteArray DB_HEADER = "SUB_SYSTEM\tNAME\tDESCRIPTION\tDATA_ID\tPACKET_TYPE\tDECODE_TYPE\tDECODE_ID1\tDECODE_ID2\t"
                                    "DECODE_ID3\tDECODE_ID4\tRAW_FMT\tENG_FMT\tENG_EQ_TYPE\tENG_K1\tENG_K2\tSCI_UNITS\tSCI_FMT\t"
                                    "SCI_EQ_TYPE\tSCI_FROM_ENG\tSCI_K1\tSCI_K2\tSCI_K3\tSCI_K4\tSCI_K5\tSCI_K6\tSCI_K7\tSCI_K8\t"
                                    "ARRAY_LENGTH\n";

// A database row of an unsigned `n`-byte value at `off` in packets of `type`.
inline QByteArray row(const QByteArray& name, int id, int type, int off, int n, int array = 1)
{
    return "KOR\t" + name + "\t" + name + "\t" + QByteArray::number(id) + "\t" + QByteArray::number(type) + "\t3\t" +
           QByteArray::number(off) + "\t" + QByteArray::number(n) + "\t0x" +
           QByteArray::number((1ull << (8 * n)) - 1, 16) + "\t0\t%d\t%g\t0\t0\t1\tV\t%g\t1\tN\t0.5\t0.25\t0\t0\t0\t0\t0\t0\t" +
           QByteArray::number(array) + "\n";
}

// Writes the configuration naming `dir` (db.txt, dac.txt and the packet types
// are expected there), points INIVEK and HOME at it and installs the hub.
inline void installHub(const QString& dir)
{
    const QByteArray d = dir.toLocal8Bit();
    writeText(dir + "/vek.INI", "[VEK]\ndefault_group=KORA\n[KORA]\ngse=" + d + "\ntm_definitions=" + d +
                                    "\ntm_database=" + d + "/db.txt\ndac_file=" + d + "/dac.txt\nviewers_root=" + d +
                                    "\ndata_root=" + d + "\n");
    setenv("INIVEK", (d + "/vek.INI").constData(), 1);
    setenv("HOME", d.constData(), 1);
    GseLib::ConfigVek::setDefaultGroup(QStringLiteral("KORA"));
    static KorGse::KorDataInterpretationFactory factory;
    static PluginManager* manager = new PluginManager;
    GseLib::DataInterpretation::init(&factory, true, manager, {});
    GseLib::DataInterpretation::current()->updatePktOffsets(8);
}

} // namespace KoraFuzzHub
