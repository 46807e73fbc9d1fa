// The second instrument end to end on generated definitions and archives
// (scripts/gen_tolva.py): the hub loads the database, the DAC table, the
// packet types and both plugins under the mission filter; each archive parses
// to the expected packets and times, and every decoder and equation row
// decodes through the hub to what the generator computed from the formats.
#include "tolvalib/tolvaccsdspacket.h"
#include "tolvalib/tolvadatainterpretation.h"
#include "tolvalib/tolvatelemetrycache.h"

#include "gselib/database/dactable.h"
#include "gselib/database/telemetrydatabase.h"
#include "gselib/services/configvek.h"
#include "support/logcapture.h"
#include "support/qtprinters.h"
#include "support/tempdir.h"
#include "tolvagenerated.h"
#include "tolvalib/tolvapackets.h"
#include "tolvalib/tolvatimeresolver.h"
#include "tools/util/pluginmanager.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

namespace {

class TolvaArchives : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(TolvaTest::generate(dir.path(), "expected.json", expected));

        GseLib::ConfigVek::setDefaultGroup("TOLVA");
        const auto wildcard = [](const char* w) {
            return QRegularExpression(QRegularExpression::wildcardToRegularExpression(QString::fromLatin1(w)),
                                      QRegularExpression::CaseInsensitiveOption);
        };
        manager.setClassFilters({wildcard("tolva*"), wildcard("Generic*")});
        manager.loadPlugins(QStringList{});
        GseLib::DataInterpretation::init(&factory, true, &manager, {});
        hub = GseLib::DataInterpretation::current();
    }

    TestSupport::TempDir dir;
    TestSupport::TempDir home;
    TestSupport::ScopedEnv homeEnv{"HOME", home.path().toUtf8()};
    TestSupport::ScopedEnv iniEnv{"INIVEK", dir.filePath("vekconfig.INI").toUtf8()};
    TestSupport::LogCapture log;
    QJsonObject expected;
    QObject owner;
    PluginManager manager{&owner};
    TolvaGse::TolvaDataInterpretationFactory factory;
    GseLib::DataInterpretation* hub = nullptr;
};

} // namespace

TEST_F(TolvaArchives, DefinitionsLoadWithBothPlugins)
{
    EXPECT_TRUE(log.contains("Loading decoders from plugin: TolvaDecoderMaker VERSION=1.0.56080f5"));
    EXPECT_TRUE(log.contains("Loading transfer funcs from plugin: TolvaTransferFuncMaker VERSION=1.0.56080f5"));
    EXPECT_TRUE(log.contains("Unsupported sci eq type: 103"));
    EXPECT_FALSE(log.contains("Unsupported decoder type"));
    // The blank and short lines are skipped; the id-0 row keeps its name.
    EXPECT_EQ(hub->dacTable->getNames(), (QStringList{"HV_REF", "RF#AMP"}));
    EXPECT_EQ(hub->dacTable->rowCount(), 3);
    EXPECT_TRUE(log.contains("Finished loading DAC table with 3 entries"));
    EXPECT_EQ(hub->packetTypes.size(), TolvaGse::ApidRange::IN_USE);
    EXPECT_TRUE(hub->packetTypes.isValidLength(740, 100000));
    EXPECT_EQ(expected.value("unix_2010").toDouble(), TolvaGse::TolvaTimeResolver::UNIX_SECONDS_AT_2010);
}

