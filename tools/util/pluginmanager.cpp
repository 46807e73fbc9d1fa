#include "tools/util/pluginmanager.h"

#include "tools/logger/log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QJsonValue>
#include <QStaticPlugin>
#include <QVariant>

#include <dlfcn.h>

#ifndef GSE_PLUGIN_FALLBACK_DIR
#define GSE_PLUGIN_FALLBACK_DIR "/usr/local/lib/praxa/plugins"
#endif

const char* PluginManager::PROPERTY_PLUGIN_PATH = "PLUGIN_FILEPATH";
const char* PluginManager::PROPERTY_PLUGIN_FILENAME = "PLUGIN_FILENAME";
const char* PluginManager::PROPERTY_PLUGIN_CLASS = "PLUGIN_CLASS";
const char* PluginManager::PROPERTY_PLUGIN_METADATA = "PLUGIN_METADATA";
const char* PluginManager::PROPERTY_PLUGIN_VERSION = "PLUGIN_VERSION";
const char* PluginManager::PROPERTY_PLUGIN_QT_VERSION = "PLUGIN_QT_VERSION";

namespace {

const char* COMPONENT = "plugin_manager";

QString text(const QObject* object, const char* property)
{
    return object->property(property).toString();
}

QString className(const QObject* object)
{
    return QString::fromLatin1(object->metaObject()->className());
}

// The plugin's own version: "version" inside the metadata's "MetaData" object.
QString pluginVersion(const QJsonObject& metaData)
{
    const QJsonValue own = metaData.value(QStringLiteral("MetaData"));
    if (!own.isObject())
        return QString();
    const QJsonValue version = own.toObject().value(QStringLiteral("version"));
    return version.isString() ? version.toString() : QString();
}

// Some address inside this shared object, for dladdr.
void libraryAnchor() {}

// The loader's plugin object, without loading the library again when it was unloaded.
QObject* loadedInstance(QPluginLoader* loader)
{
    return loader && loader->isLoaded() ? loader->instance() : nullptr;
}

} // namespace

PluginManager::PluginManager(QObject* parent) : QObject(parent) {}

PluginManager::~PluginManager()
{
    for (QPluginLoader* loader : pluginLoaders) {
        if (loader)
            loader->unload();
    }
}

QString PluginManager::filtersString() const
{
    QStringList patterns;
    for (const QRegularExpression& f : classFilters)
        patterns << QLatin1Char('\'') + f.pattern() + QLatin1Char('\'');
    return QLatin1Char('[') + patterns.join(QStringLiteral(", ")) + QLatin1Char(']');
}

bool PluginManager::matchesFilter(const QString& name) const
{
    if (classFilters.isEmpty())
        return true;
    for (const QRegularExpression& f : classFilters) {
        if (f.match(name).hasMatch())
            return true;
    }
    return false;
}

QString PluginManager::metaQtVersionToString(const QJsonObject& metaData) const
{
    const qint64 v = metaData.value(QStringLiteral("version")).toInteger(0);
    return QStringLiteral("%1.%2.%3").arg((v >> 16) & 255).arg((v >> 8) & 255).arg(v & 255);
}

void PluginManager::setClassFilters(const QList<QRegularExpression>& filters)
{
    classFilters = filters;
}

void PluginManager::setProperties(QObject* object, const QString& filePath, const QString& fileName,
                                  const QJsonObject& metaData) const
{
    object->setProperty(PROPERTY_PLUGIN_PATH, filePath);
    object->setProperty(PROPERTY_PLUGIN_FILENAME, fileName);
    object->setProperty(PROPERTY_PLUGIN_CLASS, className(object));
    object->setProperty(PROPERTY_PLUGIN_METADATA, QVariant::fromValue(metaData));
    object->setProperty(PROPERTY_PLUGIN_VERSION, pluginVersion(metaData));
    object->setProperty(PROPERTY_PLUGIN_QT_VERSION, metaQtVersionToString(metaData));
}

QString PluginManager::defaultPluginFolder(const QString& applicationDir, const QString& fallback)
{
    QDir dir(applicationDir);
    if (dir.dirName().toLower() == QLatin1String("macos"))
        dir.setPath(QFileInfo(dir.absolutePath()).absolutePath());
    const QString plugins = dir.absoluteFilePath(QStringLiteral("plugins"));
    if (QFileInfo(plugins).isDir())
        return QDir::cleanPath(plugins);
    return fallback;
}

