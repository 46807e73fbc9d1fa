// The second instrument's packet family against scripts/gen_tolva.py
// (packets.json): all 29 classes built and read from bytes; every accessor on
// every prefix of an image (bytes that are not there read 0 and are not
// written), the setters' images, the variable-length fields, the record lists
// and the appends, all byte for byte with what Python computed.
#include "tolvalib/tolvapacketfamily.h"

#include "support/qtprinters.h"
#include "support/tempdir.h"
#include "tolvagenerated.h"
#include "tolvalib/tolvapackets.h"
#include "tolvalib/tolvatimeresolver.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

using namespace TolvaGse;
using TolvaTest::hex;

namespace {

QJsonObject doc()
{
    static const QJsonObject d = [] {
        TestSupport::TempDir dir;
        QJsonObject out;
        TolvaTest::generate(dir.path(), "packets.json", out);
        return out;
    }();
    return d;
}

QByteArray image(const GseLib::TMPacket& p)
{
    return p.bytes ? QByteArray(reinterpret_cast<const char*>(p.bytes->data()), qsizetype(p.bytes->size()))
                   : QByteArray();
}

using PacketPtr = std::unique_ptr<TolvaTelemetryPacket>;
struct Factory
{
    std::function<PacketPtr()> make;
    std::function<PacketPtr(const QByteArray&)> read;
};

#define FACTORY(C)                                                                                           \
    {                                                                                                        \
        #C, Factory{[] { return PacketPtr(new C); }, [](const QByteArray& b) { return PacketPtr(new C(b)); }} \
    }

const std::map<QString, Factory>& factories()
{
    static const std::map<QString, Factory> f = {
        FACTORY(CriticalHKPacket),  FACTORY(BootHKPacket),       FACTORY(DigitalHKPacket),
        FACTORY(FillPacket),        FACTORY(MemoryDumpPacket),   FACTORY(MessageLogPacket),
        FACTORY(MarkerPacket),      FACTORY(VhHkPacket),         FACTORY(VhStatusPacket),
        FACTORY(PtHkPacket),        FACTORY(PtStatusPacket),     FACTORY(LeuHkHsPacket),
        FACTORY(LeuHkPacket),       FACTORY(LeuHkIndxPacket),    FACTORY(LeuStatusPacket),
        FACTORY(LeuMaxHkHsPacket),  FACTORY(MmcHKPacket),        FACTORY(MmcStripChartPacket),
        FACTORY(MmcPiraniPacket),   FACTORY(MmcPiraniHKPacket),  FACTORY(CtlHkPacket),
        FACTORY(CtlStatusPacket),   FACTORY(CtlSeqDumpPacket),   FACTORY(CtlDdsDumpPacket),
        FACTORY(CtlSciencePacket),  FACTORY(CtlAuxDumpPacket),   FACTORY(CtlGenRegDumpPacket),
        FACTORY(CtlSumRfPacket),    FACTORY(CtlSumBinPacket),
    };
    return f;
}

// Getter and setter of an accessor by name; numbered ones take n, fixed ones ignore it.
struct Accessor
{
    std::function<int(TolvaTelemetryPacket&, uint8_t)> get;
    std::function<void(TolvaTelemetryPacket&, uint8_t)> set; // the generator's setter run
    // Flags: the run then turns every third number off again.
    std::function<void(TolvaTelemetryPacket&, uint8_t)> unset = nullptr;
};

template <typename C>
C& as(TolvaTelemetryPacket& p)
{
    return dynamic_cast<C&>(p);
}

uint16_t value16(uint8_t n)
{
    return uint16_t(n * 0x0101 + 0x1234);
}

#define NUMBERED_U16(C, getter, setter) \
    {#getter, Accessor{[](auto& p, uint8_t n) { return int(as<C>(p).getter(n)); }, \
                       [](auto& p, uint8_t n) { as<C>(p).setter(n, value16(n)); }}}
