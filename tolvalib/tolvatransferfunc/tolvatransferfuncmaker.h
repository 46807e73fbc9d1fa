#pragma once
// The second instrument's built-in maker of equation types 100, 101, 102 and
// 104 to 107, a Qt static plugin beside the generic maker's types 0 to 13. The
// transfer-function factory asks it for the rows that name these types.
#include "gselib/database/transferfuncfactory.h"

#include <QObject>

class TolvaTransferFuncMaker : public QObject, public TransferFuncMakerInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID TransferFuncMakerInterface_iid FILE "tolvatransferfuncmaker.json")
    Q_INTERFACES(TransferFuncMakerInterface)

public:
    TolvaTransferFuncMaker() = default;
    ~TolvaTransferFuncMaker() override = default;

    std::unordered_set<int> ids() override;
    // The two texts (a lookup table's name and folder for other makers) are not used.
    std::shared_ptr<TransferFunc> makeTransferFunc(int id, const std::vector<double>& coefficients,
                                                   const std::string& text1, const std::string& text2) override;
};
