#pragma once
// Unsigned bit fields read out of byte buffers.

class Bytes
{
public:
    Bytes() = delete;

    // Assembles byteCount bytes from data[offset] upward big-endian (first byte most
    // significant; of more than 8 bytes only the last 8 survive), ANDs the value with
    // mask, then shifts it right by shift bits, or left by -shift bits when shift is
    // negative. Shift counts are taken modulo 64.
    // Unchecked: the caller guarantees offset + byteCount readable bytes.
    static unsigned long decodeSimple(unsigned char const* data, unsigned int offset,
                                      unsigned int byteCount, unsigned long mask, int shift);

    // The same with the bytes assembled little-endian: data[offset + byteCount - 1]
    // is the most significant byte, data[offset] the least significant.
    static unsigned long decodeSimpleLE(unsigned char const* data, unsigned int offset,
                                        unsigned int byteCount, unsigned long mask, int shift);
};
