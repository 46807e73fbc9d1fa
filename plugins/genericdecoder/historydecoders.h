#pragma once
// Generic decoders of rolling-history statistics (decode types 51 to 56): one
// item holding a statistic of the history that the current value table keeps
// under the row's data id. The packet's bytes are not read. Made by
// GenericDecoderMaker; the decode road passes the table (without one they
// decode nothing; an untracked id throws std::out_of_range from the table).
#include "gselib/interpretation/builtindecodetypes.h"
#include "gselib/interpretation/datainterpretation.h"

class HistoryMaxDecoder : public GseLib::Decoder
{
public:
    ~HistoryMaxDecoder() override = default;
    int type() const override { return GseLib::DecodeType::HistoryMaxDecoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};

class HistoryAvgDecoder : public GseLib::Decoder
{
public:
    ~HistoryAvgDecoder() override = default;
    int type() const override { return GseLib::DecodeType::HistoryAvgDecoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};

class HistoryMinDecoder : public GseLib::Decoder
{
public:
    ~HistoryMinDecoder() override = default;
    int type() const override { return GseLib::DecodeType::HistoryMinDecoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};

// The least-squares slope of value against time.
class HistoryRateDecoder : public GseLib::Decoder
{
public:
    ~HistoryRateDecoder() override = default;
    int type() const override { return GseLib::DecodeType::HistoryRateDecoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};

class HistorySumDecoder : public GseLib::Decoder
{
public:
    ~HistorySumDecoder() override = default;
    int type() const override { return GseLib::DecodeType::HistorySumDecoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};

// The sum of squared deviations from the mean, not of the squared values.
class HistorySumOfSquaresDecoder : public GseLib::Decoder
{
public:
    ~HistorySumOfSquaresDecoder() override = default;
    int type() const override { return GseLib::DecodeType::HistorySumOfSquaresDecoder; }
    QString name() const override;
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* cvt) const override;
};