#define NUMBERED_BOOL(C, getter, setter) \
    {#getter, Accessor{[](auto& p, uint8_t n) { return int(as<C>(p).getter(n)); }, \
                       [](auto& p, uint8_t n) { as<C>(p).setter(n, n % 2 == 1); }}}
#define NUMBERED_FLAG(C, getter, setter) \
    {#getter, Accessor{[](auto& p, uint8_t n) { return int(as<C>(p).getter(n)); }, \
                       [](auto& p, uint8_t n) { as<C>(p).setter(n, true); }, \
                       [](auto& p, uint8_t n) { as<C>(p).setter(n, false); }}}
#define FIXED(C, getter, setter, value) \
    {#getter, Accessor{[](auto& p, uint8_t) { return int(as<C>(p).getter()); }, \
                       [](auto& p, uint8_t) { as<C>(p).setter(value); }}}

const std::map<QString, std::map<QString, Accessor>>& accessors()
{
    static const std::map<QString, std::map<QString, Accessor>> a = {
        {"VhHkPacket",
         {NUMBERED_U16(VhHkPacket, amuxValue, setAmuxValue), NUMBERED_FLAG(VhHkPacket, isHeaterOn, setHeater),
          NUMBERED_FLAG(VhHkPacket, isFanOn, setFan), NUMBERED_FLAG(VhHkPacket, isGcValveOpen, setGcValve),
          NUMBERED_FLAG(VhHkPacket, isMindrumValveOpen, setMindrumValve)}},
        {"VhStatusPacket",
         {NUMBERED_U16(VhStatusPacket, heaterLastCommandedValue, setHeaterLastCommandedValue),
          NUMBERED_U16(VhStatusPacket, heaterCurrentValue, setHeaterCurrentValue),
          NUMBERED_BOOL(VhStatusPacket, fanLastCommandedValue, setFanLastCommandedValue),
          NUMBERED_FLAG(VhStatusPacket, isGcValveOpen, setGcValve),
          NUMBERED_FLAG(VhStatusPacket, isMindrumValveOpen, setMindrumValve),
          FIXED(VhStatusPacket, psClockStatus, setPsClockStatus, true)}},
        {"MemoryDumpPacket", {FIXED(MemoryDumpPacket, memoryAddress, setMemoryAddress, 0x89ABCDEF)}},
        {"MarkerPacket",
         {FIXED(MarkerPacket, markerId, setMarkerId, 0x89ABCDEF),
          FIXED(MarkerPacket, markerType, setMarkerType, 0x89ABCDEF)}},
    };
    return a;
}

// What the generator expects of getter n on one prefix.
int expectedValue(const QString& kind, const QJsonValue& v, int n)
{
    if (kind == "fixed")
        return int(uint32_t(v.toDouble()));
    if (kind == "u16") {
        for (const QJsonValue& pair : v.toArray())
            if (pair.toArray()[0].toInt() == n)
                return pair.toArray()[1].toInt();
        return 0;
    }
    return v.toString().at(n) == '1' ? 1 : 0;
}

} // namespace

