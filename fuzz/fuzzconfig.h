#pragma once
// A per-user configuration for fuzz targets that read files through it: a
// temporary folder, an INI whose default group KORA names that folder under
// the given key, INIVEK pointing at it. Made once per process.
#include "gselib/services/configvek.h"

#include <QFile>
#include <QTemporaryDir>

namespace FuzzConfig {

// The folder the key names; every call returns the one made by the first.
inline QString folder(const char* key)
{
    static QTemporaryDir dir;
    static const bool written = [key] {
        QFile ini(dir.filePath("vek.INI"));
        if (!ini.open(QIODevice::WriteOnly))
            return false;
        ini.write("[VEK]\ndefault_group=KORA\n[KORA]\n" + QByteArray(key) + "=" + dir.path().toUtf8() + "\n");
        ini.close();
        qputenv("INIVEK", dir.filePath("vek.INI").toUtf8());
        GseLib::ConfigVek::setDefaultGroup(QStringLiteral("KORA"));
        return true;
    }();
    (void)written;
    return dir.path();
}

// Replaces the file's contents with the input; false when it cannot be written.
inline bool writeInput(const QString& path, const uint8_t* data, size_t size)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    return true;
}

} // namespace FuzzConfig
