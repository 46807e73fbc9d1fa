// SEB sequences: the generated type-23 packets and sequence files against the
// commands and pending bytes scripts/gen_kora_seb.py put in them, a command
// split at every byte, the stream end taken from N and clamped to the packet,
// the new-sequence test, and the bound on carried-over bytes.
#include "sebtestdata.h"

#include "koralib/seb/sebsequence.h"

#include <QJsonArray>
#include <gtest/gtest.h>

using namespace KorGse;

namespace {

std::vector<unsigned char> command(int id, size_t payload, unsigned char fill = 0x11)
{
    const size_t l = payload - 2;
    std::vector<unsigned char> c = {0xFA, 0xF3, 0x20, uint8_t(id), uint8_t(l >> 8), uint8_t(l)};
    for (size_t k = 0; k < payload; ++k)
        c.push_back(uint8_t(fill + k));
    return c;
}

std::vector<unsigned char> concat(std::initializer_list<std::vector<unsigned char>> parts)
{
    std::vector<unsigned char> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<unsigned char> slice(const std::vector<unsigned char>& v, size_t from, size_t to)
{
    return std::vector<unsigned char>(v.begin() + std::ptrdiff_t(from), v.begin() + std::ptrdiff_t(to));
}

QStringList commandHex(const SebSequence& s)
{
    QStringList out;
    for (const auto& c : s.cmds)
        out << QByteArray(reinterpret_cast<const char*>(c->data->data()), qsizetype(c->data->size())).toHex();
    return out;
}

QString hexOf(const std::vector<unsigned char>& v)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size())).toHex());
}

QStringList toStrings(const QJsonArray& a)
{
    QStringList out;
    for (const QJsonValue& v : a)
        out << v.toString();
    return out;
}

} // namespace

TEST_F(SebTestData, GeneratedPacketsGiveTheirSequences)
{
    ASSERT_TRUE(generated);
    std::vector<GseLib::TMPacketPtr> packets;
    for (const QJsonValue& v : expected.value("packets").toArray())
        packets.push_back(tomPacket(hexBytes(v.toString()), int(packets.size())));
    const QJsonArray seqs = expected.value("sequences").toArray();
    ASSERT_EQ(seqs.size(), 5);
    for (int k = 0; k < seqs.size(); ++k) {
        SCOPED_TRACE("sequence " + std::to_string(k));
        const QJsonObject e = seqs[k].toObject();
        QList<int> idx;
        for (const QJsonValue& v : e.value("packets").toArray())
            idx << v.toInt();
        // The owner's rule: a packet at address 0 starts a sequence, the rest continue it.
        ASSERT_TRUE(SebSequence::isNewSequence(packets[size_t(idx[0])]));
        SebSequence seq(packets[size_t(idx[0])]);
        for (int i = 1; i < idx.size(); ++i) {
            ASSERT_FALSE(SebSequence::isNewSequence(packets[size_t(idx[i])]));
            seq.addPartialSequence(packets[size_t(idx[i])]);
        }
        const QStringList cmds = toStrings(e.value("commands").toArray());
        EXPECT_EQ(commandHex(seq), cmds);
        EXPECT_EQ(hexOf(*seq.pending), e.value("pending").toString());
        EXPECT_EQ(seq.pktIndexes, idx);
        EXPECT_EQ(seq.relativeTime, packets[size_t(idx[0])]->relativeTime());
        EXPECT_TRUE(seq.valid);
        EXPECT_EQ(seq.failureString(), QString("None"));
        EXPECT_EQ(seq.toString(), QString("unimplemented"));
        // data() joins the commands without the pending bytes; cmdBytes counts each once.
        EXPECT_EQ(hexOf(*seq.data()), cmds.join(QString()));
        EXPECT_EQ(seq.cmdBytes, int(seq.data()->size()));
        QStringList names;
        for (const QString& c : cmds) {
            const int id = QByteArray::fromHex(c.toLatin1()).at(3) & 0xFF;
            EXPECT_TRUE(seq.contains(id));
            const auto interp = SebCmdInterpreter::interpreter(id);
            names << (interp ? interp->name : QString());
        }
        EXPECT_EQ(seq.cmdStringList(), names);
        EXPECT_FALSE(seq.contains(0x99));
    }
}

