#pragma once
// The application object of every program built on the library: a core
// application that sets the organisation identity, opts out of App Nap, sets the
// version text and owns the process's plugin manager.
#include "tools/util/pluginmanager.h"

#include <QCoreApplication>
#include <QList>
#include <QPointer>
#include <QRegularExpression>
#include <QString>

class LoggerConfig;

class PraxaCoreApp : public QCoreApplication
{
    Q_OBJECT

public:
    // argc must outlive the application; argc 0 with no arguments is allowed.
    PraxaCoreApp(int& argc, char** argv, int major, int minor, int patch, QString build);
    ~PraxaCoreApp() override;

    // Starts the process-wide logger for this application (once per process).
    void initializeLogger(const LoggerConfig& config);

    // Makes a configuration group the default (the file's "default_group" when
    // empty), verifies it and moves the working folder into its "gse" folder.
    // Throws std::runtime_error when there is no default group or the group is invalid.
    void initializeConfigVek(const QString& group);

    // Creates the plugin manager on first use, sets its class filters and loads
    // the plugins of the folders, or of the default plugin folder when none is given.
    void loadPlugins(const QList<QString>& folders, const QList<QRegularExpression>& classFilters);

    // The plugin manager; empty until the first loadPlugins.
    QPointer<PluginManager> pluginManager;
};

// The shared start-up of the constructor: organisation, bundle identifier,
// App Nap opt-out and version text. The application pointer is not used.
void sharedAppInit(QCoreApplication* app, int major, int minor, int patch, QString build);

// "com.praxa." followed by the application name.
QString appBundleIdentifier();

// Runs the App Nap opt-out for a bundle; false where it failed or does not exist.
bool disableAppNap(const QString& bundleId);
