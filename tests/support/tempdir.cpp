#include "support/tempdir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <stdexcept>

namespace TestSupport {

TempDir::TempDir()
{
    if (!dir_.isValid())
        throw std::runtime_error("cannot create a temporary folder");
}

QString TempDir::write(const QString& name, const QByteArray& bytes) const
{
    const QString p = dir_.filePath(name);
    QDir().mkpath(QFileInfo(p).absolutePath());
    QFile f(p);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw std::runtime_error("cannot write " + p.toStdString());
    f.write(bytes);
    return p;
}

ScopedEnv::ScopedEnv(const char* name, const QByteArray& value)
    : name_(name), old_(qgetenv(name)), hadOld_(qEnvironmentVariableIsSet(name))
{
    qputenv(name, value);
}

ScopedEnv::~ScopedEnv()
{
    if (hadOld_)
        qputenv(name_.constData(), old_);
    else
        qunsetenv(name_.constData());
}

} // namespace TestSupport
