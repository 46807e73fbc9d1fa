// The shared packet cache's installation (one process-wide, replaced and
// deleted here, with a generation the cursors compare) and the cursors over
// it: reading forwards, and the searches for the next or previous packet of
// a set of types, which follow the cache when it drops or reads anew its
// packets.
#include "gselib/packets/telemetryfile.h"

#include "gselib/packets/telemetrycache.h"

#include <QDir>
#include <algorithm>
#include <memory>

namespace GseLib {

TelemetryCache* TelemetryFile::cache_ = nullptr;
uint64_t TelemetryFile::cacheGeneration_ = 0;

void TelemetryFile::setSharedCache(TelemetryCache* cache)
{
    if (cache == cache_)
        return;
    delete cache_;
    cache_ = cache;
    ++cacheGeneration_;
    if (cache_)
        QObject::connect(cache_, &TelemetryCache::fileStartedAnew, [] { ++cacheGeneration_; });
}

void TelemetryFile::setSharedCacheFile(const std::string& path)
{
    setSharedCacheFiles({path});
}

void TelemetryFile::setSharedCacheFiles(const std::vector<std::string>& paths)
{
    if (!cache_)
        return;
    ++cacheGeneration_;
    bool first = true;
    for (const std::string& path : paths) {
        const QString absolute = QFileInfo(QString::fromUtf8(path.c_str())).absoluteFilePath();
        cache_->changeFile(absolute.toUtf8().toStdString(), first);
        first = false;
    }
}

void TelemetryFile::updateSharedCache()
{
    if (cache_)
        cache_->grow();
}

int TelemetryFile::packetCount()
{
    return cache_ ? int(std::min<size_t>(cache_->count(), size_t(INT32_MAX))) : 0;
}

TMPacketPtr TelemetryFile::packetAt(int i)
{
    return cache_ && i >= 0 ? cache_->get(unsigned(i)) : TMPacketPtr();
}

TelemetryFile::TelemetryFile()
{
    if (cache_) {
        connect(cache_, &TelemetryCache::packetsRemoved, this, &TelemetryFile::handleCachePacketsRemoved);
        connect(cache_, &TelemetryCache::fileStartedAnew, this, &TelemetryFile::handleCacheFileStartedAnew);
    }
}

TelemetryFile::~TelemetryFile() = default;

void TelemetryFile::reset()
{
    current = 0;
    lastMatch = -1;
    searchMark = -1;
    beforeFirst = true;
}

TMPacketPtr TelemetryFile::getNext()
{
    const int n = packetCount();
    if (n == 0)
        return TMPacketPtr();
    if (beforeFirst) {
        beforeFirst = false;
        return packetAt(current);
    }
    if (current + 1 < n) {
        ++current;
        searchMark = -1;
        return packetAt(current);
    }
    return TMPacketPtr();
}

int TelemetryFile::seek(int delta)
{
    searchMark = -1;
    const int n = packetCount();
    if (n == 0)
        return 0;
    const long long target = std::clamp<long long>(static_cast<long long>(current) + delta, 0, n - 1);
    const int moved = int(target - current);
    current = int(target);
    return moved;
}

template <typename Types>
int TelemetryFile::findNext(int start, const Types& types, bool inclusive)
{
    const int n = packetCount();
    if (n == 0)
        return -2;
    if (start < 0 || start >= n)
        return -3;
    const std::vector<TMPacketPtr>& packets = cache_->allPackets();
    for (int i = inclusive ? start : start + 1; i < n; ++i)
        if (types.contains(packets[size_t(i)]->type()))
            return i;
    return -1;
}

template <typename Types>
int TelemetryFile::findPrev(int start, const Types& types, bool inclusive)
{
    const int n = packetCount();
    if (n == 0)
        return -2;
    if (start < 0 || start >= n)
        return -3;
    const std::vector<TMPacketPtr>& packets = cache_->allPackets();
    for (int i = inclusive ? start : start - 1; i >= 0; --i)
        if (types.contains(packets[size_t(i)]->type()))
            return i;
    return -1;
}

int TelemetryFile::findNextMatch(int start, const ByteSet& types, bool inclusive) const
{
    return findNext(start, types, inclusive);
}

int TelemetryFile::findNextMatch(int start, unsigned short type, bool inclusive) const
{
    return findNext(start, OneType{type}, inclusive);
}

int TelemetryFile::findPrevMatch(int start, const ByteSet& types, bool inclusive) const
{
    return findPrev(start, types, inclusive);
}

int TelemetryFile::findPrevMatch(int start, unsigned short type, bool inclusive) const
{
    return findPrev(start, OneType{type}, inclusive);
}

int TelemetryFile::landOn(int found, TMPacketPtr* packet)
{
    current = found;
    lastMatch = found;
    searchMark = -1;
    if (packet)
        *packet = packetAt(found);
    return found;
}

template <typename Types>
int TelemetryFile::forwardSearch(const Types& types, TMPacketPtr* packet)
{
    const int start = std::max(current, searchMark);
    const int found = findNext(start, types, lastMatch != start);
    if (found >= 0)
        return landOn(found, packet);
    if (found == -1) {
        searchMark = packetCount() - 1;
        return -1;
    }
    if (found == -2) {
        current = 0;
        searchMark = -1;
        return -1;
    }
    return -3;
}

int TelemetryFile::seekNextMatch(const ByteSet& types)
{
    return forwardSearch(types, nullptr);
}

int TelemetryFile::seekNextMatch(unsigned short type)
{
    return forwardSearch(OneType{type}, nullptr);
}

TMPacketPtr TelemetryFile::getNextMatch(const ByteSet& types)
{
    TMPacketPtr packet;
    forwardSearch(types, &packet);
    return packet;
}

TMPacketPtr TelemetryFile::getNextMatch(unsigned short type)
{
    TMPacketPtr packet;
    forwardSearch(OneType{type}, &packet);
    return packet;
}

template <typename Types>
int TelemetryFile::backwardSearch(const Types& types, TMPacketPtr* packet)
{
    if (searchMark == 0)
        return -1;
    const int found = findPrev(current, types, false);
    if (found >= 0)
        return landOn(found, packet);
    if (found == -1 || found == -2)
        searchMark = 0;
    return -1;
}

int TelemetryFile::seekPrevMatch(const ByteSet& types)
{
    return backwardSearch(types, nullptr);
}

int TelemetryFile::seekPrevMatch(unsigned short type)
{
    return backwardSearch(OneType{type}, nullptr);
}

TMPacketPtr TelemetryFile::getPrevMatch(const ByteSet& types)
{
    TMPacketPtr packet;
    backwardSearch(types, &packet);
    return packet;
}

TMPacketPtr TelemetryFile::getPrevMatch(unsigned short type)
{
    TMPacketPtr packet;
    backwardSearch(OneType{type}, &packet);
    return packet;
}

void TelemetryFile::handleCachePacketsRemoved(int n)
{
    current -= n;
    if (current < 0) {
        current = 0;
        beforeFirst = true;
    }
    lastMatch = lastMatch - n < 0 ? -1 : lastMatch - n;
    searchMark = searchMark - n < 0 ? -1 : searchMark - n;
}

void TelemetryFile::handleCacheFileStartedAnew(int first)
{
    if (current >= first) {
        current = std::max(first - 1, 0);
        beforeFirst = first == 0;
    }
    if (lastMatch >= first)
        lastMatch = -1;
    if (searchMark >= first)
        searchMark = -1;
}

QFileInfo TelemetryFile::fileInfo() const
{
    return cache_ ? QFileInfo(QString::fromUtf8(cache_->filePath().c_str())) : QFileInfo();
}

QString TelemetryFile::tidString() const
{
    return fileInfo().dir().dirName().mid(20, 5);
}

} // namespace GseLib