TEST_F(SebTestData, GeneratedFilesGiveTheirCommands)
{
    ASSERT_TRUE(generated);
    const QJsonObject files = expected.value("files").toObject();
    ASSERT_EQ(files.size(), 4);
    for (auto it = files.begin(); it != files.end(); ++it) {
        SCOPED_TRACE(it.key().toStdString());
        const QJsonObject e = it.value().toObject();
        const QString name = path("sequences/" + it.key());
        SebSequence seq(name);
        EXPECT_EQ(seq.fileName, name);
        EXPECT_EQ(seq.valid, e.value("valid").toBool());
        EXPECT_EQ(int(seq.failure), e.value("failure").toInt());
        EXPECT_EQ(commandHex(seq), toStrings(e.value("commands").toArray()));
        EXPECT_EQ(hexOf(*seq.pending), e.value("pending").toString());
        EXPECT_TRUE(seq.pktIndexes.isEmpty());
        EXPECT_EQ(seq.relativeTime, 0.0);
        EXPECT_EQ(seq.failureString(),
                  QString(seq.valid ? "None" : "The sequence file has an invalid format"));
    }
    // A file that is not there, or not a plain file, cannot be opened.
    for (const QString& bad : {path("sequences/absent.seq"), path("sequences")}) {
        SebSequence seq(bad);
        EXPECT_FALSE(seq.valid);
        EXPECT_EQ(seq.failure, SebSequence::OpenFailed);
        EXPECT_EQ(seq.failureString(), QString("Could not open the file"));
        EXPECT_TRUE(seq.cmds.isEmpty());
    }
}

// A command with garbage around it, cut into two packets at every byte.
TEST(SebSequence, CommandSplitAtEveryByte)
{
    const auto cmd = command(SebCmd::SET_DAC_IMM, 14);
    const auto stream = concat({{0x01, 0x02, 0x03}, cmd, {0x04, 0xFA, 0xF3}});
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        SebSequence seq(sebPacket(slice(stream, 0, cut), 0, 0));
        seq.addPartialSequence(sebPacket(slice(stream, cut, stream.size()), uint32_t(cut), 1));
        ASSERT_EQ(seq.cmds.size(), 1);
        EXPECT_EQ(*seq.cmds[0]->data, cmd);
        EXPECT_EQ(seq.cmds[0]->id, SebCmd::SET_DAC_IMM);
        EXPECT_EQ(seq.cmdBytes, int(cmd.size()));
        // The trailing FA F3 are too short for a header: kept, not reported.
        EXPECT_EQ(*seq.pending, std::vector<unsigned char>({0x04, 0xFA, 0xF3}));
        EXPECT_EQ(seq.pktIndexes, (QList<int>{0, 1}));
    }
    // One byte per packet.
    SebSequence seq(sebPacket({}, 0, 0));
    for (size_t k = 0; k < stream.size(); ++k)
        seq.addPartialSequence(sebPacket({stream[k]}, uint32_t(k), int(k + 1)));
    ASSERT_EQ(seq.cmds.size(), 1);
    EXPECT_EQ(*seq.cmds[0]->data, cmd);
    EXPECT_EQ(seq.pktIndexes.size(), int(stream.size()) + 1);
}