QString PluginManager::fallbackPluginFolder()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&libraryAnchor), &info) != 0 && info.dli_fname
        && *info.dli_fname) {
        const QString beside = QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absolutePath()
                               + QStringLiteral("/plugins");
        if (QFileInfo(beside).isDir())
            return QDir::cleanPath(beside);
    }
    return QStringLiteral(GSE_PLUGIN_FALLBACK_DIR);
}

QString PluginManager::resolveFolder(const QString& pluginPath)
{
    if (!pluginPath.isEmpty())
        return QDir(pluginPath).absolutePath();
    return QDir(defaultPluginFolder(QCoreApplication::applicationDirPath(), fallbackPluginFolder()))
        .absolutePath();
}

int PluginManager::loadPlugins(const QString& pluginPath)
{
    return loadPlugins(QStringList{resolveFolder(pluginPath)});
}

int PluginManager::loadPlugins()
{
    return loadPlugins(QString());
}

int PluginManager::loadPlugins(const QStringList& pluginPaths)
{
    int count = loadStaticPlugins();

    if (classFilters.isEmpty())
        LOG_DEBUG(COMPONENT, "Loading dynamic plugins...");
    else
        LOG_DEBUG(COMPONENT, "Loading dynamic plugins that match " << filtersString() << "...");
    for (const QString& folder : pluginPaths)
        count += loadFolder(folder);
    return count;
}

int PluginManager::loadStaticPlugins()
{
    if (classFilters.isEmpty())
        LOG_DEBUG(COMPONENT, "Loading static plugins...");
    else
        LOG_DEBUG(COMPONENT, "Loading static plugins that match " << filtersString() << "...");

    int count = 0;
    const QList<QStaticPlugin> plugins = QPluginLoader::staticPlugins();
    for (const QStaticPlugin& plugin : plugins) {
        QObject* object = plugin.instance ? plugin.instance() : nullptr;
        if (!object)
            continue;
        const QString cls = className(object);
        if (!matchesFilter(cls))
            continue;
        setProperties(object, cls, QStringLiteral("static"), plugin.metaData());

        const QString version = text(object, PROPERTY_PLUGIN_VERSION);
        bool duplicate = false;
        for (QObject* kept : std::as_const(staticInstances)) {
            if (!kept || text(kept, PROPERTY_PLUGIN_CLASS) != cls
                || text(kept, PROPERTY_PLUGIN_VERSION) != version)
                continue;
            duplicate = true;
            LOG_DEBUG(COMPONENT, "Duplicate static plugin found:"
                                     << " CLASS=" << text(kept, PROPERTY_PLUGIN_CLASS)
                                     << " FILEPATH=" << text(kept, PROPERTY_PLUGIN_PATH)
                                     << " VERSION=" << text(kept, PROPERTY_PLUGIN_VERSION)
                                     << " QT_VERSION=" << text(kept, PROPERTY_PLUGIN_QT_VERSION));
        }
        if (duplicate)
            continue;
        staticInstances.append(object);
        LOG_DEBUG(COMPONENT, "Loaded static plugin:"
                                 << " CLASS=" << cls << " VERSION=" << version
                                 << " QT_VERSION=" << text(object, PROPERTY_PLUGIN_QT_VERSION));
        ++count;
    }
    return count;
}

bool PluginManager::isListedPath(const QString& absoluteFilePath) const
{
    const QString wanted = QFileInfo(absoluteFilePath).canonicalFilePath();
    for (const QPluginLoader* loader : pluginLoaders) {
        if (!loader)
            continue;
        const QString held = QFileInfo(loader->fileName()).canonicalFilePath();
        if (held == absoluteFilePath || (!wanted.isEmpty() && held == wanted))
            return true;
    }
    return false;
}

