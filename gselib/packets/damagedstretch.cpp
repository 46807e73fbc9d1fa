#include "gselib/packets/damagedstretch.h"

#include <charconv>
#include <string_view>

namespace GseLib {

void DamagedStretch::appendLine(std::string& out, int64_t headerBytes) const
{
    auto text = [&](std::string_view t) { out.append(t); };
    auto number = [&](int64_t v) {
        char digits[24];
        out.append(digits, size_t(std::to_chars(digits, digits + sizeof digits, v).ptr - digits));
    };
    auto span = [&] {
        number(bytes());
        text(" bytes [");
        number(first);
        text(" - ");
        number(end);
        text("]");
    };
    switch (kind) {
    case Kind::Skipped:
        text("Skipped ");
        span();
        return;
    case Kind::ScannedToLimit:
        text("Scanned ");
        span();
        text(" without finding a valid packet header, archive may be corrupt!");
        return;
    case Kind::LeftUnread:
        text("Could not read a whole packet at index ");
        number(first);
        text("...reading no further until the file grows");
        return;
    case Kind::ClaimPastEnd:
        text("Could not read ");
        number(bytes() - headerBytes);
        text(" bytes from file...skipping ahead 1 byte");
        return;
    }
}

} // namespace GseLib
