#pragma once
// Turns one meta-marker rule into meta markers. The MetaMarkerCache builds one
// JsonBasedMetaMarkerGenerator per applicable rule and hands it every packet
// of the archive once, in order; the generator watches marker packets (type 9),
// message packets (type 8) and, through the message log, five test modes, and
// opens and closes meta markers accordingly.
#include "koralib/markers/metamarker.h"

#include <QJsonObject>
#include <QList>
#include <QRegularExpression>
#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace GseLib {
class TMPacket;
}

namespace KorGse {

class MetaMarkerGenerator
{
public:
    virtual ~MetaMarkerGenerator();
    // `newestRelativeTime`: the relative time of the newest packet of the
    // shared cache, the provisional end of a meta marker opening on pkt.
    virtual void ingestPkt(const std::shared_ptr<GseLib::TMPacket>& pkt, double newestRelativeTime) = 0;
    virtual QList<MetaMarker> metaMarkers() const = 0;
    virtual int metaMarkerId() const = 0;
};

// The matched line of a message packet (the first line holding a match of the
// condition's "regex"), or an empty string.
QString extractMatchedMessage(const std::shared_ptr<GseLib::TMPacket>& pkt, const QJsonObject& condition);

class JsonBasedMetaMarkerGenerator : public MetaMarkerGenerator
{
public:
    // Expects a validated rule; a key missing or of another type in a
    // condition makes that condition never hold.
    explicit JsonBasedMetaMarkerGenerator(const QJsonObject& rule);
    ~JsonBasedMetaMarkerGenerator() override;

    void ingestPkt(const std::shared_ptr<GseLib::TMPacket>& pkt, double newestRelativeTime) override;
    QList<MetaMarker> metaMarkers() const override { return markers; }
    int metaMarkerId() const override { return metaMarkerId_; }

    // The last announced test-mode states, in the order SEB test, high
    // voltage test, laser EBT, GC EBT, heater test.
    std::array<bool, 5> testModes() const { return {sebTest, highVoltageTest, laserEbt, gcEbt, heaterTest}; }

    // One trigger condition, parsed once per generator (the benchmark's
    // refresh budget leaves no room to re-read the JSON per packet).
    struct Condition
    {
        enum Kind { Other, Marker, Message, Duration, NextMarker };
        Kind kind = Other;
        // False when a key the kind needs is missing or mistyped.
        bool usable = false;
        // "marker": the integer part, usable only inside [-2^31, 2^32).
        uint32_t markerId = 0;
        double offset = 0.0;
        double seconds = 0.0;
        // Test flags: -1 absent, else 0 or 1.
        std::array<int8_t, 5> flags{-1, -1, -1, -1, -1};
        QRegularExpression regex;
    };

private:
    void updateState(const std::shared_ptr<GseLib::TMPacket>& pkt);
    bool tryToStartAMetaMarker(const std::shared_ptr<GseLib::TMPacket>& pkt, double newestRelativeTime);
    void tryToEndAMetaMarker(const std::shared_ptr<GseLib::TMPacket>& pkt, bool justStarted);
    bool flagsHold(const Condition& c) const;

    bool inProgress = false;
    int metaMarkerId_ = 0;
    std::string text;
    QJsonObject rule;
    QList<MetaMarker> markers;
    bool sebTest = false;
    bool highVoltageTest = false;
    bool laserEbt = false;
    bool gcEbt = false;
    bool heaterTest = false;
    uint32_t lastMsgLogIndex = 0;

    std::vector<Condition> startConditions;
    std::vector<Condition> endConditions;
};

} // namespace KorGse
