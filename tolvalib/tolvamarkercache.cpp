#include "tolvalib/tolvamarkercache.h"

#include "gselib/packets/telemetryfile.h"
#include "tolvalib/tolvapacketfamily.h"
#include "tools/logger/log.h"

#include <QTextStream>

namespace TolvaGse {

namespace {

constexpr unsigned short MARKER_APID = 743;
// Id and type end at byte 19: a shorter packet would read as a close-all.
constexpr size_t MARKER_MIN_SIZE = 20;

// The component and source name that the instrument's log readers know.
#define MARKER_CACHE_LOG(level, streamed)                                                            \
    do {                                                                                             \
        if (::Log::enabled(level)) {                                                                 \
            QString text_;                                                                           \
            {                                                                                        \
                QTextStream stream_(&text_);                                                         \
                stream_ << streamed;                                                                 \
            }                                                                                        \
            ::Log::dispatch(LoggerEventMsg(QStringLiteral("tolva_marker_cache"),                     \
                                           QStringLiteral("tolvalib/tolvamarkercache"), __LINE__, level, \
                                           text_));                                                  \
        }                                                                                            \
    } while (0)

} // namespace

TolvaMarkerCache* TolvaMarkerCache::cache_ = nullptr;

void TolvaMarkerCache::initSharedCache(std::shared_ptr<GseLib::TelemetryFile> file)
{
    auto* made = new TolvaMarkerCache(std::move(file));
    delete cache_;
    cache_ = made;
}

TolvaMarkerCache::TolvaMarkerCache(std::shared_ptr<GseLib::TelemetryFile> file) : file_(std::move(file))
{
    qRegisterMetaType<TolvaGse::Marker>();
}

TolvaMarkerCache::~TolvaMarkerCache() = default;

void TolvaMarkerCache::reload()
{
    clear();
    refresh();
}

void TolvaMarkerCache::clear()
{
    open_.clear();
    closed_.clear();
    if (file_)
        file_->reset();
}

void TolvaMarkerCache::refresh()
{
    if (!file_)
        return;
    while (const GseLib::TMPacketPtr p = file_->getNextMatch(MARKER_APID)) {
        const size_t n = p->totalLength();
        if (n < MARKER_MIN_SIZE) {
            MARKER_CACHE_LOG(WARN, "Skipping short marker packet: index " << p->index << ", " << n << " bytes");
            continue;
        }
        const MarkerPacket packet(QByteArray(reinterpret_cast<const char*>(p->data()), qsizetype(n)));
        if (packet.markerId() != 0)
            open(packet);
        else
            closeFrom(packet);
    }
}

void TolvaMarkerCache::open(const MarkerPacket& packet)
{
    const uint32_t id = packet.markerId();
    if (open_.contains(id)) {
        MARKER_CACHE_LOG(WARN, "Existing marker found...closing");
        closeOne(id, packet.unixTime());
    }
    const Marker marker(packet);
    open_.insert(id, marker);
    emit markerIntervalOpened(marker);
    MARKER_CACHE_LOG(DEBUG, "Marker opened: " << marker.toNiceString());
}

void TolvaMarkerCache::closeFrom(const MarkerPacket& packet)
{
    const double t = packet.unixTime();
    const uint32_t type = packet.markerType();
    if (type == 0) {
        while (!open_.isEmpty())
            closeOne(open_.firstKey(), t);
        return;
    }
    if (open_.contains(type)) {
        closeOne(type, t);
        return;
    }
    MARKER_CACHE_LOG(WARN, "No match for marker close: "
                               << "id=" << packet.markerId() << " type=" << type << " txt=" << packet.textWithinBytes());
}

void TolvaMarkerCache::closeOne(uint32_t id, double unixSeconds)
{
    Marker marker = open_.take(id);
    // A refused close leaves the end at 0; the marker is closed all the same.
    marker.close(unixSeconds);
    closed_.append(marker);
    emit markerIntervalClosed(marker);
    MARKER_CACHE_LOG(DEBUG, "Marker closed: " << marker.toNiceString());
}

QList<Marker> TolvaMarkerCache::matchingIntervals(const QString& label, bool startsWith) const
{
    QList<Marker> out;
    for (const Marker& m : closed_) {
        const QString text = QString::fromUtf8(m.text());
        if ((startsWith && text.startsWith(label)) || text.contains(label))
            out.append(m);
    }
    return out;
}

} // namespace TolvaGse
