// The first instrument's hub: its 46 decoder slots (and a plugin's type 230
// replacing the built-in one), the DAC table file, the decoder frame's bounds
// check with its overrun line, item offsets, and the MAIF clock routine.
#include "koralib/koradefinitions.h"

#include "gselib/database/dactable.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/decodermakerinterface.h"
#include "gselib/packets/archivetestdata.h"
#include "gselib/packets/tompacket.h"
#include "koralib/archive/kortelemetrycache.h"
#include "support/logcapture.h"
#include "support/streamcapture.h"

#include <QBuffer>
#include <QtPlugin>

using namespace KorGse::KorDataInterpretationImpl;

namespace {

class KorHub : public KoraTest::SuiteTest
{
};

GseLib::TMPacketPtr packet(int type, const QByteArray& data)
{
    const QByteArray bytes = ArchiveTestData::tomPacket(uint8_t(type), 0, data, 5000);
    return std::make_shared<GseLib::TomPacket>(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                               int(bytes.size()), 3, nullptr);
}

} // namespace

TEST_F(KorHub, FortySixDecodersInTheirSlots)
{
    ASSERT_TRUE(defs->generated);
    const auto& table = GseLib::DataInterpretation::current()->decoderTable();
    int found = 0;
    for (int t = 203; t <= 250; ++t) {
        ASSERT_LT(size_t(t), table.size());
        if (t == 205 || t == 206) {
            EXPECT_EQ(table[size_t(t)], nullptr) << t;
            continue;
        }
        ASSERT_NE(table[size_t(t)], nullptr) << t;
        EXPECT_EQ(table[size_t(t)]->type(), t);
        EXPECT_TRUE(table[size_t(t)]->name().isEmpty()) << t;
        EXPECT_EQ(table[size_t(t)]->dataInterp, GseLib::DataInterpretation::current());
        ++found;
    }
    EXPECT_EQ(found, DECODER_COUNT);
    EXPECT_NE(dynamic_cast<const RoverBus1PowerDecoder*>(table[250].get()), nullptr);
    EXPECT_NE(dynamic_cast<const SumPacketTotalIonCountDecoder*>(table[230].get()), nullptr);
}

TEST_F(KorHub, CustomDecodersAreFiledInOrderAndLogged)
{
    ASSERT_TRUE(defs->generated);
    KorGse::KorDataInterpretation hub;
    TestSupport::LogCapture log;
    hub.populateCustomDecoders();
    EXPECT_EQ(log.texts("koradatainterp", INFO), QStringList{"Loaded KORA decoders"});
    EXPECT_EQ(hub.decoderName(230), QString());
    ASSERT_GT(hub.decoderTable().size(), 250u);
    // A decoder of the same type added afterwards (as a plugin's is) replaces ours.
    struct Plugin230 : GseLib::Decoder
    {
        int type() const override { return 230; }
        QString name() const override { return QStringLiteral("plugin 230"); }
        bool decode(const GseLib::TmDatabaseRow&, const GseLib::TMPacket*, GseLib::DataItems&,
                    const GseLib::CurrentValueTable*) const override
        {
            return false;
        }
    };
    log.clear();
    hub.addDecoder(new Plugin230);
    EXPECT_EQ(hub.decoderName(230), "plugin 230");
    EXPECT_TRUE(log.contains("Replaced decoder type 230"));
}

TEST_F(KorHub, DacTableFromItsFile)
{
    ASSERT_TRUE(defs->generated);
    KorGse::KorDataInterpretation hub;
    GseLib::DacTable table;
    const QString path = defs->dir.write("dac.txt", "# comment\n3\t3\tA\t8\t0xFF\t0\t0\t2\n#7\t7\tB\t8\t0xFF\t0\t0\t1\n"
                                                    "9\t9\tS\t12\t0x0FFF\t1\t1\t4\n");
    hub.populateDacTable(table, path);
    EXPECT_EQ(table.rowCount(), 2);
    EXPECT_EQ(table.filePath, path);
    EXPECT_DOUBLE_EQ(table.row(3).toValue(10), 5.0);
    EXPECT_DOUBLE_EQ(table.row(9).toValue(0x0FFF), (-1.0 - 1.0) / 4.0);

    GseLib::DacTable missing;
    TestSupport::LogCapture log;
    hub.populateDacTable(missing, defs->dir.filePath("nothing.txt"));
    hub.populateDacTable(missing, defs->dir.path()); // a folder is not a plain file
    EXPECT_EQ(missing.rowCount(), 0);
    EXPECT_TRUE(missing.filePath.isEmpty());
    EXPECT_TRUE(log.messages().isEmpty());
}

