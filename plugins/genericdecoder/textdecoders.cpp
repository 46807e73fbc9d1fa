#include "plugins/genericdecoder/textdecoders.h"

#include "gselib/database/tmdatabaserow.h"
#include "plugins/genericdecoder/decodersupport_p.h"

#include <cstring>
#include <stdexcept>
#include <string>

using namespace GenericDecoding;

namespace {

[[noreturn]] void throwOutside(const GseLib::TmDatabaseRow& row, long long position, std::uint64_t length)
{
    // The decode road appends " not found".
    throw std::out_of_range("ID " + std::to_string(row.dataId) + " text byte " + std::to_string(position)
                            + " (packet of " + std::to_string(length) + " bytes)");
}

} // namespace

QString StringDecoder::name() const
{
    return QStringLiteral("string");
}

bool StringDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                           GseLib::DataItems& items, const GseLib::CurrentValueTable*) const
{
    if (!packet || row.offsets.empty())
        return false;
    const PacketView view = viewOf(*packet);
    const std::uint64_t o = row.offsets.front();
    const std::uint64_t n = row.byteOrder.size();
    if (!fits(o, n, view.length))
        return false;

    std::string text;
    if (n > 0) {
        // Positions are signed: rank 0 at offset 0 lies before the packet.
        text.reserve(n);
        for (const std::uint32_t rank : row.byteOrder) {
            const long long position = static_cast<long long>(o) - 1 + static_cast<long long>(rank);
            if (position < 0 || static_cast<std::uint64_t>(position) >= view.length)
                throwOutside(row, position, view.length);
            const char c = static_cast<char>(view.data[position]);
            if (c == '\0')
                break;
            text.push_back(c);
        }
    } else {
        // DECODE_ID2 bytes at the packet's end are never text; a limit of 0 or
        // less (DECODE_ID2 reaching back past the offset) is an empty text.
        const std::uint64_t room = view.length - o;
        const std::uint64_t tail = decodeId(row.decodeIds, 1);
        if (tail < room) {
            const char* first = reinterpret_cast<const char*>(view.data + o);
            const std::size_t limit = static_cast<std::size_t>(room - tail);
            const void* nul = std::memchr(first, 0, limit);
            text.assign(first, nul ? static_cast<const char*>(nul) : first + limit);
        }
    }

    const PacketTimes times = timesOf(*packet);
    const double t = timeOffset(row.timeOffsets, 0);
    const std::size_t count = text.size();
    appendItem(items, times.unixTime + t, times.relativeTime + t, o, count).value = std::move(text);
    return true;
}

QString BytesDecoder::name() const
{
    return QStringLiteral("bytes");
}

bool BytesDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                          GseLib::DataItems& items, const GseLib::CurrentValueTable*) const
{
    if (!packet || row.offsets.empty() || row.byteOrder.empty())
        return false;
    const PacketView view = viewOf(*packet);
    const std::uint64_t o = row.offsets.front();
    if (o >= view.length)
        return false;
    const std::uint64_t count = std::min<std::uint64_t>(row.byteOrder.front(), view.length - o);
    const char* first = reinterpret_cast<const char*>(view.data + o);

    const PacketTimes times = timesOf(*packet);
    const double t = timeOffset(row.timeOffsets, 0);
    appendItem(items, times.unixTime + t, times.relativeTime + t, o, count).value =
        std::string(first, static_cast<std::size_t>(count));
    return true;
}
