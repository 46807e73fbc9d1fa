// ITF transfer frames against the frame set of scripts/gen_tolva.py
// (frames.json): each frame's packets, its one warning (whole text), the
// bytes written back with pads and checksum, the checksum and the description;
// frames built by append match the Python images byte for byte and parse back.
#include "tolvalib/tolvaitfpacket.h"

#include "support/qtprinters.h"
#include "support/tempdir.h"
#include "tolvagenerated.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>
#include <gtest/gtest.h>

using TolvaGse::TolvaCcsdsPacket;
using TolvaGse::TolvaItfPacket;
using TolvaTest::hex;

namespace {

QJsonObject frames()
{
    static const QJsonObject doc = [] {
        TestSupport::TempDir dir;
        QJsonObject d;
        TolvaTest::generate(dir.path(), "frames.json", d);
        return d;
    }();
    return doc;
}

QByteArray image(const TolvaCcsdsPacket& p)
{
    return QByteArray(reinterpret_cast<const char*>(p.bytes->data()), qsizetype(p.bytes->size()));
}

// Collects what goes to Qt's warning channel while it lives.
class WarningCapture
{
public:
    WarningCapture() : previous_(qInstallMessageHandler(&WarningCapture::handle)) { lines().clear(); }
    ~WarningCapture() { qInstallMessageHandler(previous_); }
    static QStringList& lines()
    {
        static QStringList l;
        return l;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        if (type == QtWarningMsg)
            lines() << text;
    }
    QtMessageHandler previous_;
};

} // namespace

TEST(TolvaItf, FramesParseWriteAndDescribeAsGenerated)
{
    const QJsonArray cases = frames().value("frames").toArray();
    ASSERT_GE(cases.size(), 18);
    for (const QJsonValue& v : cases) {
        const QJsonObject c = v.toObject();
        const std::string name = c.value("name").toString().toStdString();
        WarningCapture warnings;
        const TolvaItfPacket frame(hex(c.value("bytes")));
        const QJsonArray packets = c.value("packets").toArray();
        ASSERT_EQ(frame.packets().size(), packets.size()) << name;
        for (qsizetype i = 0; i < packets.size(); ++i)
            EXPECT_EQ(image(frame.packets()[i]).toHex(), packets[i].toString().toLatin1()) << name << " " << i;
        const QStringList want =
            c.value("warning").isNull() ? QStringList() : QStringList{c.value("warning").toString()};
        EXPECT_EQ(WarningCapture::lines(), want) << name;

        EXPECT_EQ(frame.toByteArray().toHex(), c.value("rewritten").toString().toLatin1()) << name;
        EXPECT_EQ(frame.checksum(), c.value("checksum").toInt()) << name;
        EXPECT_EQ(TolvaItfPacket::toString(hex(c.value("bytes"))), c.value("text").toString()) << name;
    }
}

TEST(TolvaItf, AppendBuildsThePythonFramesWhichParseBack)
{
    int built = 0;
    for (const QJsonValue& v : frames().value("frames").toArray()) {
        const QJsonObject c = v.toObject();
        if (!c.contains("built"))
            continue;
        ++built;
        const std::string name = c.value("name").toString().toStdString();
        TolvaItfPacket frame;
        for (const QJsonValue& p : c.value("built").toArray())
            frame.append(TolvaCcsdsPacket(hex(p)));
        EXPECT_EQ(frame.len(), c.value("built_len").toInt()) << name;
        const QByteArray bytes = frame.toByteArray();
        EXPECT_EQ(bytes.toHex(), c.value("bytes").toString().toLatin1()) << name;

        WarningCapture warnings;
        const TolvaItfPacket back(bytes);
        ASSERT_EQ(back.packets().size(), frame.packets().size()) << name;
        for (qsizetype i = 0; i < back.packets().size(); ++i)
            EXPECT_EQ(image(back.packets()[i]), image(frame.packets()[i])) << name;
        EXPECT_TRUE(WarningCapture::lines().isEmpty()) << name;
    }
    EXPECT_EQ(built, 4);
}

TEST(TolvaItf, NewFrameHeaderAndChecksum)
{
    const TolvaItfPacket frame;
    EXPECT_EQ(frame.toByteArray().toHex(), frames().value("new_frame").toString().toLatin1());
    EXPECT_EQ(frame.checksum(), 0x0400);
    EXPECT_EQ(frame.sync(), TolvaItfPacket::SYNC);
    EXPECT_EQ(frame.vc(), 4);
    EXPECT_TRUE(frame.packets().isEmpty());
}

TEST(TolvaItf, ShortHeaderIsExtendedByAppendAndSharedWithTheBytes)
{
    // Five bytes: the header reads len 0; append first makes it 10 bytes long.
    auto bytes = GseLib::makePacketBytes(5);
    const uint8_t head[5] = {0xFE, 0xFA, 0x30, 0xC8, 0x04};
    std::copy(head, head + 5, bytes->begin());
    WarningCapture warnings;
    TolvaItfPacket frame(bytes);
    EXPECT_EQ(WarningCapture::lines(), QStringList{"Invalid ITF Message Length:  0"});
    EXPECT_EQ(frame.headerBytes(), bytes);

    const QByteArray odd = QByteArray::fromHex("0ae7c000000a0000000100112233445566");
    const TolvaItfPacket copy = frame; // shares the header
    frame.append(TolvaCcsdsPacket(odd));
    ASSERT_EQ(bytes->size(), 10u);
    EXPECT_EQ((*bytes)[7], 4 + 18); // 17 bytes and the pad
    EXPECT_EQ(copy.len(), 22);
    EXPECT_TRUE(copy.packets().isEmpty());

    const TolvaItfPacket back(frame.toByteArray());
    ASSERT_EQ(back.packets().size(), 1);
    EXPECT_EQ(image(back.packets()[0]), odd);
}

TEST(TolvaItf, PacketsParsedFromAFrameTimeThemselves)
{
    const QByteArray p = QByteArray::fromHex("0ae7c000000900000064800000010203");
    TolvaItfPacket frame;
    frame.append(TolvaCcsdsPacket(p));
    const TolvaItfPacket back(frame.toByteArray());
    ASSERT_EQ(back.packets().size(), 1);
    // 100 s after 2010 and half a second.
    EXPECT_DOUBLE_EQ(back.packets()[0].unixTime(), 1262304100.5);
    EXPECT_DOUBLE_EQ(back.packets()[0].relativeTime(), 1262304100.5);
}
