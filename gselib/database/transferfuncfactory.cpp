#include "gselib/database/transferfuncfactory.h"

#include "conversion/polytransferfunc.h"
#include "tools/logger/log.h"
#include "tools/util/pluginmanager.h"

namespace {
const char* COMPONENT = "transfer_func";
}

TransferFuncFactory* TransferFuncFactory::instance()
{
    static TransferFuncFactory factory;
    return &factory;
}

void TransferFuncFactory::loadTransferFuncPlugins(PluginManager* manager)
{
    makers_.clear();
    makerObjects_.clear();
    ids_.clear();
    if (manager) {
        const QList<QObject*> objects = manager->loadedPluginsAsQObject<TransferFuncMakerInterface>();
        for (QObject* object : objects) {
            auto* maker = object ? qobject_cast<TransferFuncMakerInterface*>(object) : nullptr;
            if (!maker)
                continue;
            LOG_DEBUG(COMPONENT,
                      "Loading transfer funcs from plugin: "
                          << object->property(PluginManager::PROPERTY_PLUGIN_PATH).toString()
                          << " VERSION=" << object->property(PluginManager::PROPERTY_PLUGIN_VERSION).toString()
                          << " QT_VERSION="
                          << object->property(PluginManager::PROPERTY_PLUGIN_QT_VERSION).toString());
            makers_.push_back(maker);
            makerObjects_.emplace_back(object);
            const std::unordered_set<int> offered = maker->ids();
            LOG_DEBUG(COMPONENT, "Num IDs: " << offered.size());
            for (int id : offered) {
                if (!ids_.insert(id).second)
                    LOG_WARN(COMPONENT, "Duplicate transfer func id: " << id);
            }
        }
    }
    LOG_DEBUG(COMPONENT, "Total transfer func IDs loaded: " << ids_.size());
}

std::shared_ptr<TransferFunc> TransferFuncFactory::makeTransferFunc(int type,
                                                                    const std::vector<double>& coefficients,
                                                                    const std::string& name,
                                                                    const std::string& folder)
{
    if (ids_.count(type) != 0) {
        for (std::size_t i = 0; i < makers_.size(); ++i) {
            if (makerObjects_[i].isNull())
                continue; // its plugin was unloaded since the makers were loaded
            std::shared_ptr<TransferFunc> f = makers_[i]->makeTransferFunc(type, coefficients, name, folder);
            if (f)
                return f;
        }
    }
    LOG_WARN(COMPONENT, "Unsupported sci eq type: " << type);
    return std::make_shared<PolyTransferFunc>(0.0, 1.0, 0.0);
}
