#include "gselib/services/praxacoreapp.h"

#include "gselib/services/configvek.h"
#include "tools/logger/log.h"
#include "tools/logger/loggerclient.h"
#include "tools/util/platformappnap.h"

#include <QDir>

namespace {
const QString ORGANISATION = QStringLiteral("praxa");
}

PraxaCoreApp::PraxaCoreApp(int& argc, char** argv, int major, int minor, int patch, QString build)
    : QCoreApplication(argc, argv)
{
    sharedAppInit(this, major, minor, patch, build);
}

PraxaCoreApp::~PraxaCoreApp()
{
    pluginManager.clear();
}

void PraxaCoreApp::initializeLogger(const LoggerConfig& config)
{
    Logger::initialize(this, config);
}

void PraxaCoreApp::initializeConfigVek(const QString& group)
{
    namespace CV = GseLib::ConfigVek;
    const QString chosen = group.isEmpty() ? CV::getDefaultGroupFromIni() : group;
    CV::setDefaultGroup(chosen);
    if (!CV::verify(chosen))
        CV::throwInvalidGroupException(chosen);

    const QString before = QDir::currentPath();
    if (QDir::setCurrent(CV::getGsePath(CV::getDefaultGroup())))
        LOG_INFO("app", "changed dir from '" << before << "' to '" << QDir::currentPath() << "'");
}

void PraxaCoreApp::loadPlugins(const QList<QString>& folders,
                               const QList<QRegularExpression>& classFilters)
{
    if (pluginManager.isNull())
        pluginManager = new PluginManager(this);
    pluginManager->setClassFilters(classFilters);
    if (!folders.isEmpty())
        pluginManager->loadPlugins(QStringList(folders));
    else
        pluginManager->loadPlugins(QString());
}

QString appBundleIdentifier()
{
    return QStringLiteral("com.%1.%2").arg(ORGANISATION, QCoreApplication::applicationName());
}

bool disableAppNap(const QString& bundleId)
{
    return PlatformAppNap::runOptOut(bundleId);
}

void sharedAppInit(QCoreApplication* app, int major, int minor, int patch, QString build)
{
    Q_UNUSED(app);
    QCoreApplication::setOrganizationDomain(ORGANISATION);
    QCoreApplication::setOrganizationName(ORGANISATION);
    disableAppNap(appBundleIdentifier());
    // One pass over the pattern, so a '%' in the build text stays as it is.
    QCoreApplication::setApplicationVersion(
        QStringLiteral("%1.%2.%3.%4 Built: Qt %5 Runtime: Qt %6")
            .arg(QString::number(major), QString::number(minor), QString::number(patch), build,
                 QStringLiteral(QT_VERSION_STR), QString::fromLatin1(qVersion())));
}
