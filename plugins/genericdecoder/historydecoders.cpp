#include "plugins/genericdecoder/historydecoders.h"

#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/currentvaluetable.h"
#include "gselib/interpretation/history.h"
#include "plugins/genericdecoder/decodersupport_p.h"

using namespace GenericDecoding;

namespace {

using Statistic = double (Zevo::History::*)() const;

// history() throws std::out_of_range for an untracked id; the decode road reports it.
bool decodeStatistic(Statistic statistic, const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                     GseLib::DataItems& items, const GseLib::CurrentValueTable* cvt)
{
    if (!packet || !cvt)
        return false;
    const Zevo::History& history = cvt->history(static_cast<int>(row.dataId));
    const double value = (history.*statistic)();
    appendItem(items, unixTimeOf(*packet), 0.0, 0, 0).value = value;
    return true;
}

} // namespace

#define GSE_HISTORY_DECODER(Class, member, text)                                                             \
    QString Class::name() const                                                                              \
    {                                                                                                        \
        return QStringLiteral(text);                                                                         \
    }                                                                                                        \
    bool Class::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,                     \
                       GseLib::DataItems& items, const GseLib::CurrentValueTable* cvt) const                 \
    {                                                                                                        \
        return decodeStatistic(&Zevo::History::member, row, packet, items, cvt);                             \
    }

GSE_HISTORY_DECODER(HistoryMaxDecoder, maximum, "history_max")
GSE_HISTORY_DECODER(HistoryAvgDecoder, mean, "history_avg")
GSE_HISTORY_DECODER(HistoryMinDecoder, minimum, "history_min")
GSE_HISTORY_DECODER(HistoryRateDecoder, rate, "history_rate")
GSE_HISTORY_DECODER(HistorySumDecoder, sum, "history_sum")
GSE_HISTORY_DECODER(HistorySumOfSquaresDecoder, sumOfSquares, "history_sum_of_squares")

#undef GSE_HISTORY_DECODER
