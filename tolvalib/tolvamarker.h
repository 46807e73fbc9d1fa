#pragma once
// One marker interval of the second instrument: opened by a marker packet
// with a non-zero id, closed by a later packet with id 0. The marker cache
// builds them and hands them out through its signals (hence the meta-type);
// the Python marker classes wrap them. Times are microseconds since the Unix epoch.
#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <cstdint>

namespace TolvaGse {

class MarkerPacket;

class Marker
{
public:
    Marker() = default;
    // Id, type and text of the opening packet (a text running past the bytes
    // ends with them), its Unix time as the start; open.
    explicit Marker(const MarkerPacket& packet);

    uint32_t markerId() const { return id_; }
    uint32_t markerType() const { return type_; }
    QByteArray text() const { return text_; }
    int64_t startTimeUnixMicroSecs() const { return start_; }
    // 0 while open, and after a refused close.
    int64_t endTimeUnixMicroSecs() const { return end_; }
    double startTimeUnixSecs() const { return double(start_) / 1000000.0; }
    double endTimeUnixSecs() const { return double(end_) / 1000000.0; }
    int64_t durationMicroSecs() const { return end_ == 0 ? 0 : end_ - start_; }
    double durationSecs() const { return double(durationMicroSecs()) / 1000000.0; }
    bool isComplete() const { return end_ != 0; }

    // Ends the interval at `unixSeconds` when that is after the start; else
    // logs a warning, leaves it open and returns false.
    bool close(double unixSeconds);
    // "lbl=<text> id=<id>:<type> start=<ISO> end=<ISO> dur=<seconds>s"
    QString toNiceString() const;

private:
    uint32_t id_ = 0;
    uint32_t type_ = 0;
    int64_t start_ = 0;
    int64_t end_ = 0;
    QByteArray text_;
};

} // namespace TolvaGse

Q_DECLARE_METATYPE(TolvaGse::Marker)