TEST(TolvaPackets, EveryClassBuildsItsApidAndReadsBytes)
{
    const QJsonArray classes = doc().value("classes").toArray();
    ASSERT_EQ(classes.size(), ApidRange::IN_USE);
    ASSERT_EQ(factories().size(), size_t(ApidRange::IN_USE));
    const QJsonObject names = doc().value("names").toObject();
    for (const QJsonValue& v : classes) {
        const QJsonObject c = v.toObject();
        const std::string name = c.value("name").toString().toStdString();
        const Factory& f = factories().at(c.value("name").toString());
        const unsigned payload = unsigned(c.value("payload").toInt());
        const int apid = c.value("apid").toInt();

        const uint32_t seq = TolvaTelemetryPacket::sequence;
        const double now = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
        const PacketPtr p = f.make();
        EXPECT_EQ(TolvaTelemetryPacket::sequence, seq + 1) << name;
        EXPECT_EQ(p->header.sequenceCount(), int(seq & 0x3FFF)) << name;
        EXPECT_EQ(p->totalLength(), payload + 12) << name;
        EXPECT_EQ(p->dataLength(), payload + 6) << name;
        EXPECT_EQ(p->type(), apid) << name;
        EXPECT_EQ(p->versionNumber(), 0) << name;
        EXPECT_EQ(p->typeIndicator(), 0) << name;
        EXPECT_EQ(p->hasSecondaryHeader(), 1) << name;
        EXPECT_EQ(p->segmentFlags(), 3) << name;
        EXPECT_EQ(p->headerSize(), 12) << name;
        EXPECT_EQ(p->dataOffset(), 6) << name;
        EXPECT_EQ(TolvaCcsdsPacket::packetName(uint16_t(apid)), names.value(QString::number(apid)).toString());
        // Built now: seconds since 2010 and 1/256 s; a resolver of its own.
        EXPECT_NEAR(p->unixTime(), now, 2.0) << name;
        EXPECT_DOUBLE_EQ(p->relativeTime(), p->unixTime()) << name;
        const QByteArray bytes = image(*p);
        EXPECT_EQ(bytes[11], 0) << name;
        EXPECT_EQ(bytes.mid(12), QByteArray(qsizetype(payload), '\0')) << name;

        // From bytes: a copy, wrapped as it is.
        QByteArray source = bytes;
        const PacketPtr q = f.read(source);
        source[12] = 'x';
        EXPECT_EQ(image(*q), bytes) << name;
        EXPECT_NE(q->timeResolver, nullptr) << name;
    }
    for (const QString& apid : names.keys())
        EXPECT_EQ(TolvaCcsdsPacket::packetName(apid.toUShort()), names.value(apid).toString()) << apid.toStdString();
}

// The generator keeps a table of the APIDs of its own: its range is the
// library's, and it has one packet class for each APID in use.
TEST(TolvaPackets, TheGeneratorsApidsAreTheLibrarysRange)
{
    const QJsonObject range = doc().value("apid_range").toObject();
    EXPECT_EQ(range.value("first").toInt(), ApidRange::FIRST);
    EXPECT_EQ(range.value("last").toInt(), ApidRange::LAST);
    EXPECT_EQ(range.value("unused").toInt(), ApidRange::UNUSED);
    std::vector<int> generated, inUse;
    for (const QJsonValue& v : doc().value("classes").toArray())
        generated.push_back(v.toObject().value("apid").toInt());
    for (int apid = ApidRange::FIRST; apid <= ApidRange::LAST; ++apid)
        if (ApidRange::inUse(apid))
            inUse.push_back(apid);
    EXPECT_EQ(generated, inUse);
    EXPECT_EQ(int(inUse.size()), ApidRange::IN_USE);
}

TEST(TolvaPackets, AccessorsOnEveryPrefixAndSetterImages)
{
    int checked = 0;
    for (const QJsonValue& v : doc().value("accessors").toArray()) {
        const QJsonObject a = v.toObject();
        const QString cls = a.value("class").toString();
        const QString kind = a.value("kind").toString();
        const std::string what = (cls + "::" + a.value("getter").toString()).toStdString();
        const Accessor& acc = accessors().at(cls).at(a.value("getter").toString());
        const Factory& f = factories().at(cls);
        const QByteArray img = hex(a.value("image"));
        const QJsonArray values = a.value("values").toArray();
        ASSERT_EQ(values.size(), img.size() + 1) << what;
        for (qsizetype len = 0; len <= img.size(); ++len) {
            const PacketPtr p = f.read(img.left(len));
            for (int n = 0; n < (kind == "fixed" ? 1 : 256); ++n)
                ASSERT_EQ(acc.get(*p, uint8_t(n)), expectedValue(kind, values[len], n))
                    << what << " length " << len << " number " << n;
        }
        // Setters on every prefix of a zero image write the prefix of the full result.
        const QByteArray zero = hex(a.value("zero"));
        const QByteArray after = hex(a.value("after_set"));
        for (qsizetype len = 0; len <= zero.size(); ++len) {
            const PacketPtr p = f.read(zero.left(len));
            for (int n = 0; n < (kind == "fixed" ? 1 : 256); ++n)
                acc.set(*p, uint8_t(n));
            if (acc.unset)
                for (int n = 0; n < 256; n += 3)
                    acc.unset(*p, uint8_t(n));
            ASSERT_EQ(image(*p).toHex(), after.left(len).toHex()) << what << " length " << len;
        }
        ++checked;
    }
    EXPECT_EQ(checked, 14);
}

