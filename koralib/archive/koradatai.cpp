#include "koralib/archive/koradatai.h"

#include "gselib/database/dactable.h"
#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/packets/tmpacket.h"
#include "tools/logger/log.h"
#include "tools/util/bytes.h"
#include "tools/util/tools.h"

#include <QFile>

#include <iostream>
#include <limits>

namespace KorGse {

KorDataInterpretationFactory::~KorDataInterpretationFactory() = default;

std::unique_ptr<GseLib::DataInterpretation> KorDataInterpretationFactory::make()
{
    return std::make_unique<KorDataInterpretation>();
}

KorDataInterpretation::~KorDataInterpretation() = default;

void KorDataInterpretation::populateCustomDecoders()
{
    using namespace KorDataInterpretationImpl;
#define KORA_ADD_DECODER(Class) addDecoder(new Class);
#define KORA_ADD_DERIVED_DECODER(Class, Base) addDecoder(new Class);
    KORA_DECODER_LIST(KORA_ADD_DECODER, KORA_ADD_DERIVED_DECODER)
#undef KORA_ADD_DERIVED_DECODER
#undef KORA_ADD_DECODER
    LOG_INFO("koradatainterp", "Loaded KORA decoders");
}

void KorDataInterpretation::populateDacTable(GseLib::DacTable& table, const QString& path)
{
    QFile file(path);
    if (!Tools::openPlainFile(file))
        return;
    table.filePath = path;
    table.read(file, path);
}

namespace KorDataInterpretationImpl {

DecoderFrame::DecoderFrame(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                           const char* signature)
    : row_(row), packet_(packet), items_(items), signature_(signature), data_(packet)
{
    if (row.decodeIds.size() >= 4) {
        offset_ = row.decodeIds[0];
        length_ = uint32_t(row.decodeIds[1]);
        mask_ = row.decodeIds[2];
        shift_ = int(uint32_t(row.decodeIds[3]));
    }
}

bool DecoderFrame::overrun(uint64_t offset, uint64_t length) const
{
    std::cout << signature_ << ' ' << row_.key << ' ' << row_.dataId << " Out of bounds: "
              << "off(" << offset << ") + len(" << length << ") > dataLength(" << dataLength() << ")" << std::endl;
    return false;
}

void DecoderFrame::takeTimes()
{
    if (timesTaken_)
        return;
    timesTaken_ = true;
    if (packet_ && packet_->timeResolver) {
        unixTime_ = packet_->unixTime();
        relativeTime_ = packet_->relativeTime();
    }
}

void DecoderFrame::appendAtTicks(uint64_t offset, double value, long long ticks)
{
    GseLib::DataItem& item = items_.emplace_back();
    if (packet_ && packet_->timeResolver) {
        item.unixTime = packet_->unixTimeFromTicks(ticks);
        item.relativeTime = packet_->relativeTimeFromTicks(ticks);
    }
    item.offset = itemOffset(offset);
    item.count = int32_t(length_);
    item.value = value;
}

void DecoderFrame::appendSummary(double value, double timeOffset)
{
    takeTimes();
    GseLib::DataItem& item = items_.emplace_back();
    item.unixTime = unixTime_ + timeOffset;
    item.relativeTime = relativeTime_ + timeOffset;
    item.offset = -1;
    item.count = -1;
    item.value = value;
}

double extractMaifTimestampSecs(const unsigned char* p)
{
    return Bytes::decodeSimpleLE(p, 3, 2, 0xFFFF, 0) / 32000.0;
}

unsigned getMaifFpgaVersion(const unsigned char* p)
{
    const DbRow& row = GseLib::DataInterpretation::current()->db()->row(831u);
    const unsigned long v = Bytes::decodeSimple(p, unsigned(row.decodeIds[0]), unsigned(row.decodeIds[1]),
                                                row.decodeIds[2], int(uint32_t(row.decodeIds[3])));
    return unsigned((v >> 8) & 0xFF);
}

} // namespace KorDataInterpretationImpl

} // namespace KorGse
