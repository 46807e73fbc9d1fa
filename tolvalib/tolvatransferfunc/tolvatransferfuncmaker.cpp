#include "tolvalib/tolvatransferfunc/tolvatransferfuncmaker.h"

#include "conversion/coefficientlist.h"
#include "tolvalib/tolvatransferfunc/tolvatransferfuncs.h"

std::unordered_set<int> TolvaTransferFuncMaker::ids()
{
    // There is no 103.
    return {100, 101, 102, 104, 105, 106, 107};
}

std::shared_ptr<TransferFunc> TolvaTransferFuncMaker::makeTransferFunc(int id, const std::vector<double>& k,
                                                                       const std::string&, const std::string&)
{
    switch (id) {
    case 100: {
        // A row may give no coefficient: K1 then reads as 0.
        const double k1 = k.empty() ? 0.0 : k[0];
        return std::make_shared<TOLVA_ADC2OhmsTransferFunc>(std::vector<double>{0.0, k1},
                                                            std::vector<double>{65536.0, -1.0});
    }
    case 101:
        return std::make_shared<TOLVA_ThermistorTransferFunc>(k);
    case 102: {
        const std::vector<double> two = nr::paddedCoefficients(k, 2);
        return std::make_shared<TOLVA_PRTDegreesTransferFunc>(two[0], two[1]);
    }
    case 104:
        return std::make_shared<TOLVA_10kThermistorTransferFunc>(k);
    case 105:
        return std::make_shared<TOLVA_CtlThermistorTransferFunc>(k);
    case 106:
        return std::make_shared<TOLVA_CtlAmuxThermistorTransferFunc>(k);
    case 107:
        return std::make_shared<TOLVA_Pt16x16DoubleTransferFunc>(k);
    default:
        return nullptr;
    }
}
