// ITF frames come from the link: any bytes must parse, print, write back and
// checksum without a crash or a read past them, and a frame rebuilt by append
// from the parsed packets must parse back to the same packets whenever its
// len stays within the limit.
#include "fuzzquiet.h"
#include "tolvalib/tolvaitfpacket.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

namespace {

QByteArray image(const TolvaGse::TolvaCcsdsPacket& p)
{
    return QByteArray(reinterpret_cast<const char*>(p.bytes->data()), qsizetype(p.bytes->size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const TolvaGse::TolvaItfPacket frame(bytes);
    (void)TolvaGse::TolvaItfPacket::toString(bytes);
    const QByteArray written = frame.toByteArray();
    (void)frame.checksum();
    if (written.size() < 12)
        std::abort();

    TolvaGse::TolvaItfPacket rebuilt;
    for (const TolvaGse::TolvaCcsdsPacket& p : frame.packets())
        rebuilt.append(p);
    if (rebuilt.len() <= TolvaGse::TolvaItfPacket::MAX_LEN && !frame.packets().isEmpty()) {
        const TolvaGse::TolvaItfPacket back(rebuilt.toByteArray());
        if (back.packets().size() != frame.packets().size())
            std::abort();
        for (qsizetype i = 0; i < back.packets().size(); ++i)
            if (image(back.packets()[i]) != image(frame.packets()[i]))
                std::abort();
    }
    return 0;
}
