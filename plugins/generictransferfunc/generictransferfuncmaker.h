#pragma once
// The built-in maker of the generic equation types 0 to 13, a Qt static plugin.
#include "gselib/database/transferfuncfactory.h"

#include <QObject>

class GenericTransferFuncMaker : public QObject, public TransferFuncMakerInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID TransferFuncMakerInterface_iid FILE "generictransferfuncmaker.json")
    Q_INTERFACES(TransferFuncMakerInterface)

public:
    GenericTransferFuncMaker() = default;
    ~GenericTransferFuncMaker() override = default;

    std::unordered_set<int> ids() override;
    std::shared_ptr<TransferFunc> makeTransferFunc(int type, const std::vector<double>& coefficients,
                                                   const std::string& name,
                                                   const std::string& folder) override;
};