TEST_F(KorHub, FrameBoundsCheckAndItems)
{
    ASSERT_TRUE(defs->generated);
    GseLib::TmDatabaseRow row;
    row.key = "KOR:FIELD";
    row.dataId = 4711;
    row.decodeIds = {10, 2, 0xFFFF, 0};
    GseLib::DataItems items;
    const auto exact = packet(26, QByteArray(10, '\0') + QByteArray("\x12\x34", 2));
    DecoderFrame fits(row, exact.get(), items, LaserPulseTimeDecoder::SIGNATURE);
    EXPECT_EQ(fits.dataLength(), 12u);
    {
        TestSupport::StreamCapture out(std::cout);
        EXPECT_TRUE(fits.fits(fits.offset(), fits.length())); // ends exactly at dataLength()
        EXPECT_EQ(out.text(), "");
    }
    EXPECT_EQ(fits.readField(10), 0x1234u);
    fits.append(10, 5.0);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].offset, 18);
    EXPECT_EQ(items[0].count, 2);

    const auto shortPacket = packet(26, QByteArray(11, '\0'));
    DecoderFrame over(row, shortPacket.get(), items, LaserPulseTimeDecoder::SIGNATURE);
    TestSupport::StreamCapture out(std::cout);
    EXPECT_FALSE(over.fits(over.offset(), over.length()));
    EXPECT_FALSE(over.fits(~0ull, 2)); // no overflow of the sum
    EXPECT_EQ(over.readField(10), 0u);
    const std::string line =
        "virtual bool KorGse::KorDataInterpretationImpl::LaserPulseTimeDecoder::decode(const "
        "KorGse::KorDataInterpretationImpl::DbRow &, const GseLib::TMPacket *, GseLib::DataItems &, const "
        "GseLib::CurrentValueTable *) const KOR:FIELD 4711 Out of bounds: off(10) + len(2) > dataLength(11)\n";
    EXPECT_EQ(out.text().substr(0, line.size()), line);
    EXPECT_EQ(items.size(), 1u);
}

TEST_F(KorHub, MaifClockSeconds)
{
    const unsigned char record[] = {0, 0, 0, 0x00, 0x7D, 0};
    EXPECT_DOUBLE_EQ(extractMaifTimestampSecs(record), 1.0);
    const unsigned char half[] = {0, 0, 0, 0x80, 0x3E};
    EXPECT_DOUBLE_EQ(extractMaifTimestampSecs(half), 0.5);
}

TEST_F(KorHub, HeadersAreCheckedByTheirWholeFirstByte)
{
    ASSERT_TRUE(defs->generated);
    struct Probe : KorGse::KorTelemetryCache
    {
        using KorGse::KorTelemetryCache::validHeader;
    };
    Probe cache;
    const unsigned char science[8] = {26, 0, 0, 50, 0, 0, 0, 0};
    const unsigned char topBit[8] = {26 | 0x80, 0, 0, 50, 0, 0, 0, 0};
    const unsigned char tooLong[8] = {26, 0, 0, 116, 0, 0, 0, 0};
    const unsigned char anyText[8] = {8, 0, 0xFF, 0xFF, 0, 0, 0, 0};
    const unsigned char unlisted[8] = {99, 0, 0, 1, 0, 0, 0, 0};
    EXPECT_TRUE(cache.validHeader(science));
    EXPECT_FALSE(cache.validHeader(topBit));
    EXPECT_FALSE(cache.validHeader(tooLong));
    EXPECT_TRUE(cache.validHeader(anyText)); // type 8 has no limits
    EXPECT_FALSE(cache.validHeader(unlisted));
}

#ifdef GSE_TEST_KORA230_PLUGIN
// A decoder plugin in the definitions' plugin folder is loaded after the 46
// built-in decoders, so its type 230 takes the slot and the hub says so.
TEST(KorHubPlugin, PluginDecoderReplacesTheBuiltInSumPacketDecoder)
{
    TestSupport::LogCapture log;
    KoraTest::Definitions withPlugin(0, QStringLiteral(GSE_TEST_KORA230_PLUGIN));
    ASSERT_TRUE(withPlugin.generated);
    const GseLib::DataInterpretation* hub = GseLib::DataInterpretation::current();
    EXPECT_TRUE(log.contains("Replaced decoder type 230")) << log.texts().join('\n').toStdString();
    EXPECT_EQ(log.texts("koradatainterp", INFO), QStringList{"Loaded KORA decoders"});
    ASSERT_GT(hub->decoderTable().size(), 250u);
    const GseLib::Decoder* d230 = hub->decoderTable()[230].get();
    ASSERT_NE(d230, nullptr);
    EXPECT_EQ(d230->name(), "plugin 230");
    EXPECT_EQ(dynamic_cast<const SumPacketTotalIonCountDecoder*>(d230), nullptr);
    EXPECT_EQ(d230->dataInterp, hub);
    GseLib::DataItems items;
    const auto summed = packet(27, QByteArray(16, '\0'));
    d230->decode(GseLib::TmDatabaseRow(), summed.get(), items, nullptr);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].toDouble(), 230.0);
    // The other slots keep the built-in decoders.
    EXPECT_NE(dynamic_cast<const RsimBus3PowerDecoder*>(hub->decoderTable()[229].get()), nullptr);
    EXPECT_NE(dynamic_cast<const LaserEnergyUvFlightDecoder*>(hub->decoderTable()[219].get()), nullptr);
}
#endif
