#pragma once
// Loads the library's Qt plugins (the static ones linked into the process and
// every file of given folders), keeps those whose class names pass the class
// filters, and lists the kept plugin objects by interface.
#include <QList>
#include <QObject>
#include <QPluginLoader>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

class QJsonObject;

class PluginManager : public QObject
{
    Q_OBJECT

public:
    // Names of the dynamic properties set on every kept plugin object.
    static const char* PROPERTY_PLUGIN_PATH;
    static const char* PROPERTY_PLUGIN_FILENAME;
    static const char* PROPERTY_PLUGIN_CLASS;
    static const char* PROPERTY_PLUGIN_METADATA;
    static const char* PROPERTY_PLUGIN_VERSION;
    static const char* PROPERTY_PLUGIN_QT_VERSION;

    explicit PluginManager(QObject* parent = nullptr);
    ~PluginManager() override;

    // "['A', 'B']" for the filters A and B.
    QString filtersString() const;
    // True when there are no filters or one of them matches somewhere in the name.
    bool matchesFilter(const QString& className) const;
    // The Qt version that built a plugin, from its metadata's top-level "version".
    QString metaQtVersionToString(const QJsonObject& metaData) const;

    // The kept plugin objects implementing T: static ones first, then dynamic ones.
    template <typename T>
    QList<QObject*> loadedPluginsAsQObject() const
    {
        QList<QObject*> out;
        for (QObject* o : staticInstances) {
            if (o && qobject_cast<T*>(o))
                out.append(o);
        }
        for (QPluginLoader* loader : pluginLoaders) {
            QObject* o = loader && loader->isLoaded() ? loader->instance() : nullptr;
            if (o && qobject_cast<T*>(o))
                out.append(o);
        }
        return out;
    }

    // The folder that an empty path stands for: "plugins" in the application's
    // folder (or in its parent when that folder is a bundle's MacOS folder),
    // else the fallback. Pure apart from the existence test of that folder.
    static QString defaultPluginFolder(const QString& applicationDir, const QString& fallback);
    // The folder used when the application's folder has no "plugins": the
    // "plugins" folder beside the shared object that holds this library when
    // it exists, else the one fixed at build time.
    static QString fallbackPluginFolder();

public slots:
    void setClassFilters(const QList<QRegularExpression>& filters);
    int loadPlugins(const QString& pluginPath);
    int loadPlugins();
    int loadPlugins(const QStringList& pluginPaths);
    bool unloadPlugin(QPluginLoader* pluginLoader);
    int unloadPlugins(const QString& pluginPath);
    int unloadPlugins();
    int unloadPlugins(const QStringList& pluginPaths);

private:
    void setProperties(QObject* object, const QString& filePath, const QString& fileName,
                       const QJsonObject& metaData) const;
    int loadStaticPlugins();
    int loadFolder(const QString& folder);
    bool isListedPath(const QString& absoluteFilePath) const;
    static QString resolveFolder(const QString& pluginPath);

    QList<QObject*> staticInstances;
    QList<QPluginLoader*> pluginLoaders;
    QList<QRegularExpression> classFilters;
};
