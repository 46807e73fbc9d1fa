#include "tools/util/bytes.h"

namespace {

unsigned long maskAndShift(unsigned long value, unsigned long mask, int shift)
{
    value &= mask;
    // Counts are reduced explicitly: a C++ shift by 64 or more is undefined.
    if (shift >= 0)
        return value >> (static_cast<unsigned int>(shift) & 63u);
    return value << ((0u - static_cast<unsigned int>(shift)) & 63u);
}

} // namespace

unsigned long Bytes::decodeSimple(unsigned char const* data, unsigned int offset,
                                  unsigned int byteCount, unsigned long mask, int shift)
{
    unsigned long value = 0;
    const unsigned char* p = data + offset;
    for (unsigned int i = 0; i < byteCount; ++i)
        value = (value << 8) | p[i];
    return maskAndShift(value, mask, shift);
}

unsigned long Bytes::decodeSimpleLE(unsigned char const* data, unsigned int offset,
                                    unsigned int byteCount, unsigned long mask, int shift)
{
    unsigned long value = 0;
    const unsigned char* p = data + offset;
    for (unsigned int i = byteCount; i > 0; --i)
        value = (value << 8) | p[i - 1];
    return maskAndShift(value, mask, shift);
}
