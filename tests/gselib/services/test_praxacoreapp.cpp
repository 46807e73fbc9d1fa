// The application object is the process's one core application, so this
// program makes it in its own main, the way the Python module does at load
// time: argument count 0 and no arguments.
#include "gselib/services/praxacoreapp.h"

#include "gselib/services/configvek.h"
#include "gselib/database/transferfuncfactory.h"
#include "support/logcapture.h"
#include "support/tempdir.h"
#include "tools/logger/loggerclient.h"

#include <QDir>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <stdexcept>

namespace {

PraxaCoreApp* theApp = nullptr;

const QRegularExpression VERSION_TAIL(R"( Built: Qt (\d+\.\d+\.\d+) Runtime: Qt (\d+\.\d+\.\d+)$)");

// Restores the working folder that a test changes.
struct KeepCwd
{
    QString cwd = QDir::currentPath();
    ~KeepCwd() { QDir::setCurrent(cwd); }
};

} // namespace

TEST(PraxaCoreApp, StartsWithoutArgumentsAndSetsIdentityAndVersion)
{
    ASSERT_EQ(QCoreApplication::instance(), theApp);
    EXPECT_TRUE(QCoreApplication::arguments().isEmpty());
    EXPECT_EQ(QCoreApplication::organizationName(), "praxa");
    EXPECT_EQ(QCoreApplication::organizationDomain(), "praxa");
    EXPECT_EQ(appBundleIdentifier(), "com.praxa." + QCoreApplication::applicationName());

    const QString version = QCoreApplication::applicationVersion();
    EXPECT_TRUE(version.startsWith("0.0.0. Built: Qt ")) << version.toStdString();
    const QRegularExpressionMatch m = VERSION_TAIL.match(version);
    ASSERT_TRUE(m.hasMatch()) << version.toStdString();
    EXPECT_EQ(m.captured(2), QString::fromLatin1(qVersion()));
    EXPECT_EQ(m.captured(1).section('.', 0, 0), QString::number(QT_VERSION_MAJOR));
}

TEST(PraxaCoreApp, VersionTextTakesTheBuildTextAsItIs)
{
    const QString before = QCoreApplication::applicationVersion();
    sharedAppInit(nullptr, 12, 0, 7, "r%1-x");
    const QString v = QCoreApplication::applicationVersion();
    EXPECT_TRUE(v.startsWith("12.0.7.r%1-x Built: Qt ")) << v.toStdString();
    EXPECT_TRUE(VERSION_TAIL.match(v).hasMatch());
    QCoreApplication::setApplicationVersion(before);
}

TEST(PraxaCoreApp, LoadPluginsMakesOneManagerAndTakesTheLatestFilters)
{
    ASSERT_TRUE(theApp->pluginManager.isNull());
    TestSupport::TempDir tmp;
    TestSupport::LogCapture log;

    theApp->loadPlugins({tmp.path()}, {QRegularExpression("^NoSuchClass$")});
    ASSERT_FALSE(theApp->pluginManager.isNull());
    PluginManager* first = theApp->pluginManager;
    EXPECT_EQ(first->parent(), theApp);
    EXPECT_EQ(first->filtersString(), "['^NoSuchClass$']");
    EXPECT_EQ(log.count("Searching for plugins in: " + tmp.path()), 1);

    // No folders: the default plugin folder.
    log.clear();
    theApp->loadPlugins({}, {QRegularExpression("^Other$"), QRegularExpression("x")});
    EXPECT_EQ(theApp->pluginManager, first);
    EXPECT_EQ(theApp->findChildren<PluginManager*>().size(), 1);
    EXPECT_EQ(first->filtersString(), "['^Other$', 'x']");
    EXPECT_EQ(log.texts("plugin_manager").first(), "Loading static plugins that match ['^Other$', 'x']...");
    const QString defaultFolder = QDir(PluginManager::defaultPluginFolder(
                                           QCoreApplication::applicationDirPath(),
                                           PluginManager::fallbackPluginFolder()))
                                      .absolutePath();
    EXPECT_EQ(log.count("Searching for plugins in: " + defaultFolder), 1);

    // A manager destroyed early leaves the guarded pointer empty; the next load makes a new one.
    delete first;
    EXPECT_TRUE(theApp->pluginManager.isNull());
    theApp->loadPlugins({tmp.path()}, {});
    EXPECT_FALSE(theApp->pluginManager.isNull());
    EXPECT_EQ(theApp->pluginManager->filtersString(), "[]");

    // The start-up's filters: anchored, case-insensitive wildcards.
    const auto wildcard = [](const QString& w) {
        return QRegularExpression(QRegularExpression::wildcardToRegularExpression(w),
                                  QRegularExpression::CaseInsensitiveOption);
    };
    // A fresh manager: the unfiltered load above kept every static plugin.
    delete theApp->pluginManager.data();
    theApp->loadPlugins({tmp.path()}, {wildcard("kora*"), wildcard("Generic*")});
    const QList<QObject*> makers = theApp->pluginManager->loadedPluginsAsQObject<TransferFuncMakerInterface>();
    ASSERT_EQ(makers.size(), 1);
    EXPECT_STREQ(makers[0]->metaObject()->className(), "GenericTransferFuncMaker");
}

