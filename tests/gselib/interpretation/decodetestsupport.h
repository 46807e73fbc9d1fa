#pragma once
// Rows, packets, transfer functions and decoders made in code for the tests of
// the interpretation hub, so the decode road is tried without definition files.
#include "conversion/transferfunc.h"
#include "gselib/database/telemetrydatabase.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/ccsdspacket.h"

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace DecodeTest {

using namespace GseLib;

// a * x + b; counts its destruction when asked.
class LinearFunc : public TransferFunc
{
public:
    LinearFunc(double a, double b, int* destroyed = nullptr) : a_(a), b_(b), destroyed_(destroyed) {}
    ~LinearFunc() override
    {
        if (destroyed_)
            ++*destroyed_;
    }
    double apply(double x) const override { return a_ * x + b_; }
    QString asString() const override { return QString(); }
    void change(const QString&) override {}
    QString equationAsString() const override { return QStringLiteral("a*x+b"); }
    QString description() const override { return QStringLiteral("linear"); }

private:
    double a_;
    double b_;
    int* destroyed_;
};

// A decoder whose behaviour is a function, so each test says what it does.
class FnDecoder : public Decoder
{
public:
    using Fn = std::function<void(const FnDecoder&, const TmDatabaseRow&, const TMPacket*, DataItems&,
                                  const CurrentValueTable*)>;
    FnDecoder(int type, Fn fn, QString name = QString(), int* destroyed = nullptr)
        : type_(type), fn_(std::move(fn)), name_(std::move(name)), destroyed_(destroyed)
    {
    }
    ~FnDecoder() override
    {
        if (destroyed_)
            ++*destroyed_;
    }
    int type() const override { return type_; }
    QString name() const override { return name_; }
    bool decode(const TmDatabaseRow& row, const TMPacket* packet, DataItems& items,
                const CurrentValueTable* values) const override
    {
        fn_(*this, row, packet, items, values);
        return false; // the hub judges by the list
    }

private:
    int type_;
    Fn fn_;
    QString name_;
    int* destroyed_;
};

inline DataItem item(std::variant<double, long long, unsigned long long, std::string> v, int32_t offset = 0)
{
    DataItem i;
    i.value = std::move(v);
    i.offset = offset;
    return i;
}

// Big-endian 16-bit samples at the row's offsets; a sample past the packet ends the list.
inline FnDecoder::Fn be16()
{
    return [](const FnDecoder&, const TmDatabaseRow& row, const TMPacket* p, DataItems& items,
              const CurrentValueTable*) {
        const size_t size = p->bytes ? p->bytes->size() : 0;
        for (uint32_t o : row.offsets) {
            if (size < 2 || o > size - 2)
                return;
            const unsigned v = (unsigned((*p->bytes)[o]) << 8) | (*p->bytes)[o + 1];
            items.push_back(item((unsigned long long)v, int32_t(o)));
        }
    };
}

// One fixed item.
inline FnDecoder::Fn constant(std::variant<double, long long, unsigned long long, std::string> v)
{
    return [v](const FnDecoder&, const TmDatabaseRow&, const TMPacket*, DataItems& items,
               const CurrentValueTable*) { items.push_back(item(v)); };
}

inline TmDatabaseRow makeRow(uint32_t id, const std::string& key, uint32_t packetType, uint32_t decodeType,
                             std::vector<uint32_t> offsets = {})
{
    TmDatabaseRow row;
    row.dataId = id;
    const auto colon = key.find(':');
    row.subSystem = key.substr(0, colon);
    row.name = colon == std::string::npos ? std::string() : key.substr(colon + 1);
    row.key = key;
    row.packetType = packetType;
    row.decodeType = decodeType;
    row.offsets = std::move(offsets);
    return row;
}

// A CCSDS packet of the APID with the given bytes after the 6-byte header.
inline CcsdsPacket packet(int apid, const std::vector<uint8_t>& data = {}, int index = 0)
{
    CcsdsPacket p(6 + std::max<size_t>(data.size(), 1), apid, false, CcsdsPrimaryHeader::Unsegmented, index);
    std::copy(data.begin(), data.end(), p.bytes->begin() + 6);
    return p;
}

// A CCSDS packet reporting a subtype, as packet families with subtypes do.
class SubtypedPacket : public CcsdsPacket
{
public:
    SubtypedPacket(int apid, int subType)
        : CcsdsPacket(8, apid, false, CcsdsPrimaryHeader::Unsegmented, 0), subType_(subType)
    {
    }
    int subType() const override { return subType_; }

private:
    int subType_;
};

} // namespace DecodeTest