TEST(TolvaPackets, VariableLengthFieldsOnEveryPrefix)
{
    const QJsonArray cases = doc().value("variable").toArray();
    ASSERT_EQ(cases.size(), 20); // four classes, five data lengths each
    for (const QJsonValue& v : cases) {
        const QJsonObject c = v.toObject();
        const QString cls = c.value("class").toString();
        const std::string what = cls.toStdString();
        const QByteArray img = hex(c.value("image"));
        const auto get = [&](TolvaTelemetryPacket& p) {
            if (cls == "FillPacket")
                return as<FillPacket>(p).fillData();
            if (cls == "MemoryDumpPacket")
                return as<MemoryDumpPacket>(p).memoryContents();
            if (cls == "MessageLogPacket")
                return as<MessageLogPacket>(p).text();
            return as<MarkerPacket>(p).text();
        };
        const QJsonArray outcomes = c.value("outcomes").toArray();
        for (qsizetype len = 0; len <= img.size(); ++len) {
            const PacketPtr p = factories().at(cls).read(img.left(len));
            if (outcomes[len].isNull())
                EXPECT_THROW(get(*p), std::out_of_range) << what << " length " << len;
            else
                EXPECT_EQ(get(*p).toHex(), outcomes[len].toString().toLatin1()) << what << " length " << len;
        }
        for (const QJsonValue& s : c.value("sets").toArray()) {
            const QJsonObject set = s.toObject();
            const PacketPtr p = factories().at(cls).read(img.left(set.value("length").toInt()));
            const QByteArray data = hex(set.value("data"));
            if (cls == "FillPacket")
                as<FillPacket>(*p).setFillData(data);
            else if (cls == "MemoryDumpPacket")
                as<MemoryDumpPacket>(*p).setMemoryContents(data);
            else if (cls == "MessageLogPacket")
                as<MessageLogPacket>(*p).setText(data);
            else
                as<MarkerPacket>(*p).setText(data);
            EXPECT_EQ(image(*p).toHex(), set.value("image").toString().toLatin1())
                << what << " length " << set.value("length").toInt() << " data " << data.size();
        }
    }
}

