#pragma once
// Builders of synthetic archives for the tests, the benchmark and the fuzz
// corpus: TOM packets with their Fletcher-32 trailer (computed here
// independently of the library), CCSDS packets and archive labels.
#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <cstddef>
#include <cstdint>

namespace ArchiveTestData {

inline uint32_t fletcher32(const uint8_t* d, size_t n)
{
    uint64_t s1 = 0xFFFF, s2 = 0xFFFF;
    size_t words = n / 2, i = 0;
    while (words) {
        size_t block = words < 360 ? words : 360;
        words -= block;
        while (block--) {
            s1 += (uint32_t(d[i]) << 8) | d[i + 1];
            s2 += s1;
            i += 2;
        }
        s1 = (s1 >> 16) + (s1 & 0xFFFF);
        s2 = (s2 >> 16) + (s2 & 0xFFFF);
    }
    if (n & 1) {
        s1 += uint32_t(d[n - 1]) << 8;
        s2 += s1;
    }
    s1 = (s1 >> 16) + (s1 & 0xFFFF);
    s2 = (s2 >> 16) + (s2 & 0xFFFF);
    return uint32_t((s2 << 16) | s1);
}

// Marks the file at `path` as last written an hour ago: a finished file, as
// the telemetry cache tells one when it opens it.
inline bool ageFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadWrite) &&
           f.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-3600), QFileDevice::FileModificationTime);
}

inline void putBe16(QByteArray& b, int at, uint32_t v)
{
    b[at] = char(v >> 8);
    b[at + 1] = char(v);
}

inline void putBe32(QByteArray& b, int at, uint32_t v)
{
    putBe16(b, at, v >> 16);
    putBe16(b, at + 2, v);
}

// A TOM packet: header, `data` (its first byte the subtype), checksum.
inline QByteArray tomPacket(uint8_t type, uint8_t sequence, const QByteArray& data, uint32_t timestamp)
{
    QByteArray b(8, '\0');
    b[0] = char(type);
    b[1] = char(sequence);
    putBe16(b, 2, uint32_t(data.size()));
    putBe32(b, 4, timestamp);
    b += data;
    b += QByteArray(4, '\0');
    putBe32(b, int(b.size()) - 4, fletcher32(reinterpret_cast<const uint8_t*>(b.constData()), size_t(b.size()) - 4));
    return b;
}

// A TOM packet of `total` bytes (at least 13) whose data bytes are a pattern.
inline QByteArray tomPacketOfSize(uint8_t type, uint8_t sequence, int total, uint32_t timestamp)
{
    QByteArray data(total - 12, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(i * 7 + sequence);
    return tomPacket(type, sequence, data, timestamp);
}

// A CCSDS packet of `total` bytes (at least 7): primary header, then seconds
// and a 1/65536 fraction as secondary header where there is room, then a pattern.
inline QByteArray ccsdsPacket(int apid, int sequence, int total, uint32_t seconds = 0, uint16_t fraction = 0)
{
    QByteArray b(total, '\0');
    b[0] = char(0x08 | ((apid >> 8) & 0x07));
    b[1] = char(apid);
    b[2] = char(0xC0 | ((sequence >> 8) & 0x3F));
    b[3] = char(sequence);
    putBe16(b, 4, uint32_t(total - 7));
    for (int i = 6; i < total; ++i)
        b[i] = char(i * 13 + sequence);
    if (total >= 12) {
        putBe32(b, 6, seconds);
        putBe16(b, 10, fraction);
    }
    return b;
}

// An archive label: "C7333IA0", the kind ("GANN" or "FANN"), 8 digits of the
// length n, then n + 20 bytes carrying the ground time where the kind puts it.
inline QByteArray label(const char* kind, int n, uint32_t seconds, uint16_t ms)
{
    QByteArray b("C7333IA0");
    b += kind;
    b += QByteArray::number(n).rightJustified(8, '0');
    b += QByteArray(n + 20, '\0');
    const int at = kind[0] == 'G' ? 24 : 32;
    putBe32(b, at, seconds);
    putBe16(b, at + 4, ms);
    return b;
}

// Recordings whose packets differ from one start time to another: `count`
// TOM packets, or CCSDS packets (every third with a label), timed from t0.
inline QByteArray tomRecording(int count, uint32_t t0)
{
    QByteArray a;
    for (int i = 0; i < count; ++i)
        a += tomPacketOfSize(uint8_t(1 + i % 3), uint8_t(i), 40 + i % 5, t0 + uint32_t(i));
    return a;
}

inline QByteArray ccsdsRecording(int count, uint32_t t0, bool labels)
{
    QByteArray a;
    for (int i = 0; i < count; ++i) {
        if (labels && i % 3 == 0)
            a += label(i % 2 ? "FANN" : "GANN", i % 7, t0 + uint32_t(i), 5);
        a += ccsdsPacket(0x100 + i % 4, i, 14 + i % 9, t0 + uint32_t(i));
    }
    return a;
}

} // namespace ArchiveTestData