TEST(PraxaCoreApp, InitializeConfigVekEntersTheGseFolder)
{
    KeepCwd keep;
    TestSupport::TempDir home;
    TestSupport::ScopedEnv h("HOME", home.path().toUtf8());
    const QString ini = home.filePath("vek.INI");
    TestSupport::ScopedEnv e("INIVEK", ini.toUtf8());
    for (const char* d : {"g/gse", "g/defs", "g/viewers", "g/data"})
        QDir().mkpath(home.filePath(d));
    home.write("g/defs/db.txt", "x");
    const QString g = home.filePath("g");
    const QByteArray keys = "gse=" + (g + "/gse").toUtf8() + "\ntm_definitions=" + (g + "/defs").toUtf8()
                            + "\ntm_database=" + (g + "/defs/db.txt").toUtf8() + "\nviewers_root="
                            + (g + "/viewers").toUtf8() + "\ndata_root=" + (g + "/data").toUtf8() + "\n";
    home.write("vek.INI", "[VEK]\ndefault_group=lab_em\n[LAB_EM]\n" + keys + "[lab_em]\ngse=/nowhere\n");

    // An empty group takes the file's default group, upper-cased.
    TestSupport::LogCapture log;
    const QString start = QDir::currentPath();
    theApp->initializeConfigVek(QString());
    EXPECT_EQ(GseLib::ConfigVek::getDefaultGroup(), "LAB_EM");
    EXPECT_EQ(QDir::currentPath(), QDir(g + "/gse").canonicalPath());
    EXPECT_EQ(log.texts("app", INFO),
              QStringList{"changed dir from '" + start + "' to '" + QDir::currentPath() + "'"});

    // Already there: the message shows the same folder twice.
    log.clear();
    theApp->initializeConfigVek("LAB_EM");
    EXPECT_EQ(log.texts("app", INFO),
              QStringList{"changed dir from '" + QDir::currentPath() + "' to '" + QDir::currentPath() + "'"});

    // An invalid group throws before the working folder changes; the default group is set already.
    const QString here = QDir::currentPath();
    log.clear();
    EXPECT_THROW(theApp->initializeConfigVek("NO_SUCH_GROUP"), std::runtime_error);
    EXPECT_EQ(GseLib::ConfigVek::getDefaultGroup(), "NO_SUCH_GROUP");
    EXPECT_EQ(QDir::currentPath(), here);
    EXPECT_TRUE(log.texts("app").isEmpty());

    // A group that verifies but whose "gse" value is a file, not a folder: silent, folder kept.
    QByteArray gseIsFile = keys;
    gseIsFile.replace("gse=" + (g + "/gse").toUtf8(), "gse=" + (g + "/defs/db.txt").toUtf8());
    home.write("vek.INI", "[LAB_FILE]\n" + gseIsFile);
    EXPECT_NO_THROW(theApp->initializeConfigVek("LAB_FILE"));
    EXPECT_EQ(GseLib::ConfigVek::getDefaultGroup(), "LAB_FILE");
    EXPECT_EQ(QDir::currentPath(), here);
    EXPECT_TRUE(log.texts("app").isEmpty());

    // No group given and none in the file.
    EXPECT_THROW(theApp->initializeConfigVek(QString()), std::runtime_error);
}

TEST(PraxaCoreApp, InitializeLoggerStartsOneLoggerOfTheApplication)
{
    ASSERT_EQ(Logger::global, nullptr);
    theApp->initializeLogger(LoggerConfig::noLogging());
    ASSERT_NE(Logger::global, nullptr);
    Logger* first = Logger::global;
    EXPECT_EQ(first->parent(), theApp);
    EXPECT_FALSE(first->config().useServer);
    EXPECT_FALSE(first->config().stdOut || first->config().stdErr);

    theApp->initializeLogger(LoggerConfig::stdOutOnly());
    EXPECT_EQ(Logger::global, first);
    EXPECT_FALSE(Logger::global->config().stdOut);
}

namespace {

const char* TEARDOWN_CHILD = "PRAXA_TEST_TEARDOWN_CHILD";

// The host's road: the application object starts the logger and is destroyed at
// process end without an event loop ever running. Its logging client, on the
// logger thread, must still handle the message queued last and be destroyed there.
int teardownChild()
{
    QPointer<LoggerClientMsgSender> client;
    {
        static int appArgc = 0;
        PraxaCoreApp app(appArgc, nullptr, 0, 0, 0, QString());
        app.initializeLogger(LoggerConfig::stdOutOnly());
        if (Logger::global == nullptr)
            return 2;
        client = Logger::global->client();
        LOG_INFO("app", "last words before teardown");
    }
    if (Logger::global != nullptr)
        return 3;
    return client.isNull() ? 0 : 4;
}

} // namespace

TEST(PraxaCoreApp, DestroyingTheApplicationStopsTheLoggerAfterItsLastMessage)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(TEARDOWN_CHILD, "1");
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    ASSERT_TRUE(child.waitForFinished(60000));
    const QByteArray err = child.readAllStandardError();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << err.toStdString();
    EXPECT_EQ(child.exitCode(), 0) << "2: no logger, 3: logger left set, 4: client never destroyed\n"
                                   << err.toStdString();
    EXPECT_TRUE(child.readAllStandardOutput().contains("[INFO] last words before teardown"));
}

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsSet(TEARDOWN_CHILD))
        return teardownChild();
    ::testing::InitGoogleTest(&argc, argv);
    static int appArgc = 0;
    PraxaCoreApp app(appArgc, nullptr, 0, 0, 0, QString());
    theApp = &app;
    return RUN_ALL_TESTS();
}
