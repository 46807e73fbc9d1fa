#pragma once
// The marker intervals of the open second-instrument archive: walks its marker
// packets (APID 743) through a telemetry-file cursor, keeps the intervals still
// open (by id) and the closed ones (in closing order), and signals each opening
// and closing on the calling thread. The Python marker classes own one; its
// messages go to the logger under "tolva_marker_cache".
#include "tolvalib/tolvamarker.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <memory>

namespace GseLib {
class TelemetryFile;
}

namespace TolvaGse {

class MarkerPacket;

class TolvaMarkerCache : public QObject
{
    Q_OBJECT

public:
    // Process-wide cache made by initSharedCache; owned there (replacing it
    // deletes the old one).
    static TolvaMarkerCache* cache_;
    static void initSharedCache(std::shared_ptr<GseLib::TelemetryFile> file);

    // Reads nothing yet.
    explicit TolvaMarkerCache(std::shared_ptr<GseLib::TelemetryFile> file);
    ~TolvaMarkerCache() override;

    // Empties both lists, rewinds the cursor and reads every marker packet.
    void reload();
    // Reads the marker packets after the cursor.
    void refresh();
    // Empties both lists and rewinds the cursor, reading nothing.
    void clear();

    const QList<Marker>& markers() const { return closed_; }
    // In ascending id (taken unsigned), the order in which a close-all closes them.
    QList<Marker> openMarkers() const { return open_.values(); }
    int size() const { return int(closed_.size()); }
    bool isEmpty() const { return closed_.isEmpty(); }
    // The closed markers whose text (UTF-8) contains the label, case-sensitive.
    // The flag asks for a starts-with test first, which a contained label passes
    // anyway: it changes nothing in the result.
    QList<Marker> matchingIntervals(const QString& label, bool startsWith) const;

signals:
    void markerIntervalOpened(TolvaGse::Marker interval);
    void markerIntervalClosed(TolvaGse::Marker interval);

private:
    void open(const MarkerPacket& packet);
    void closeFrom(const MarkerPacket& packet);
    void closeOne(uint32_t id, double unixSeconds);

    std::shared_ptr<GseLib::TelemetryFile> file_;
    // Ordered by unsigned id: the hash order of the archive's tools is not
    // stable, and a close-all must close (and signal) in a fixed order.
    QMap<uint32_t, Marker> open_;
    QList<Marker> closed_;
};

} // namespace TolvaGse