int PluginManager::loadFolder(const QString& folder)
{
    LOG_DEBUG(COMPONENT, "Searching for plugins in: " << folder);

    int count = 0;
    const QFileInfoList entries = QDir(folder).entryInfoList(QDir::Files, QDir::NoSort);
    for (const QFileInfo& entry : entries) {
        const QString path = entry.absoluteFilePath();
        // A second loader of a listed file would share its plugin object, and the
        // same-file-name rule below would then unload the object just returned.
        if (isListedPath(path)) {
            LOG_DEBUG(COMPONENT, "Plugin already loaded: " << path);
            continue;
        }

        auto* loader = new QPluginLoader(path, parent());
        QObject* object = loader->instance();
        if (!object) {
            LOG_DEBUG(COMPONENT, "Could not load plugin: " << entry.fileName()
                                                           << " Reason: " << loader->errorString());
            continue;
        }
        const QString cls = className(object);
        if (!matchesFilter(cls))
            continue;
        setProperties(object, path, entry.fileName(), loader->metaData());

        const QString fileName = entry.fileName();
        for (qsizetype i = 0; i < pluginLoaders.size();) {
            QPluginLoader* listed = pluginLoaders.at(i);
            QObject* listedObject = loadedInstance(listed);
            if (!listedObject || text(listedObject, PROPERTY_PLUGIN_FILENAME) != fileName) {
                ++i;
                continue;
            }
            LOG_DEBUG(COMPONENT, "Duplicate plugin found:"
                                     << " CLASS=" << text(listedObject, PROPERTY_PLUGIN_CLASS)
                                     << " FILEPATH=" << text(listedObject, PROPERTY_PLUGIN_PATH)
                                     << " VERSION=" << text(listedObject, PROPERTY_PLUGIN_VERSION)
                                     << " QT_VERSION="
                                     << text(listedObject, PROPERTY_PLUGIN_QT_VERSION));
            // On success unloadPlugin has taken the loader out of the list.
            if (!unloadPlugin(listed))
                ++i;
        }

        pluginLoaders.append(loader);
        connect(loader, &QObject::destroyed, this,
                [this, loader] { pluginLoaders.removeAll(loader); });
        LOG_DEBUG(COMPONENT, "Loaded plugin:"
                                 << " CLASS=" << cls << " FILEPATH=" << path
                                 << " VERSION=" << text(object, PROPERTY_PLUGIN_VERSION)
                                 << " QT_VERSION=" << text(object, PROPERTY_PLUGIN_QT_VERSION));
        ++count;
    }
    return count;
}

bool PluginManager::unloadPlugin(QPluginLoader* pluginLoader)
{
    QObject* object = loadedInstance(pluginLoader);
    if (!object)
        return false;
    LOG_DEBUG(COMPONENT, "Unloading plugin:"
                             << " CLASS=" << className(object)
                             << " FILEPATH=" << text(object, PROPERTY_PLUGIN_PATH)
                             << " VERSION=" << text(object, PROPERTY_PLUGIN_VERSION)
                             << " QT_VERSION=" << text(object, PROPERTY_PLUGIN_QT_VERSION));
    if (!pluginLoader->unload()) {
        LOG_DEBUG(COMPONENT, "Failed to unload plugin: "
                                 << " Reason: " << pluginLoader->errorString());
        return false;
    }
    // Never leave a deleted loader in the list, whoever called.
    pluginLoaders.removeAll(pluginLoader);
    delete pluginLoader;
    return true;
}

int PluginManager::unloadPlugins(const QString& pluginPath)
{
    return unloadPlugins(QStringList{resolveFolder(pluginPath)});
}

int PluginManager::unloadPlugins()
{
    return unloadPlugins(QString());
}

int PluginManager::unloadPlugins(const QStringList& pluginPaths)
{
    int count = 0;
    for (const QString& folder : pluginPaths) {
        LOG_DEBUG(COMPONENT, "Unloading plugins from: " << folder);
        const QString absoluteFolder = QDir(folder).absolutePath();
        for (qsizetype i = 0; i < pluginLoaders.size();) {
            QPluginLoader* loader = pluginLoaders.at(i);
            QObject* object = loadedInstance(loader);
            if (!object
                || QFileInfo(text(object, PROPERTY_PLUGIN_PATH)).absolutePath() != absoluteFolder) {
                ++i;
                continue;
            }
            if (unloadPlugin(loader))
                ++count;
            else
                ++i;
        }
    }
    return count;
}
