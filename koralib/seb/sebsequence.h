#pragma once
// One SEB command sequence of the first instrument, rebuilt from its type-23
// packets (the first at memory address 0, the rest continuing it through
// addPartialSequence) or read from a sequence file. The science data cache
// collects the sequences that precede each scan; scans hold them through
// QSharedPointer and the classification reads their commands.
#include "koralib/seb/sebcmd.h"

#include <QList>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <vector>

namespace GseLib {
class TMPacket;
}

namespace KorGse {

class SebSequence
{
public:
    static constexpr uint32_t SYNC_CODE = 0xFAF320;
    static constexpr int TN_HDR_SIZE = 8;
    static constexpr int SEB_HDR_SIZE = 6;
    static constexpr int MEMADDR_SIZE = 3;
    // The longest command: a 16-bit length L plus the 8 bytes around it. The
    // carried-over bytes never exceed it.
    static constexpr int MAX_CMD_SIZE = 0xFFFF + 8;

    enum Failure { NoFailure = 0, OpenFailed = 1, InvalidFormat = 2 };

    // An empty sequence (no packets, no commands).
    SebSequence();
    // A sequence started by a packet; its bytes are parsed at once.
    explicit SebSequence(std::shared_ptr<GseLib::TMPacket> pkt);
    // A sequence read from a file; problems are kept in valid and failure.
    explicit SebSequence(const QString& fileName);

    // Whether the packet starts a new sequence: memory address (data bytes
    // 6..8) 0. A packet too short to hold the address starts none.
    static bool isNewSequence(std::shared_ptr<GseLib::TMPacket> pkt);
    // Adds the next packet of the sequence, continuing any pending bytes.
    void addPartialSequence(std::shared_ptr<GseLib::TMPacket> pkt);

    bool contains(int cmdId) const;
    // A new vector of all command bytes joined in order (pending excluded).
    std::shared_ptr<std::vector<unsigned char>> data() const;
    QStringList cmdStringList() const;
    QString toString() const;
    QString failureString() const;

    void addCommand(int cmdId, std::shared_ptr<std::vector<unsigned char>> bytes, int begin, int end);
    // Parses a packet's stream (bytes 17 up to 14 + N, the end clamped to the
    // packet) or a whole file's stream, continuing `pending`.
    void parsePacket(std::shared_ptr<std::vector<unsigned char>> bytes, bool fromFile);

    QList<QSharedPointer<SebCmd>> cmds;
    double relativeTime = 0.0;
    int32_t cmdBytes = 0;
    // The packet that started the sequence, then each packet added to it.
    QList<int> pktIndexes;
    std::shared_ptr<std::vector<unsigned char>> pending; // never null
    QString fileName;
    bool valid = true;
    Failure failure = NoFailure;

private:
    void parseStream(const unsigned char* p, size_t start, size_t end);
    void parsePacketBytes(const unsigned char* p, size_t size);
};

} // namespace KorGse