TEST(TolvaPackets, RecordListsOfEveryPrefixAndRecalculatedSizes)
{
    const QJsonArray cases = doc().value("records").toArray();
    ASSERT_EQ(cases.size(), 5);
    for (const QJsonValue& v : cases) {
        const QJsonObject c = v.toObject();
        const QString cls = c.value("class").toString();
        const QByteArray img = hex(c.value("image"));
        const QJsonArray prefixes = c.value("prefixes").toArray();
        for (qsizetype len = 0; len <= img.size(); ++len) {
            const std::string what = cls.toStdString() + " length " + std::to_string(len);
            const QJsonObject want = prefixes[len].toObject();
            const QJsonArray records = want.value("records").toArray();
            const auto u = [](const QJsonValue& x) { return uint32_t(x.toDouble()); };
            const QByteArray pre = img.left(len);
            if (cls == "CtlSumRfPacket") {
                CtlSumRfPacket p(pre);
                QList<CtlSumRfPacket::ScanTotals> totals;
                for (const QJsonValue& t : records[0].toArray())
                    totals.append({u(t[0]), uint16_t(u(t[1])), u(t[2])});
                QList<CtlSumRfPacket::ScanValues> values;
                for (const QJsonValue& t : records[1].toArray())
                    values.append(CtlSumRfPacket::ScanValues{{uint16_t(u(t[0])), uint16_t(u(t[1])), uint16_t(u(t[2])), uint16_t(u(t[3]))}});
                EXPECT_EQ(p.scanTotals(), totals) << what;
                EXPECT_EQ(p.scanValues(), values) << what;
                p.recalculatePacketSize();
                const qsizetype size = want.value("size").toInt();
                EXPECT_EQ(image(p), (pre + QByteArray(qMax<qsizetype>(0, size - len), '\0')).left(size)) << what;
            } else if (cls == "CtlSumBinPacket") {
                CtlSumBinPacket p(pre);
                QList<uint16_t> bins;
                for (const QJsonValue& t : records[0].toArray())
                    bins.append(uint16_t(u(t)));
                EXPECT_EQ(p.bins(), bins) << what;
                p.recalculatePacketSize();
                EXPECT_EQ(p.totalLength(), size_t(want.value("size").toInt())) << what;
            } else if (cls == "MmcPiraniPacket") {
                MmcPiraniPacket p(pre);
                QList<MmcPiraniPacket::PiraniDataSample> samples;
                for (const QJsonValue& t : records[0].toArray())
                    samples.append({uint16_t(u(t[0])), uint16_t(u(t[1])), u(t[2])});
                EXPECT_EQ(p.piraniDataSamples(), samples) << what;
            } else {
                MmcStripChartPacket p(pre);
                QList<MmcStripChartPacket::StripChartSample> samples;
                for (const QJsonValue& t : records[0].toArray())
                    samples.append(MmcStripChartPacket::StripChartSample{{uint16_t(u(t[0])), uint16_t(u(t[1])), uint16_t(u(t[2])), uint16_t(u(t[3]))}});
                EXPECT_EQ(p.samples(), samples) << what;
            }
        }
    }
}

TEST(TolvaPackets, AppendsWriteThePythonImagesAndGrowTheBytes)
{
    const QJsonArray cases = doc().value("appends").toArray();
    ASSERT_EQ(cases.size(), 4); // both classes, default and from bytes
    for (const QJsonValue& v : cases) {
        const QJsonObject c = v.toObject();
        const QString cls = c.value("class").toString();
        const bool fromBytes = c.value("from_bytes").toBool();
        const std::string what = cls.toStdString() + (fromBytes ? " from bytes" : " default");
        const PacketPtr p = fromBytes ? factories().at(cls).read(hex(c.value("start"))) : factories().at(cls).make();
        const auto u = [](const QJsonValue& x) { return uint32_t(x.toDouble()); };
        const QJsonArray samples = c.value("samples").toArray();
        if (cls == "MmcPiraniPacket") {
            auto& q = as<MmcPiraniPacket>(*p);
            EXPECT_EQ(q.piraniDataSamples().size(), c.value("listed").toInt()) << what;
            for (const QJsonValue& s : samples)
                ASSERT_TRUE(q.appendPiraniDataSample({uint16_t(u(s[0])), uint16_t(u(s[1])), u(s[2])})) << what;
            EXPECT_EQ(q.piraniDataSamples().size(), c.value("listed").toInt() + samples.size()) << what;
        } else {
            auto& q = as<MmcStripChartPacket>(*p);
            EXPECT_EQ(q.samples().size(), c.value("listed").toInt()) << what;
            for (const QJsonValue& s : samples)
                ASSERT_TRUE(q.appendSample({{uint16_t(u(s[0])), uint16_t(u(s[1])), uint16_t(u(s[2])), uint16_t(u(s[3]))}}))
                    << what;
        }
        const QByteArray want = hex(c.value("result"));
        const QByteArray got = image(*p);
        ASSERT_EQ(got.size(), want.size()) << what;
        // A default packet's header carries its own time and count.
        EXPECT_EQ(got.mid(4, 2).toHex(), want.mid(4, 2).toHex()) << what;
        EXPECT_EQ(got.mid(12), want.mid(12)) << what;
        if (fromBytes) {
            EXPECT_EQ(got.toHex(), want.toHex()) << what;
        }
    }
}

