#include "koralib/seb/sebsequence.h"

#include "gselib/packets/tmpacket.h"

#include "tools/util/tools.h"

#include <QFile>

#include <algorithm>

namespace KorGse {

namespace {

constexpr size_t STREAM_START = SebSequence::TN_HDR_SIZE + SebSequence::SEB_HDR_SIZE + SebSequence::MEMADDR_SIZE;

bool isSync(const unsigned char* p)
{
    return p[0] == 0xFA && p[1] == 0xF3 && p[2] == 0x20;
}

} // namespace

SebSequence::SebSequence()
    : pending(std::make_shared<std::vector<unsigned char>>())
{
}

SebSequence::SebSequence(std::shared_ptr<GseLib::TMPacket> pkt)
    : SebSequence()
{
    if (!pkt)
        return;
    // A packet read from an archive always has its resolver; one built
    // without (tests, tools) has no time to give.
    relativeTime = pkt->timeResolver ? pkt->relativeTime() : 0.0;
    pktIndexes.append(pkt->index);
    if (pkt->bytes)
        parsePacketBytes(pkt->bytes->data(), pkt->bytes->size());
}

SebSequence::SebSequence(const QString& fileName)
    : SebSequence()
{
    this->fileName = fileName;
    QFile file(fileName);
    if (!Tools::openPlainFile(file)) {
        failure = OpenFailed;
        valid = false;
        return;
    }
    const QByteArray all = file.readAll();
    if (all.size() < 5 || !isSync(reinterpret_cast<const unsigned char*>(all.constData()) + 2)) {
        failure = InvalidFormat;
        valid = false;
        return;
    }
    auto bytes = std::make_shared<std::vector<unsigned char>>(all.begin() + 2, all.end());
    parsePacket(bytes, true);
}

bool SebSequence::isNewSequence(std::shared_ptr<GseLib::TMPacket> pkt)
{
    if (!pkt || !pkt->bytes)
        return false;
    const auto& b = *pkt->bytes;
    const int off = pkt->dataOffset();
    if (off < 0 || b.size() < static_cast<size_t>(off) + 9)
        return false;
    const size_t at = static_cast<size_t>(off) + 6;
    return b[at] == 0 && b[at + 1] == 0 && b[at + 2] == 0;
}

void SebSequence::addPartialSequence(std::shared_ptr<GseLib::TMPacket> pkt)
{
    if (!pkt)
        return;
    pktIndexes.append(pkt->index);
    if (pkt->bytes)
        parsePacketBytes(pkt->bytes->data(), pkt->bytes->size());
}

bool SebSequence::contains(int cmdId) const
{
    return std::any_of(cmds.begin(), cmds.end(), [cmdId](const QSharedPointer<SebCmd>& c) { return c->id == cmdId; });
}

std::shared_ptr<std::vector<unsigned char>> SebSequence::data() const
{
    auto out = std::make_shared<std::vector<unsigned char>>();
    out->reserve(static_cast<size_t>(std::max(cmdBytes, 0)));
    for (const auto& c : cmds)
        out->insert(out->end(), c->data->begin(), c->data->end());
    return out;
}

QStringList SebSequence::cmdStringList() const
{
    QStringList out;
    out.reserve(cmds.size());
    for (const auto& c : cmds)
        out << c->name();
    return out;
}

QString SebSequence::toString() const
{
    return QStringLiteral("unimplemented");
}

QString SebSequence::failureString() const
{
    switch (failure) {
    case NoFailure:
        return QStringLiteral("None");
    case OpenFailed:
        return QStringLiteral("Could not open the file");
    case InvalidFormat:
        return QStringLiteral("The sequence file has an invalid format");
    }
    return {};
}

void SebSequence::addCommand(int cmdId, std::shared_ptr<std::vector<unsigned char>> bytes, int begin, int end)
{
    auto cmd = QSharedPointer<SebCmd>::create(cmdId, std::move(bytes), begin, end);
    cmdBytes += static_cast<int32_t>(cmd->data->size());
    cmds.append(cmd);
}

void SebSequence::parsePacket(std::shared_ptr<std::vector<unsigned char>> bytes, bool fromFile)
{
    if (!bytes)
        return;
    if (fromFile)
        parseStream(bytes->data(), 0, bytes->size());
    else
        parsePacketBytes(bytes->data(), bytes->size());
}

void SebSequence::parsePacketBytes(const unsigned char* p, size_t size)
{
    // N at bytes 12..13 says where the stream ends; an N that points past the
    // packet is cut at its end, and a packet too short for its headers adds
    // nothing and leaves pending bytes for the next one.
    if (size < STREAM_START)
        return;
    const size_t n = (size_t(p[12]) << 8) | p[13];
    const size_t end = std::clamp<size_t>(14 + n, STREAM_START, size);
    parseStream(p, STREAM_START, end);
}

void SebSequence::parseStream(const unsigned char* p, size_t start, size_t end)
{
    // Carried-over bytes go in front of this stream's bytes.
    std::vector<unsigned char> joined;
    if (!pending->empty()) {
        joined.reserve(pending->size() + (end - start));
        joined.insert(joined.end(), pending->begin(), pending->end());
        joined.insert(joined.end(), p + start, p + end);
        pending->clear();
        p = joined.data();
        start = 0;
        end = joined.size();
    }
    if (start >= end)
        return;
    // Commands copy their bytes out of a shared chunk of the stream; chunks
    // are bounded so that positions stay well inside int.
    constexpr size_t CHUNK = size_t(16) << 20;
    std::shared_ptr<std::vector<unsigned char>> shared;
    size_t base = 0;
    size_t chunkEnd = 0;
    auto keepPending = [&](size_t from) { pending->assign(p + from, p + end); };
    size_t i = start;
    for (;;) {
        if (i + SEB_HDR_SIZE > end) {
            keepPending(i);
            return;
        }
        if (!isSync(p + i)) {
            ++i;
            continue;
        }
        const size_t len = (size_t(p[i + 4]) << 8) | p[i + 5];
        const size_t cmdEnd = i + len + 8;
        if (cmdEnd > end) {
            // At most 65,542 bytes: a command is never longer than L + 8.
            keepPending(i);
            return;
        }
        if (!shared || cmdEnd > chunkEnd) {
            base = i;
            chunkEnd = std::min(end, i + CHUNK);
            shared = std::make_shared<std::vector<unsigned char>>(p + base, p + chunkEnd);
        }
        addCommand(p[i + 3], shared, static_cast<int>(i - base), static_cast<int>(cmdEnd - base));
        if (cmdEnd >= end)
            return;
        i = cmdEnd;
    }
}

} // namespace KorGse
