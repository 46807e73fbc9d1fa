#pragma once
// Fixture of the SEB tests: runs scripts/gen_kora_seb.py into a temporary
// folder once per suite, points INIVEK and HOME there, installs a first-
// instrument hub over the generated definitions, loads the SEB command table
// as start-up does and reads seb_expected.json. Also builds type-23 packets.
#include "gselib/packets/timeresolvers.h"
#include "gselib/packets/tompacket.h"
#include "koralib/generateddefinitions.h"
#include "koralib/seb/sebcmdinterpreter.h"

#include <vector>

inline std::vector<unsigned char> hexBytes(const QString& hex)
{
    const QByteArray b = QByteArray::fromHex(hex.toLatin1());
    return std::vector<unsigned char>(b.begin(), b.end());
}

// A TOM packet over exactly these bytes (no slack: a read past them is a read
// past the allocation), timed by a resolver that counts ticks as seconds.
inline GseLib::TMPacketPtr tomPacket(const std::vector<unsigned char>& bytes, int index)
{
    static GseLib::UnixTimeResolver resolver;
    auto v = std::make_shared<GseLib::ByteVector>(bytes.begin(), bytes.end());
    return std::make_shared<GseLib::TomPacket>(v, index, &resolver);
}

// A type-23 packet: TOM header, SEB header with N = 3 + stream length (unless
// given), 24-bit memory address, the stream, 4 checksum bytes (not checked).
inline GseLib::TMPacketPtr sebPacket(const std::vector<unsigned char>& stream, uint32_t addr, int index,
                                     int n = -1)
{
    const size_t dataLen = 9 + stream.size();
    const int nn = n >= 0 ? n : int(3 + stream.size());
    std::vector<unsigned char> b = {23, 0, uint8_t(dataLen >> 8), uint8_t(dataLen), 0, 0, 0, uint8_t(index),
                                    0xFA, 0xF3, 0x20, 0x30, uint8_t(nn >> 8), uint8_t(nn),
                                    uint8_t(addr >> 16), uint8_t(addr >> 8), uint8_t(addr)};
    b.insert(b.end(), stream.begin(), stream.end());
    b.insert(b.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    return tomPacket(b, index);
}

class SebTestData : public ::testing::Test
{
protected:
    // The SEB tests read packets built here, not archives: no offset move.
    struct Data : KoraTest::GeneratedDefinitions
    {
        Data() : GeneratedDefinitions("gen_kora_seb.py") { installHub("seb_expected.json", false); }
    };

    static void SetUpTestSuite()
    {
        data = new Data;
        KorGse::SebCmdInterpreter::clearInterpreters();
        if (data->generated)
            KorGse::SebCmdInterpreter::createInterpreters();
    }
    static void TearDownTestSuite()
    {
        KorGse::SebCmdInterpreter::clearInterpreters();
        delete data;
        data = nullptr;
    }

    void SetUp() override
    {
        generated = data->generated;
        expected = data->expected;
    }

    QString path(const QString& name) const { return data->dir.filePath(name); }

    bool generated = false;
    QJsonObject expected;
    static inline Data* data = nullptr;
};