TEST(TolvaPackets, AppendsStopAtTheLargestDataLength)
{
    MmcStripChartPacket chart;
    int n = 0;
    while (chart.appendSample({{1, 2, 3, 4}}))
        ++n;
    EXPECT_EQ(n, (65536 - 8) / 8); // data length 8 * n + 8 at most 65536
    EXPECT_EQ(chart.dataLength(), 65536u);
    EXPECT_EQ(chart.totalLength(), 65542u);

    MmcPiraniPacket pirani;
    n = 0;
    while (pirani.appendPiraniDataSample({1, 2, 3}))
        ++n;
    EXPECT_EQ(n, (65536 - 22) / 8);
    EXPECT_EQ(pirani.dataLength(), size_t(8 * n + 22));
}

TEST(TolvaPackets, HeaderTextAndSharedResolver)
{
    CtlStatusPacket status;
    status.header.setSequenceCount(12);
    const QString text = status.toString();
    EXPECT_TRUE(text.startsWith(QStringLiteral("\tCCSDS HDR: apid:0x 2f7 seq:12 len:280 sclk:"))) << text.toStdString();
    EXPECT_TRUE(text.endsWith(QString::fromLatin1(image(status).toHex()) + "\n"));

    // A copy shares its original's resolver and keeps it when the original is gone.
    std::unique_ptr<MarkerPacket> copy;
    {
        MarkerPacket original(QByteArray::fromHex("0ae7c000000d00000064800000000005"));
        copy = std::make_unique<MarkerPacket>(original);
        EXPECT_EQ(copy->timeResolver, original.timeResolver);
    }
    EXPECT_DOUBLE_EQ(copy->unixTime(), 1262304100.5);
    EXPECT_EQ(copy->markerId(), 5u);

    // The process-wide count wraps into the 14-bit field.
    TolvaTelemetryPacket::sequence = 0x3FFF;
    const FillPacket last;
    const FillPacket wrapped;
    EXPECT_EQ(last.header.sequenceCount(), 0x3FFF);
    EXPECT_EQ(wrapped.header.sequenceCount(), 0);
    EXPECT_EQ(TolvaTelemetryPacket::sequence, 0x4001u);

    // The marker text of 70 bytes is cut to 64.
    MarkerPacket marker;
    marker.setText(QByteArray(70, 'a'));
    EXPECT_EQ(marker.dataLength(), 78u);
    EXPECT_EQ(marker.text(), QByteArray(64, 'a'));
}

