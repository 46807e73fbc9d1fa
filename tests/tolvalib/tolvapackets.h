#pragma once
// Builders of the second instrument's archive bytes for the tests: CCSDS
// packets with the 6-byte time header and ITF transfer frames around them.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace TolvaTest {

using Bytes = std::vector<uint8_t>;

// A packet of `total` bytes (at least 12): APID, seconds since 2010, fraction
// in 1/256 s, payload bytes counting up from `fill`.
inline Bytes packet(int apid, uint32_t seconds, uint8_t fraction, size_t total, uint8_t fill = 0)
{
    Bytes b(total, 0);
    b[0] = uint8_t(0x08 | ((apid >> 8) & 0x07));
    b[1] = uint8_t(apid);
    b[2] = 0xC0;
    const size_t length = total - 7;
    b[4] = uint8_t(length >> 8);
    b[5] = uint8_t(length);
    b[6] = uint8_t(seconds >> 24);
    b[7] = uint8_t(seconds >> 16);
    b[8] = uint8_t(seconds >> 8);
    b[9] = uint8_t(seconds);
    b[10] = fraction;
    for (size_t i = 12; i < total; ++i)
        b[i] = uint8_t(fill + i);
    return b;
}

// The exclusive-or of the byte pairs from byte 4 on: even positions, then odd.
inline void appendFrameChecksum(Bytes& frame)
{
    uint8_t even = 0;
    uint8_t odd = 0;
    const size_t pairs = (frame.size() - 4) / 2;
    for (size_t i = 0; i < pairs; ++i) {
        even ^= frame[4 + 2 * i];
        odd ^= frame[5 + 2 * i];
    }
    frame.push_back(even);
    frame.push_back(odd);
}

// A frame: header FE FA 30 C8, vc 4, the packets (a zero after each odd one), checksum.
inline Bytes frame(const std::vector<Bytes>& packets)
{
    size_t length = 4;
    for (const Bytes& p : packets)
        length += p.size();
    Bytes f = {0xFE, 0xFA, 0x30, 0xC8, 0x04, 0x00, uint8_t(length >> 8), uint8_t(length), 0x00, 0x00};
    for (const Bytes& p : packets) {
        f.insert(f.end(), p.begin(), p.end());
        if (p.size() % 2)
            f.push_back(0);
    }
    appendFrameChecksum(f);
    return f;
}

inline Bytes frame(std::initializer_list<Bytes> packets)
{
    return frame(std::vector<Bytes>(packets));
}

inline void append(Bytes& to, const Bytes& more)
{
    to.insert(to.end(), more.begin(), more.end());
}

} // namespace TolvaTest
