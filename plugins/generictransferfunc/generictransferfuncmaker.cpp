#include "plugins/generictransferfunc/generictransferfuncmaker.h"

#include "conversion/coefficientlist.h"
#include "conversion/logtransferfunc.h"
#include "conversion/lookuptabletransferfunc.h"
#include "conversion/polytransferfunc.h"
#include "conversion/rationaltransferfunc.h"
#include "conversion/sensortransferfunc.h"
#include "conversion/twoscomplementtransferfunc.h"

namespace {
constexpr int FIRST_TYPE = 0;
constexpr int LAST_TYPE = 13;
// The most coefficients that a type below reads by position (K1 to K6).
constexpr std::size_t MOST_READ = 6;
} // namespace

std::unordered_set<int> GenericTransferFuncMaker::ids()
{
    std::unordered_set<int> out;
    for (int t = FIRST_TYPE; t <= LAST_TYPE; ++t)
        out.insert(t);
    return out;
}

std::shared_ptr<TransferFunc> GenericTransferFuncMaker::makeTransferFunc(int type,
                                                                         const std::vector<double>& coefficients,
                                                                         const std::string& name,
                                                                         const std::string& folder)
{
    // A row may carry fewer coefficients than a type reads (an engineering row
    // has two): the missing ones read as 0. The list itself is handed on unchanged.
    const std::vector<double> k = nr::paddedCoefficients(coefficients, MOST_READ);
    const double k1 = k[0];
    const double k2 = k[1];

    switch (type) {
    case 0:
        return std::make_shared<PolyTransferFunc>(0.0, 1.0, 0.0);
    case 1:
        return std::make_shared<PolyTransferFunc>(coefficients);
    case 2:
        // V = K1 * K2 * (x - 32768) / 65536
        return std::make_shared<ADC2VoltsTransferFunc>(-0.5 * k1 * k2, k1 * k2 / 65536.0, 0.0);
    case 3:
        // R = K2 * (x - K1) / (65536 - x)
        return std::make_shared<ADC2OhmsTransferFunc>(std::vector<double>{-(k1 * k2), k2},
                                                      std::vector<double>{65536.0, -1.0});
    case 4:
        return std::make_shared<DegreesTransferFunc>(coefficients);
    case 5:
        return std::make_shared<RSimDegreesTransferFunc>(k1, k2, k[2], k[3]);
    case 6:
        return std::make_shared<PRTDegreesTransferFunc>(k1, k2, k[2]);
    case 7:
        return std::make_shared<SenseWireTransferFunc>(coefficients);
    case 8:
        return std::make_shared<ThermistorTransferFunc>(coefficients);
    case 9:
        return std::make_shared<RawToDouble>(coefficients);
    case 10:
        return std::make_shared<NaturalLogTransferFunc>(coefficients);
    case 11:
        return std::make_shared<TwosComplementTransferFunc>(coefficients);
    case 12:
        return std::make_shared<LookupTableTransferFunc>(folder, name);
    case 13:
        return std::make_shared<LogTransferFunc>(coefficients);
    default:
        return nullptr;
    }
}
