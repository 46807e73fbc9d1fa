#pragma once
// Generic decoders of fixed-width time fields (decode types 8, 28, 14, 9, 10,
// 21, 12): seconds with optional fractions, or nanoseconds, converted by the
// row's clock when it names one. The row that is its packet type's time data
// item takes its item times from the field itself, never from the packet.
// Made by GenericDecoderMaker and called by the hub's decode road.
#include "gselib/interpretation/builtindecodetypes.h"
#include "gselib/interpretation/datainterpretation.h"

// "TIME40": u32 seconds, big-endian.
class Time40Decoder : public GseLib::Decoder
{
public:
    ~Time40Decoder() override = default;
    int type() const override { return GseLib::DecodeType::Time40Decoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};

// "RTIME40": u32 seconds, little-endian.
class RTime40Decoder : public GseLib::Decoder
{
public:
    ~RTime40Decoder() override = default;
    int type() const override { return GseLib::DecodeType::RTime40Decoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};

// "TIME41": u32 seconds, u8 fraction of 1/256 s.
class Time41Decoder : public GseLib::Decoder
{
public:
    ~Time41Decoder() override = default;
    int type() const override { return GseLib::DecodeType::Time41Decoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};

// "TIME42": u32 seconds, u16 fraction of 1/65536 s.
class Time42Decoder : public GseLib::Decoder
{
public:
    ~Time42Decoder() override = default;
    int type() const override { return GseLib::DecodeType::Time42Decoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};

// "TIME44": u32 seconds, u32 microseconds.
class Time44Decoder : public GseLib::Decoder
{
public:
    ~Time44Decoder() override = default;
    int type() const override { return GseLib::DecodeType::Time44Decoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};

// "TIMENS": u64 nanoseconds.
class TimeNsDecoder : public GseLib::Decoder
{
public:
    ~TimeNsDecoder() override = default;
    int type() const override { return GseLib::DecodeType::TimeNsDecoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};

// "TIME12": u8 seconds, u16 fraction of 1/65536 s.
class Time12Decoder : public GseLib::Decoder
{
public:
    ~Time12Decoder() override = default;
    int type() const override { return GseLib::DecodeType::Time12Decoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};
