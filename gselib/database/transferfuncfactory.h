#pragma once
// Transfer functions are chosen by a numeric equation type and made by maker
// plugins. The factory collects the makers that the plugin manager has loaded
// and builds a function for a type.
#include "conversion/transferfunc.h"

#include <QObject>
#include <QPointer>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

class PluginManager;

// The plugin interface of a transfer-function maker.
class TransferFuncMakerInterface
{
public:
    virtual ~TransferFuncMakerInterface() = default;

    // The equation types that this maker makes.
    virtual std::unordered_set<int> ids() = 0;

    // A new function of the type, or an empty pointer when this maker does not
    // make it. The name is the row's free text for its function (a lookup
    // table's file name); the folder is the mission's definitions folder.
    virtual std::shared_ptr<TransferFunc> makeTransferFunc(int type,
                                                           const std::vector<double>& coefficients,
                                                           const std::string& name,
                                                           const std::string& folder) = 0;
};

#define TransferFuncMakerInterface_iid "com.praxa.gselib.TransferFuncMakerInterface"
Q_DECLARE_INTERFACE(TransferFuncMakerInterface, TransferFuncMakerInterface_iid)

class TransferFuncFactory
{
public:
    // The process-wide factory.
    static TransferFuncFactory* instance();

    TransferFuncFactory(const TransferFuncFactory&) = delete;
    TransferFuncFactory& operator=(const TransferFuncFactory&) = delete;

    // Replaces the registered makers by the manager's loaded plugins that
    // implement the maker interface (static ones first, in load order).
    void loadTransferFuncPlugins(PluginManager* manager);

    // The first function that a maker of the type makes; the identity, with a
    // warning, when no maker makes one. Never empty.
    std::shared_ptr<TransferFunc> makeTransferFunc(int type, const std::vector<double>& coefficients,
                                                   const std::string& name, const std::string& folder);

    const std::vector<TransferFuncMakerInterface*>& makers() const { return makers_; }
    const std::unordered_set<int>& ids() const { return ids_; }

private:
    TransferFuncFactory() = default;

    std::vector<TransferFuncMakerInterface*> makers_;
    // The plugin object of each maker: a maker whose object is gone is not asked.
    std::vector<QPointer<QObject>> makerObjects_;
    std::unordered_set<int> ids_;
};
