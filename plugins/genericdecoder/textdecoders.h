#pragma once
// Generic decoders of text (decode type 7) and raw bytes (decode type 61): one
// item per row, at the row's first offset. Made by GenericDecoderMaker and
// called by the hub's decode road. A text rank that points outside the packet
// ends the decode with std::out_of_range, which the decode road reports.
#include "gselib/interpretation/builtindecodetypes.h"
#include "gselib/interpretation/datainterpretation.h"

// With a byte order, the characters at offset - 1 + rank in the order of the
// ranks; without one, the bytes from the offset up to DECODE_ID2 bytes before
// the packet's end. A NUL byte ends the text either way.
class StringDecoder : public GseLib::Decoder
{
public:
    ~StringDecoder() override = default;
    int type() const override { return GseLib::DecodeType::StringDecoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};

// Up to the first byte-order entry's number of bytes from the offset, NULs
// included, never past the packet's end.
class BytesDecoder : public GseLib::Decoder
{
public:
    ~BytesDecoder() override = default;
    int type() const override { return GseLib::DecodeType::BytesDecoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};
