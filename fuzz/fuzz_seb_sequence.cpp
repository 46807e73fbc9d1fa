// Arbitrary bytes as a SEB sequence file, and the same bytes cut into type-23
// packets fed to sequences as the science data cache does (a packet at memory
// address 0 starts one, the rest continue it). Every packet vector is
// allocated to its exact size, so a read past it is caught by the sanitizer;
// the carried-over bytes never exceed one command, and every command is whole.
//
// Packet cut: 1 byte k gives the next packet's length (k = 255: the next 2
// bytes, big-endian, give it), the packet's bytes follow (fewer at the end).
#include "fuzzquiet.h"
#include "gselib/packets/timeresolvers.h"
#include "gselib/packets/tompacket.h"
#include "koralib/seb/sebsequence.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

void check(const KorGse::SebSequence& seq)
{
    if (!seq.pending || seq.pending->size() > size_t(KorGse::SebSequence::MAX_CMD_SIZE))
        std::abort();
    long long total = 0;
    for (const auto& c : seq.cmds) {
        const auto& d = *c->data;
        if (d.size() < 8 || d[0] != 0xFA || d[1] != 0xF3 || d[2] != 0x20 || d[3] != c->id
            || d.size() != ((size_t(d[4]) << 8) | d[5]) + 8)
            std::abort();
        total += (long long)d.size();
    }
    if (total != seq.cmdBytes || seq.data()->size() != size_t(total))
        std::abort();
    (void)seq.cmdStringList();
    (void)seq.contains(0x17);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    static QTemporaryDir dir;
    static GseLib::UnixTimeResolver resolver;

    // As a file.
    const QString path = dir.filePath(QStringLiteral("input.seq"));
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        f.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    KorGse::SebSequence file(path);
    if (file.valid != (file.failure == KorGse::SebSequence::NoFailure))
        std::abort();
    check(file);

    // As packets.
    QSharedPointer<KorGse::SebSequence> seq;
    size_t at = 0;
    int index = 0;
    while (at < size) {
        size_t len = data[at++];
        if (len == 255 && at + 2 <= size) {
            len = (size_t(data[at]) << 8) | data[at + 1];
            at += 2;
        }
        len = std::min(len, size - at);
        auto bytes = std::make_shared<GseLib::ByteVector>(data + at, data + at + len);
        at += len;
        auto pkt = std::make_shared<GseLib::TomPacket>(bytes, index++, &resolver);
        if (!seq || KorGse::SebSequence::isNewSequence(pkt))
            seq = QSharedPointer<KorGse::SebSequence>::create(pkt);
        else
            seq->addPartialSequence(pkt);
        check(*seq);
    }
    return 0;
}