TEST(TolvaPackets, ConstructorsFromSizeSharedBytesAndPayload)
{
    // From a size: zeroed, APID 0, secondary-header flag, unsegmented, length field 20 - 7.
    const TolvaCcsdsPacket sized(20);
    EXPECT_EQ(image(sized).toHex(), QByteArray("0800c000000d") + QByteArray(28, '0'));
    EXPECT_EQ(sized.type(), 0);
    EXPECT_EQ(sized.index, 0);
    EXPECT_EQ(sized.headerSize(), 6);
    EXPECT_EQ(sized.dataOffset(), 6);
    // Its own resolver: a zero time is the 2010 epoch.
    EXPECT_DOUBLE_EQ(sized.unixTime(), 1262304000.0);

    // From a shared vector: the very bytes, not a copy; timed by them.
    const TolvaTest::Bytes raw = TolvaTest::packet(759, 100, 0x40, 30);
    auto shared = GseLib::makePacketBytes(raw.data(), raw.size());
    const TolvaCcsdsPacket wrapped(shared);
    EXPECT_EQ(wrapped.bytes, shared);
    EXPECT_EQ(wrapped.index, 0);
    EXPECT_EQ(wrapped.type(), 759);
    EXPECT_EQ(wrapped.subType(), 0);
    EXPECT_EQ(wrapped.checksum(), 0u);
    EXPECT_EQ(wrapped.dataLength(), 24u);
    EXPECT_DOUBLE_EQ(wrapped.unixTime(), 1262304100.25);
    (*shared)[10] = 0x80;
    EXPECT_DOUBLE_EQ(wrapped.unixTime(), 1262304100.5);
    EXPECT_DOUBLE_EQ(wrapped.relativeTime(), wrapped.unixTime());

    // From an APID and a payload: the payload from byte 12, data length payload + 6.
    const QByteArray payload = QByteArray::fromHex("0000000500000007") + "abc";
    const TolvaTelemetryPacket built(Apid::MKR, payload);
    EXPECT_EQ(built.type(), 743);
    EXPECT_EQ(built.headerSize(), 12);
    EXPECT_EQ(built.totalLength(), 23u);
    EXPECT_EQ(built.dataLength(), 17u);
    EXPECT_EQ(image(built).mid(12), payload);
    const MarkerPacket marker(image(built));
    EXPECT_EQ(marker.markerId(), 5u);
    EXPECT_EQ(marker.markerType(), 7u);
    EXPECT_EQ(marker.text(), "abc");

    // From whole bytes: nothing is checked, not even the length.
    const TolvaTelemetryPacket tiny(QByteArray::fromHex("0aff01"));
    EXPECT_EQ(image(tiny).toHex(), "0aff01");
    EXPECT_EQ(tiny.headerSize(), 12);
}

TEST(TolvaPackets, UpdateDataLengthFollowsTheResizedBytes)
{
    // Byte 15 counts two totals: 16 + 10 * 2 bytes once recalculated.
    TolvaTest::Bytes raw = TolvaTest::packet(765, 1, 0, 16);
    raw[15] = 2;
    CtlSumRfPacket rf(QByteArray(reinterpret_cast<const char*>(raw.data()), qsizetype(raw.size())));
    EXPECT_TRUE(rf.scanTotals().isEmpty());
    rf.recalculatePacketSize();
    EXPECT_EQ(rf.totalLength(), 36u);
    EXPECT_EQ(rf.dataLength(), 10u); // the field stays until asked
    rf.updateDataLength();
    EXPECT_EQ(image(rf).mid(4, 2).toHex(), "001d"); // 36 - 7
    EXPECT_EQ(rf.dataLength(), 30u);
}

TEST(TolvaPackets, EmptyVariableFieldsAtTheirEdges)
{
    // A 12-byte packet (data length 6) has no fill data.
    const TolvaTest::Bytes fill = TolvaTest::packet(740, 0, 0, 12);
    EXPECT_TRUE(FillPacket(QByteArray(reinterpret_cast<const char*>(fill.data()), 12)).fillData().isEmpty());

    // A zero at byte 20 ends the marker text before it begins.
    TolvaTest::Bytes marker = TolvaTest::packet(743, 0, 0, 30, 0x40);
    marker[20] = 0;
    const MarkerPacket p(QByteArray(reinterpret_cast<const char*>(marker.data()), qsizetype(marker.size())));
    EXPECT_TRUE(p.text().isEmpty());
    marker[20] = 'x';
    marker[21] = 0;
    EXPECT_EQ(MarkerPacket(QByteArray(reinterpret_cast<const char*>(marker.data()), 30)).text(), "x");
}
