// How the archive window reads the file: straight from its descriptor (through
// the stream only where the file is no plain file), refilled so that the
// bytes a look still needs stay, cut at a horizon that makes the file end
// early, keeping the last packet taken with its lead for the cache's read
// mark, and the running sums that rule out TOM checksum candidates cheaply.
#include "gselib/packets/archivewindow.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace GseLib {

using ArchiveBytes::be16;

void ArchiveWindow::reset(FILE* file, long pos)
{
    if (!bytes_)
        bytes_.reset(new uint8_t[SIZE]);
    file_ = file;
    start_ = pos;
    length_ = 0;
    atEof_ = false;
    anchor_ = -1;
    horizon_ = -1;
    sumsValid_ = false;
}

void ArchiveWindow::setHorizon(long pos)
{
    horizon_ = pos;
    heldStart_ = start_;
    heldLength_ = length_;
    heldAtEof_ = atEof_;
    if (end() >= pos) {
        length_ = pos > start_ ? size_t(pos - start_) : 0;
        atEof_ = true;
    }
}

void ArchiveWindow::clearHorizon()
{
    horizon_ = -1;
    if (start_ == heldStart_ && length_ <= heldLength_) {
        length_ = heldLength_;
        atEof_ = heldAtEof_;
    } else {
        atEof_ = false; // a refill under the horizon: the next fill past it reads on
    }
}

size_t ArchiveWindow::readAt(long pos, uint8_t* out, size_t n)
{
    size_t got = 0;
    const int fd = fileno(file_);
    while (got < n) {
        const ssize_t k = pread(fd, out + got, n - got, off_t(pos) + off_t(got));
        if (k > 0) {
            got += size_t(k);
        } else if (k < 0 && errno == EINTR) {
            continue;
        } else if (k < 0 && got == 0) {
            // Not a plain file (a pipe or the like): through the stream.
            std::clearerr(file_);
            if (std::fseek(file_, pos, SEEK_SET) != 0 && std::ftell(file_) != pos)
                return 0;
            return std::fread(out, 1, n, file_);
        } else {
            break;
        }
    }
    return got;
}

size_t ArchiveWindow::refill(long pos, size_t n)
{
    const long last = end();
    if (pos >= start_ && pos <= last && atEof_)
        return size_t(last - pos);
    // The bytes from pos on are kept, or from the anchor when a look ahead
    // must not lose the candidate it looks past (and both fit).
    long from = pos;
    if (anchor_ >= 0 && anchor_ < pos && size_t(pos - anchor_) + n <= SIZE)
        from = anchor_;
    if (kept_ && *keepFrom_ < *keepTo_) {
        // What is not kept yet of the span (the lead may have been kept
        // alone, before its packet was taken).
        // A lead dropped by an earlier refill, before its packet was taken,
        // is not held: what is held of the span is kept.
        const long a = std::max(*keepFrom_, *keepHeader_ - long(keepLead_));
        const bool leadKept = kept_->at == a && kept_->to == *keepHeader_;
        const long b = leadKept ? *keepHeader_ : std::max(a, start_);
        if (b < from && *keepTo_ <= last && b < *keepTo_) {
            if (!leadKept) {
                kept_->bytes.clear();
                kept_->at = b;
            }
            kept_->bytes.insert(kept_->bytes.end(), at(b), at(*keepTo_));
            kept_->to = *keepTo_;
        }
    }
    size_t keep = 0;
    if (from >= start_ && from <= last) {
        keep = size_t(last - from);
        if (keep && from != start_)
            std::memmove(bytes_.get(), at(from), keep);
    }
    start_ = from;
    length_ = keep;
    atEof_ = false;
    sumsValid_ = false;
    size_t want = SIZE - keep;
    if (horizon_ >= 0)
        want = std::min(want, size_t(std::max(0L, horizon_ - (from + long(keep)))));
    const size_t got = readAt(from + long(keep), bytes_.get() + keep, want);
    length_ += got;
    if (got < want || (horizon_ >= 0 && end() >= horizon_))
        atEof_ = true;
    const long have = end() - pos;
    return have <= 0 ? 0 : std::min(n, size_t(have));
}

void ArchiveWindow::buildSums()
{
    const uint8_t* b = bytes_.get();
    const size_t n = length_;
    sumsEven_.assign(n / 2 + 1, 0);
    sumsOdd_.assign((n + 1) / 2 + 1, 0);
    uint32_t s = 0;
    for (size_t i = 0; 2 * i + 1 < n; ++i) {
        s += be16(b + 2 * i);
        if (s >= 65535)
            s -= 65535;
        sumsEven_[i + 1] = uint16_t(s);
    }
    s = 0;
    for (size_t i = 0; 2 * i + 2 < n; ++i) {
        s += be16(b + 2 * i + 1);
        if (s >= 65535)
            s -= 65535;
        sumsOdd_[i + 1] = uint16_t(s);
    }
    sumsValid_ = true;
}

// The simple sum modulo 65535, in O(1): the stored simple sum is that
// residue, or (after the final fold left 65535 to 65538) the residue less 1
// to 3 modulo 65536.
bool ArchiveWindow::checksumMayMatch(long pos, size_t covered)
{
    if (!sumsValid_)
        buildSums();
    const uint8_t* b = bytes_.get();
    const size_t o = size_t(pos - start_);
    const size_t words = covered / 2;
    uint32_t s;
    if (o % 2 == 0) {
        const size_t k = o / 2;
        s = (uint32_t(sumsEven_[k + words]) + 65535 - sumsEven_[k]) % 65535;
    } else {
        const size_t k = (o - 1) / 2;
        s = (uint32_t(sumsOdd_[k + words]) + 65535 - sumsOdd_[k]) % 65535;
    }
    if (covered % 2)
        s = (s + (uint32_t(b[o + covered - 1]) << 8)) % 65535;
    const uint32_t stored = be16(b + o + covered + 2);
    return stored % 65535 == s || ((stored + 65536 - s) & 0xFFFF) >= 65532;
}

} // namespace GseLib
