#pragma once
#include <QString>
#include <QTemporaryDir>
#include <QByteArray>

namespace TestSupport {

// A temporary folder removed when the test ends.
class TempDir
{
public:
    TempDir();
    QString path() const { return dir_.path(); }
    QString filePath(const QString& name) const { return dir_.filePath(name); }
    // Writes bytes to a file below the folder (creating sub-folders) and returns its path.
    QString write(const QString& name, const QByteArray& bytes) const;

private:
    QTemporaryDir dir_;
};

// Sets an environment variable for the lifetime of the object and restores it afterwards.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, const QByteArray& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    QByteArray name_;
    QByteArray old_;
    bool hadOld_;
};

} // namespace TestSupport
