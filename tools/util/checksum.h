#pragma once
// Checksums over byte blocks: the 32-bit Fletcher checksum over big-endian 16-bit
// words that trails every TOM packet (with a streaming form), a Fletcher-16, the
// Internet checksum and a UDP checksum. None of them checks lengths or buffers.
#include <cstdint>

namespace GseLib {

// True when the checksum of the first `length` bytes equals the one stored big-endian
// in data[length] .. data[length + 3] (the buffer holds length + 4 bytes). With
// checkSimpleSumFirst the simple sum is compared first, so a mismatch there is found
// early; the answer is the same either way. `length` is used as a 32-bit count.
bool correct_checksum(unsigned char const* data, unsigned long length, bool checkSimpleSumFirst);

// Streaming form. state[0] is the simple sum, state[1] the sum of sums.
void start_checksum(unsigned long* state);     // both 0xFFFF
void start_checksum_new(unsigned long* state); // 1 and 0
// Adds the block's big-endian words (folding after every 360 words) and an odd last
// byte as the high byte of a word of its own; each call starts on a word boundary.
void add_checksum(unsigned char const* data, unsigned int length, unsigned long* state);
// The same for the simple sum alone.
void fast_add_checksum(unsigned char const* data, unsigned int length, unsigned long* sum);
// Folds both sums once more, stores them back and returns (sum2 << 16) | sum1 with its
// four bytes reversed, so that storing it on a little-endian host writes it big-endian.
unsigned int end_checksum(unsigned long* state);

// Fletcher-16 over bytes, both sums reduced modulo 255 after every 5002 bytes.
// A length of 0 or less gives 0.
std::uint16_t fletcher16(void const* data, int length);

// RFC 1071 Internet checksum over little-endian words (odd last byte as a low byte),
// returned in the order of the words read; a result of 0 is returned as 0xFFFF.
std::uint16_t ip_checksum(char* data, int length);

// UDP checksum of an IPv4 packet with a 20-byte header. Builds the pseudo-header in
// bytes 8..19 of the packet itself and restores them before returning.
std::uint16_t udp_checksum(char* ipPacket);

// The two sums of the 32-bit checksum as they stand before the final fold: adds
// floor(length / 2) big-endian words in blocks of at most 360 words, folding both sums
// after every block, then an odd last byte as the high byte of a word (no fold after it).
void checksum_add_words(unsigned char const* data, std::uint32_t length, std::uint64_t& sum1,
                        std::uint64_t& sum2);
// The same one word at a time; checksum_add_words must give identical sums.
void checksum_add_words_plain(unsigned char const* data, std::uint32_t length,
                              std::uint64_t& sum1, std::uint64_t& sum2);

} // namespace GseLib
