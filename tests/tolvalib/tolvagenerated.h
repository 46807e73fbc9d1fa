#pragma once
// The second-instrument tests' generated data: runs scripts/gen_tolva.py into
// a temporary folder and reads one of the JSON files it writes (expected
// values, packet and frame images, markers). Fatal failures name the step that
// failed; a SetUp wraps the call in ASSERT_NO_FATAL_FAILURE.
#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QProcess>
#include <gtest/gtest.h>

namespace TolvaTest {

// Runs the generator into `dir` and reads its `file` into `out`.
inline void generate(const QString& dir, const char* file, QJsonObject& out)
{
    QProcess gen;
    gen.start("/usr/bin/python3", {QStringLiteral(GSE_SOURCE_DIR "/scripts/gen_tolva.py"), dir});
    ASSERT_TRUE(gen.waitForFinished(60000));
    ASSERT_EQ(gen.exitCode(), 0) << gen.readAllStandardError().toStdString();
    QFile json(dir + "/" + QString::fromLatin1(file));
    ASSERT_TRUE(json.open(QIODevice::ReadOnly));
    out = QJsonDocument::fromJson(json.readAll()).object();
}

// The bytes of a hex text of the generator's.
inline QByteArray hex(const QJsonValue& v)
{
    return QByteArray::fromHex(v.toString().toLatin1());
}

} // namespace TolvaTest
