#pragma once
// Generic decoders of numbers: unsigned and two's-complement integers with any
// byte order, mask and shift, a little-endian field at DECODE_ID1, and IEEE-754
// single and double values. Made by GenericDecoderMaker and called by the
// hub's decode road for rows of decode types 1 to 6.
#include "gselib/interpretation/builtindecodetypes.h"
#include "gselib/interpretation/datainterpretation.h"

// Decode type 3: per sample the bytes placed by the row's byte order, masked by
// DECODE_ID3 (0: all bits) and shifted right by DECODE_ID4.
class UnsignedDecoder : public GseLib::Decoder
{
public:
    ~UnsignedDecoder() override = default;
    int type() const override { return GseLib::DecodeType::UnsignedDecoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};

// Decode type 1: the unsigned decoding under its own type.
class SimpleDecoder : public UnsignedDecoder
{
public:
    ~SimpleDecoder() override = default;
    int type() const override { return GseLib::DecodeType::SimpleDecoder; }
    QString name() const override;
};

// Decode type 2: DECODE_ID2 bytes at DECODE_ID1 read little-endian, ANDed with
// DECODE_ID3 as it is, shifted by DECODE_ID4 (negative: to the left).
class SimpleDecoderLE : public GseLib::Decoder
{
public:
    ~SimpleDecoderLE() override = default;
    int type() const override { return GseLib::DecodeType::SimpleDecoderLE; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};

// Decode type 4: as type 3, then sign-extended from bit (set bits of the mask) - 1.
class TwosCompDecoder : public GseLib::Decoder
{
public:
    ~TwosCompDecoder() override = default;
    int type() const override { return GseLib::DecodeType::TwosCompDecoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};

// Decode type 5: 32 assembled bits as an IEEE-754 single, widened to double.
class FloatDecoder : public GseLib::Decoder
{
public:
    ~FloatDecoder() override = default;
    int type() const override { return GseLib::DecodeType::FloatDecoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};

// Decode type 6: 64 assembled bits as an IEEE-754 double.
class DoubleDecoder : public GseLib::Decoder
{
public:
    ~DoubleDecoder() override = default;
    int type() const override { return GseLib::DecodeType::DoubleDecoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};