TEST_F(TolvaArchives, ArchivesParseAndDecodeAsGenerated)
{
    const QJsonObject archives = expected.value("archives").toObject();
    ASSERT_EQ(archives.size(), 3);
    for (const QString& name : archives.keys()) {
        const QJsonObject a = archives.value(name).toObject();
        TolvaGse::TolvaTelemetryCache::ip_ = 1e-05;
        TolvaGse::TolvaTelemetryCache cache;
        FILE* messages = std::tmpfile();
        cache.setMessageStream(messages);
        cache.changeFile(dir.filePath(a.value("path").toString()).toStdString(), true);
        std::fclose(messages);

        const QJsonArray packets = a.value("packets").toArray();
        ASSERT_EQ(cache.count(), size_t(packets.size())) << name.toStdString();
        for (qsizetype i = 0; i < packets.size(); ++i) {
            const QJsonObject p = packets[i].toObject();
            const GseLib::TMPacketPtr got = cache.get(unsigned(i));
            EXPECT_EQ(got->type(), p.value("apid").toInt()) << name.toStdString() << " " << i;
            EXPECT_EQ(got->totalLength(), size_t(p.value("size").toInt())) << name.toStdString() << " " << i;
            EXPECT_DOUBLE_EQ(got->unixTime(), p.value("unix").toDouble()) << name.toStdString() << " " << i;
            EXPECT_DOUBLE_EQ(got->relativeTime(), p.value("relative").toDouble()) << name.toStdString() << " " << i;
        }
        EXPECT_DOUBLE_EQ(TolvaGse::TolvaTelemetryCache::ip_, a.value("ip").toDouble()) << name.toStdString();

        for (const QJsonValue& v : a.value("decoded").toArray()) {
            const QJsonObject d = v.toObject();
            const int id = d.value("id").toInt();
            const GseLib::TMPacketPtr packet = cache.get(unsigned(d.value("packet").toInt()));
            const std::string where = name.toStdString() + " packet " + std::to_string(d.value("packet").toInt())
                                      + " id " + std::to_string(id);
            if (d.contains("mode")) {
                bool ok = false;
                const double value =
                    hub->getValue(id, packet.get(), Gse::ValueMode(d.value("mode").toInt()), &ok, false, nullptr);
                EXPECT_TRUE(ok) << where;
                const double want = d.value("value").toDouble();
                EXPECT_NEAR(value, want, 1e-9 * std::max(1.0, std::fabs(want))) << where;
                continue;
            }
            GseLib::DataItems items;
            hub->decodePacket(id, packet.get(), items, false, nullptr);
            const QJsonArray want = d.value("items").toArray();
            ASSERT_EQ(items.size(), size_t(want.size())) << where;
            for (qsizetype k = 0; k < want.size(); ++k) {
                const QJsonObject w = want[k].toObject();
                EXPECT_EQ(items[size_t(k)].offset, w.value("offset").toInt()) << where << " item " << k;
                EXPECT_EQ(items[size_t(k)].count, w.value("count").toInt()) << where << " item " << k;
                EXPECT_NEAR(items[size_t(k)].toDouble(), w.value("value").toDouble(),
                            1e-9 * std::max(1.0, std::fabs(w.value("value").toDouble())))
                    << where << " item " << k;
                EXPECT_NEAR(items[size_t(k)].unixTime, w.value("unix").toDouble(), 1e-6) << where << " item " << k;
                EXPECT_NEAR(items[size_t(k)].relativeTime, w.value("relative").toDouble(), 1e-6)
                    << where << " item " << k;
            }
        }
    }
}

TEST_F(TolvaArchives, FrameChecksumsAgreeWithTheFramesWritten)
{
    QFile file(dir.filePath("framed/tm.bin"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    const QJsonArray frames = expected.value("frames").toArray();
    ASSERT_GE(frames.size(), 4);
    for (qsizetype i = 0; i < frames.size(); ++i) {
        const qsizetype start = frames[i].toObject().value("offset").toInt();
        const qsizetype end = i + 1 < frames.size() ? frames[i + 1].toObject().value("offset").toInt() : bytes.size();
        TolvaTest::Bytes f(bytes.begin() + start, bytes.begin() + end - 2);
        TolvaTest::appendFrameChecksum(f);
        const QJsonArray sum = frames[i].toObject().value("checksum").toArray();
        EXPECT_EQ(f[f.size() - 2], sum[0].toInt()) << i;
        EXPECT_EQ(f[f.size() - 1], sum[1].toInt()) << i;
        EXPECT_EQ(uint8_t(bytes[end - 2]), sum[0].toInt()) << i;
    }
}
