#pragma once
// A cursor over the one process-wide shared packet cache: walks it forwards,
// or jumps to the next or previous packet whose type lies in a set of types.
// The static operations install the shared cache, point it at an archive and
// make it read on. With no cache installed everything acts on an empty cache.
#include "gselib/packets/tmpacket.h"

#include <QFileInfo>
#include <QObject>
#include <QString>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace GseLib {

class TelemetryCache;

class TelemetryFile : public QObject
{
    Q_OBJECT

public:
    // A set of packet types, by the low 16 bits of type().
    struct ByteSet
    {
        ByteSet() { flags.fill(0); }
        explicit ByteSet(unsigned short type) : ByteSet() { flags[type] = 1; }
        ByteSet(std::initializer_list<unsigned short> types) : ByteSet()
        {
            for (unsigned short t : types)
                flags[t] = 1;
        }
        void insert(unsigned short type) { flags[type] = 1; }
        bool contains(int type) const { return flags[uint16_t(type)] != 0; }
        std::array<uint8_t, 65536> flags;
    };

    // Deletes the installed cache and installs this one, taking ownership.
    static void setSharedCache(TelemetryCache* cache);
    static TelemetryCache* sharedCache() { return cache_; }
    // The shared cache opens the file (made absolute), clearing the old packets.
    static void setSharedCacheFile(const std::string& path);
    // Each file in order; only the first clears, so indexes run on.
    static void setSharedCacheFiles(const std::vector<std::string>& paths);
    static void updateSharedCache();
    // Advances whenever another cache is installed or the shared cache opens
    // a file, or reads its file anew (a file started anew under it), so caches
    // built over its packets (the message log) know to start again; growth of
    // the same file leaves it alone.
    static uint64_t sharedCacheGeneration() { return cacheGeneration_; }

    TelemetryFile();
    ~TelemetryFile() override;

    void reset();
    TMPacketPtr getNext();
    int seek(int delta);

    int findNextMatch(int start, const ByteSet& types, bool inclusive) const;
    int findNextMatch(int start, unsigned short type, bool inclusive) const;
    int findPrevMatch(int start, const ByteSet& types, bool inclusive) const;
    int findPrevMatch(int start, unsigned short type, bool inclusive) const;

    int seekNextMatch(const ByteSet& types);
    int seekNextMatch(unsigned short type);
    TMPacketPtr getNextMatch(const ByteSet& types);
    TMPacketPtr getNextMatch(unsigned short type);
    int seekPrevMatch(const ByteSet& types);
    int seekPrevMatch(unsigned short type);
    TMPacketPtr getPrevMatch(const ByteSet& types);
    TMPacketPtr getPrevMatch(unsigned short type);

    QFileInfo fileInfo() const;
    // Characters 20 to 24 of the name of the archive's folder.
    QString tidString() const;

    int currentIndex() const { return current; }
    int lastMatchIndex() const { return lastMatch; }
    int searchMarkIndex() const { return searchMark; }
    bool isBeforeFirst() const { return beforeFirst; }

public slots:
    void handleCachePacketsRemoved(int count);
    // The packets from `first` on were dropped to be read again: a cursor on
    // them goes back to just before them, so that it gives each packet read
    // again; one before them stays.
    void handleCacheFileStartedAnew(int first);

private:
    static TelemetryCache* cache_;
    static uint64_t cacheGeneration_;

    // Matches one type without building a 64 KiB set per call.
    struct OneType
    {
        uint16_t type;
        bool contains(int t) const { return uint16_t(t) == type; }
    };

    static int packetCount();
    static TMPacketPtr packetAt(int i);
    template <typename Types>
    static int findNext(int start, const Types& types, bool inclusive);
    template <typename Types>
    static int findPrev(int start, const Types& types, bool inclusive);
    // Makes a found packet the current one and the last match; returns its index.
    int landOn(int found, TMPacketPtr* packet);
    template <typename Types>
    int forwardSearch(const Types& types, TMPacketPtr* packet);
    template <typename Types>
    int backwardSearch(const Types& types, TMPacketPtr* packet);

    int current = 0;
    int lastMatch = -1;
    int searchMark = -1;
    bool beforeFirst = true;
};

} // namespace GseLib