TEST(SebSequence, StreamEndFromNClampedToThePacket)
{
    const auto a = command(SebCmd::PAUSE, 2);  // 8 bytes: L = 0
    const auto b = command(SebCmd::RAMP, 4); // 10 bytes
    const auto stream = concat({a, b});

    // N = 3: the memory address only; nothing is added.
    EXPECT_TRUE(SebSequence(sebPacket(stream, 0, 0, 3)).cmds.isEmpty());
    // N below 3 still starts at byte 17.
    EXPECT_TRUE(SebSequence(sebPacket(stream, 0, 0, 0)).cmds.isEmpty());
    // N that ends inside the second command: it is kept as pending.
    SebSequence cut(sebPacket(stream, 0, 0, 3 + int(a.size()) + 4));
    EXPECT_EQ(cut.cmds.size(), 1);
    EXPECT_EQ(*cut.pending, slice(b, 0, 4));
    EXPECT_EQ(cut.cmdBytes, 8);
    // N past the packet: the stream ends with the packet (its checksum bytes
    // become pending), nothing is read beyond it.
    SebSequence past(sebPacket(stream, 0, 0, 0xFFFF));
    EXPECT_EQ(past.cmds.size(), 2);
    EXPECT_EQ(*past.pending, std::vector<unsigned char>({0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(past.data()->size(), 18u);

    // Packets too short for their headers add nothing and keep what is pending.
    SebSequence seq(sebPacket(slice(b, 0, 7), 0, 0));
    ASSERT_EQ(seq.pending->size(), 7u);
    for (size_t len : {0, 1, 8, 13, 14, 16}) {
        SCOPED_TRACE(len);
        std::vector<unsigned char> bytes(len, 0);
        if (len > 0)
            bytes[0] = 23;
        seq.addPartialSequence(tomPacket(bytes, 9));
        EXPECT_EQ(seq.pending->size(), 7u);
        EXPECT_FALSE(SebSequence::isNewSequence(tomPacket(bytes, 9)));
    }
    seq.addPartialSequence(sebPacket(slice(b, 7, b.size()), 7, 10));
    ASSERT_EQ(seq.cmds.size(), 1);
    EXPECT_EQ(*seq.cmds[0]->data, b);
}

TEST(SebSequence, NewSequenceOnlyAtAddressZero)
{
    EXPECT_TRUE(SebSequence::isNewSequence(sebPacket({}, 0, 0)));
    for (uint32_t addr : {1u, 0x100u, 0x10000u, 0xFFFFFFu}) {
        SCOPED_TRACE(addr);
        EXPECT_FALSE(SebSequence::isNewSequence(sebPacket({}, addr, 0)));
    }
    EXPECT_FALSE(SebSequence::isNewSequence(nullptr));
    // Exactly long enough for the address.
    auto p = sebPacket({}, 0, 0);
    std::vector<unsigned char> bytes(p->bytes->begin(), p->bytes->begin() + 17);
    EXPECT_TRUE(SebSequence::isNewSequence(tomPacket(bytes, 0)));
    bytes.pop_back();
    EXPECT_FALSE(SebSequence::isNewSequence(tomPacket(bytes, 0)));
}

// The longest command (L = 65535) fed in small packets: the carried-over bytes
// never exceed one command, and the command comes out whole.
TEST(SebSequence, PendingNeverAboveOneCommand)
{
    const auto big = command(SebCmd::SET_BIN_TIME, 0xFFFF + 2, 0);
    ASSERT_EQ(int(big.size()), SebSequence::MAX_CMD_SIZE);
    const auto stream = concat({{0x00, 0x01}, big, command(SebCmd::PAUSE, 2)});
    SebSequence seq;
    size_t maxPending = 0;
    const size_t step = 4000;
    for (size_t at = 0; at < stream.size(); at += step) {
        seq.addPartialSequence(sebPacket(slice(stream, at, std::min(stream.size(), at + step)), uint32_t(at), 1));
        maxPending = std::max(maxPending, seq.pending->size());
    }
    EXPECT_LE(maxPending, size_t(SebSequence::MAX_CMD_SIZE));
    ASSERT_EQ(seq.cmds.size(), 2);
    EXPECT_EQ(*seq.cmds[0]->data, big);
    EXPECT_EQ(seq.cmdBytes, SebSequence::MAX_CMD_SIZE + 8);
    EXPECT_TRUE(seq.pending->empty());
}

TEST(SebSequence, FileStreamsAndEmptyResults)
{
    TestSupport::TempDir dir;
    const auto a = command(SebCmd::PAUSE, 2);
    const auto b = command(SebCmd::RAMP, 4);
    auto file = [&](const std::vector<unsigned char>& v) {
        return dir.write("s.seq", QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size())));
    };
    // Two ignored bytes, then commands with garbage between them.
    SebSequence seq(file(concat({{0xFA, 0xF3}, a, {0x20, 0x20, 0x00}, b})));
    EXPECT_TRUE(seq.valid);
    ASSERT_EQ(seq.cmds.size(), 2);
    EXPECT_EQ(seq.data()->size(), 18u);
    EXPECT_EQ(seq.cmdBytes, 18);
    // The stream must begin with the sync code, right after the two bytes.
    SebSequence late(file(concat({{0, 0, 0}, a})));
    EXPECT_FALSE(late.valid);
    EXPECT_EQ(late.failure, SebSequence::InvalidFormat);
    // An empty sequence.
    SebSequence empty;
    EXPECT_TRUE(empty.data()->empty());
    EXPECT_TRUE(empty.cmdStringList().isEmpty());
    EXPECT_FALSE(empty.contains(SebCmd::SEND_SCAN_STATUS));
    ASSERT_TRUE(empty.pending);
}
