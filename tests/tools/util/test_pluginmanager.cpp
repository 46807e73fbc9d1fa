#include "tools/util/pluginmanager.h"

#include "support/logcapture.h"
#include "support/tempdir.h"
#include "testgreeter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QPointer>
#include <QStaticPlugin>
#include <gtest/gtest.h>

#include <memory>

// Static plugins of this test program. The moc output of this file holds their
// metadata; the registrations below mix instance functions and metadata so that
// one class appears with several versions.
class TestStaticAlpha : public QObject, public TestCounterInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID TestCounterInterface_iid FILE "testplugin/static_alpha_v1.json")
    Q_INTERFACES(TestCounterInterface)

public:
    int count() const override { return 1; }
};

class TestStaticAlphaV2Meta : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.praxa.test.Unused" FILE "testplugin/static_alpha_v2.json")
};

class TestStaticBeta : public QObject, public TestGreeterInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID TestGreeterInterface_iid FILE "testplugin/static_beta.json")
    Q_INTERFACES(TestGreeterInterface)

public:
    QString greet() const override { return QStringLiteral("beta"); }
};

extern const QStaticPlugin qt_static_plugin_TestStaticAlpha();
extern const QStaticPlugin qt_static_plugin_TestStaticAlphaV2Meta();
extern const QStaticPlugin qt_static_plugin_TestStaticBeta();

namespace {

template <typename T, int N>
QObject* extraInstance()
{
    static QPointer<QObject> object;
    if (!object)
        object = new T;
    return object;
}

// Registration order: Alpha 1.0, Alpha 2.0 (another object), Alpha 1.0 again
// (a third object), Beta without version, Beta without version again.
struct RegisterTestStaticPlugins
{
    RegisterTestStaticPlugins()
    {
        qRegisterStaticPluginFunction(qt_static_plugin_TestStaticAlpha());
        QStaticPlugin alpha2 = qt_static_plugin_TestStaticAlphaV2Meta();
        alpha2.instance = &extraInstance<TestStaticAlpha, 2>;
        qRegisterStaticPluginFunction(alpha2);
        QStaticPlugin alpha3 = qt_static_plugin_TestStaticAlpha();
        alpha3.instance = &extraInstance<TestStaticAlpha, 3>;
        qRegisterStaticPluginFunction(alpha3);
        qRegisterStaticPluginFunction(qt_static_plugin_TestStaticBeta());
        QStaticPlugin beta2 = qt_static_plugin_TestStaticBeta();
        beta2.instance = &extraInstance<TestStaticBeta, 2>;
        qRegisterStaticPluginFunction(beta2);
    }
} registerTestStaticPlugins;

const QString QT_TEXT = QStringLiteral("%1.%2.0").arg(QT_VERSION_MAJOR).arg(QT_VERSION_MINOR);

QString prop(const QObject* o, const char* name)
{
    return o->property(name).toString();
}

QRegularExpression onlyTests()
{
    return QRegularExpression(QStringLiteral("^Test"));
}

// Copies a built test plugin into a folder under the given file name.
QString placePlugin(const TestSupport::TempDir& tmp, const QString& relPath, const char* built)
{
    const QString target = tmp.filePath(relPath);
    QDir().mkpath(QFileInfo(target).absolutePath());
    if (!QFile::copy(QString::fromUtf8(built), target))
        throw std::runtime_error("cannot copy the test plugin");
    return QFileInfo(target).absoluteFilePath();
}

QList<TestGreeterInterface*> greeters(const PluginManager& m)
{
    QList<TestGreeterInterface*> out;
    for (QObject* o : m.loadedPluginsAsQObject<TestGreeterInterface>())
        out << qobject_cast<TestGreeterInterface*>(o);
    return out;
}

// A manager with a parent, as the application object makes it.
struct Managed
{
    std::unique_ptr<QObject> owner = std::make_unique<QObject>();
    PluginManager* manager = new PluginManager(owner.get());
};

} // namespace

TEST(PluginManagerText, FiltersStringMatchAndQtVersion)
{
    PluginManager m;
    EXPECT_EQ(m.filtersString(), "[]");
    EXPECT_TRUE(m.matchesFilter("Anything"));

    m.setClassFilters({QRegularExpression("A"), QRegularExpression("^B$")});
    EXPECT_EQ(m.filtersString(), "['A', '^B$']");
    EXPECT_TRUE(m.matchesFilter("xAx"));  // unanchored: anywhere in the name
    EXPECT_TRUE(m.matchesFilter("B"));
    EXPECT_FALSE(m.matchesFilter("BB"));
    EXPECT_FALSE(m.matchesFilter("a")); // case-sensitive unless the expression says otherwise

    // The start-up's wildcard filters: anchored and case-insensitive.
    m.setClassFilters({QRegularExpression(QRegularExpression::wildcardToRegularExpression("kora*"),
                                          QRegularExpression::CaseInsensitiveOption)});
    EXPECT_TRUE(m.matchesFilter("KoraDecoderMaker"));
    EXPECT_FALSE(m.matchesFilter("GenericKora"));

    EXPECT_EQ(m.metaQtVersionToString(QJsonObject{{"version", 0x060503}}), "6.5.3");
    EXPECT_EQ(m.metaQtVersionToString(QJsonObject{{"version", 0x7f060503}}), "6.5.3");
    EXPECT_EQ(m.metaQtVersionToString(QJsonObject{}), "0.0.0");
}

TEST(PluginManagerStatic, KeepsOneObjectPerClassAndVersion)
{
    Managed mm;
    PluginManager& m = *mm.manager;
    m.setClassFilters({onlyTests()});
    TestSupport::LogCapture log;

    // Alpha 1.0, Alpha 2.0 and Beta are kept; the second Alpha 1.0 and the second
    // Beta (both without version) are duplicates.
    EXPECT_EQ(m.loadPlugins(QStringList{}), 3);
    const QStringList lines = log.texts("plugin_manager", DEBUG);
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines.first(), "Loading static plugins that match ['^Test']...");
    EXPECT_TRUE(lines.contains("Loaded static plugin: CLASS=TestStaticAlpha VERSION=1.0 QT_VERSION=" + QT_TEXT));
    EXPECT_TRUE(lines.contains("Loaded static plugin: CLASS=TestStaticAlpha VERSION=2.0 QT_VERSION=" + QT_TEXT));
    EXPECT_TRUE(lines.contains("Loaded static plugin: CLASS=TestStaticBeta VERSION= QT_VERSION=" + QT_TEXT));
    EXPECT_EQ(log.count("Duplicate static plugin found: CLASS=TestStaticAlpha FILEPATH=TestStaticAlpha "
                        "VERSION=1.0 QT_VERSION=" + QT_TEXT),
              1);
    EXPECT_EQ(log.count("Duplicate static plugin found: CLASS=TestStaticBeta FILEPATH=TestStaticBeta "
                        "VERSION= QT_VERSION=" + QT_TEXT),
              1);
    EXPECT_EQ(lines.last(), "Loading dynamic plugins that match ['^Test']...");

    const QList<QObject*> counters = m.loadedPluginsAsQObject<TestCounterInterface>();
    ASSERT_EQ(counters.size(), 2);
    EXPECT_EQ(prop(counters[0], PluginManager::PROPERTY_PLUGIN_VERSION), "1.0");
    EXPECT_EQ(prop(counters[1], PluginManager::PROPERTY_PLUGIN_VERSION), "2.0");
    EXPECT_NE(counters[0], counters[1]);
    const QList<QObject*> beta = m.loadedPluginsAsQObject<TestGreeterInterface>();
    ASSERT_EQ(beta.size(), 1);
    EXPECT_EQ(prop(beta[0], PluginManager::PROPERTY_PLUGIN_PATH), "TestStaticBeta");
    EXPECT_EQ(prop(beta[0], PluginManager::PROPERTY_PLUGIN_FILENAME), "static");
    EXPECT_EQ(prop(beta[0], PluginManager::PROPERTY_PLUGIN_CLASS), "TestStaticBeta");
    EXPECT_EQ(prop(beta[0], PluginManager::PROPERTY_PLUGIN_QT_VERSION), QT_TEXT);
    const QJsonObject meta = beta[0]->property(PluginManager::PROPERTY_PLUGIN_METADATA).toJsonObject();
    EXPECT_EQ(meta.value("className").toString(), "TestStaticBeta");
    EXPECT_EQ(meta.value("MetaData").toObject().value("name").toString(), "beta without a version");

    // A second load finds all three again: duplicates, nothing added.
    log.clear();
    EXPECT_EQ(m.loadPlugins(QStringList{}), 0);
    EXPECT_EQ(log.count("Duplicate static plugin found: CLASS=TestStatic"), 5);
    EXPECT_EQ(log.count("Loaded static plugin"), 0);
    EXPECT_EQ(m.loadedPluginsAsQObject<TestCounterInterface>().size(), 2);

    // Filters that no class passes add nothing and print no per-plugin line.
    Managed other;
    other.manager->setClassFilters({QRegularExpression("^NoSuchClass$")});
    log.clear();
    EXPECT_EQ(other.manager->loadPlugins(QStringList{}), 0);
    EXPECT_EQ(log.texts("plugin_manager").size(), 2);
}

TEST(PluginManagerStatic, NoFiltersKeepsEveryRegisteredClass)
{
    Managed mm;
    TestSupport::LogCapture log;
    const int n = mm.manager->loadPlugins(QStringList{});
    EXPECT_EQ(log.texts("plugin_manager").first(), "Loading static plugins...");
    EXPECT_EQ(log.texts("plugin_manager").last(), "Loading dynamic plugins...");
    // Every registered record but the two test duplicates.
    EXPECT_EQ(n, QPluginLoader::staticPlugins().size() - 2);
}

TEST(PluginManagerDynamic, LoadsPluginsAndReportsFilesThatAreNone)
{
    TestSupport::TempDir tmp;
    const QString path = placePlugin(tmp, "a/libgreeter.so", GSE_TEST_PLUGIN_V1);
    tmp.write("a/notes.txt", "not a plugin\n");
    tmp.write("a/sub/libother.so", "in a sub-folder: not searched");
    const QString folder = tmp.filePath("a");

    Managed mm;
    PluginManager& m = *mm.manager;
    m.setClassFilters({onlyTests()});
    TestSupport::LogCapture log;
    EXPECT_EQ(m.loadPlugins(QStringList{folder}), 3 + 1);

    EXPECT_EQ(log.count("Searching for plugins in: " + folder), 1);
    const QStringList notes = log.texts("plugin_manager", DEBUG).filter("Could not load plugin: ");
    ASSERT_EQ(notes.size(), 1);
    EXPECT_TRUE(notes[0].startsWith("Could not load plugin: notes.txt Reason: "));
    EXPECT_GT(notes[0].size(), QString("Could not load plugin: notes.txt Reason: ").size());
    EXPECT_EQ(log.count("Loaded plugin: CLASS=TestGreeterPlugin FILEPATH=" + path
                        + " VERSION=1.0.0 QT_VERSION=" + QT_TEXT),
              1);

    // Listing: the static greeter first, then the dynamic one.
    const QList<QObject*> objects = m.loadedPluginsAsQObject<TestGreeterInterface>();
    ASSERT_EQ(objects.size(), 2);
    EXPECT_EQ(prop(objects[0], PluginManager::PROPERTY_PLUGIN_FILENAME), "static");
    QObject* dyn = objects[1];
    EXPECT_EQ(qobject_cast<TestGreeterInterface*>(dyn)->greet(), "v1");
    EXPECT_EQ(prop(dyn, PluginManager::PROPERTY_PLUGIN_PATH), path);
    EXPECT_EQ(prop(dyn, PluginManager::PROPERTY_PLUGIN_FILENAME), "libgreeter.so");
    EXPECT_EQ(prop(dyn, PluginManager::PROPERTY_PLUGIN_CLASS), "TestGreeterPlugin");
    EXPECT_EQ(prop(dyn, PluginManager::PROPERTY_PLUGIN_VERSION), "1.0.0");
    EXPECT_EQ(dyn->property(PluginManager::PROPERTY_PLUGIN_METADATA).toJsonObject().value("IID").toString(),
              TestGreeterInterface_iid);
    // The dynamic greeter implements no other interface.
    for (QObject* o : m.loadedPluginsAsQObject<TestCounterInterface>())
        EXPECT_EQ(prop(o, PluginManager::PROPERTY_PLUGIN_FILENAME), "static");

    // The loader belongs to the manager's parent, not to the manager.
    EXPECT_TRUE(m.findChildren<QPluginLoader*>().isEmpty());
    EXPECT_FALSE(mm.owner->findChildren<QPluginLoader*>().isEmpty());
}

TEST(PluginManagerDynamic, FilteredOutPluginIsNeitherListedNorCounted)
{
    TestSupport::TempDir tmp;
    placePlugin(tmp, "f/libgreeter.so", GSE_TEST_PLUGIN_V1);
    Managed mm;
    mm.manager->setClassFilters({QRegularExpression("^TestStaticBeta$")});
    TestSupport::LogCapture log;
    EXPECT_EQ(mm.manager->loadPlugins(QStringList{tmp.filePath("f")}), 1);
    EXPECT_EQ(log.count("TestGreeterPlugin"), 0);
    EXPECT_EQ(greeters(*mm.manager).size(), 1);
    EXPECT_EQ(greeters(*mm.manager).first()->greet(), "beta");
}

TEST(PluginManagerDynamic, LaterFileOfTheSameNameReplacesTheEarlier)
{
    TestSupport::TempDir tmp;
    const QString p1 = placePlugin(tmp, "one/libgreeter.so", GSE_TEST_PLUGIN_V1);
    const QString p2 = placePlugin(tmp, "two/libgreeter.so", GSE_TEST_PLUGIN_V2);

    Managed mm;
    PluginManager& m = *mm.manager;
    m.setClassFilters({QRegularExpression("^TestGreeterPlugin$")});
    TestSupport::LogCapture log;
    EXPECT_EQ(m.loadPlugins(QStringList{tmp.filePath("one"), tmp.filePath("two")}), 2);

    EXPECT_EQ(log.count("Duplicate plugin found: CLASS=TestGreeterPlugin FILEPATH=" + p1
                        + " VERSION=1.0.0 QT_VERSION=" + QT_TEXT),
              1);
    EXPECT_EQ(log.count("Unloading plugin: CLASS=TestGreeterPlugin FILEPATH=" + p1
                        + " VERSION=1.0.0 QT_VERSION=" + QT_TEXT),
              1);
    const QList<TestGreeterInterface*> g = greeters(m);
    ASSERT_EQ(g.size(), 1);
    EXPECT_EQ(g[0]->greet(), "v2");
    EXPECT_EQ(prop(m.loadedPluginsAsQObject<TestGreeterInterface>()[0], PluginManager::PROPERTY_PLUGIN_PATH), p2);
    // The replaced loader was deleted: only the kept one is left below the parent.
    EXPECT_EQ(mm.owner->findChildren<QPluginLoader*>().size(), 1);
}

TEST(PluginManagerDynamic, SameFolderTwiceKeepsOneLoader)
{
    TestSupport::TempDir tmp;
    placePlugin(tmp, "d/libgreeter.so", GSE_TEST_PLUGIN_V1);
    Managed mm;
    PluginManager& m = *mm.manager;
    m.setClassFilters({QRegularExpression("^TestGreeterPlugin$")});
    ASSERT_EQ(m.loadPlugins(QStringList{tmp.filePath("d")}), 1);
    TestSupport::LogCapture log;
    // The folder again, also written differently: the listed file is skipped.
    EXPECT_EQ(m.loadPlugins(QStringList{tmp.filePath("d"), tmp.filePath("d/../d/")}), 0);
    EXPECT_EQ(log.count("Duplicate plugin found"), 0);
    EXPECT_EQ(log.count("Unloading plugin"), 0);
    const QList<TestGreeterInterface*> g = greeters(m);
    ASSERT_EQ(g.size(), 1);
    EXPECT_EQ(g[0]->greet(), "v1"); // still loaded and usable
    EXPECT_EQ(mm.owner->findChildren<QPluginLoader*>().size(), 1);
}

TEST(PluginManagerDynamic, UnloadsByFolder)
{
    TestSupport::TempDir tmp;
    const QString a = placePlugin(tmp, "a/libgreeter_a.so", GSE_TEST_PLUGIN_V1);
    placePlugin(tmp, "b/libgreeter_b.so", GSE_TEST_PLUGIN_V2);
    Managed mm;
    PluginManager& m = *mm.manager;
    m.setClassFilters({QRegularExpression("^TestGreeterPlugin$")});
    ASSERT_EQ(m.loadPlugins(QStringList{tmp.filePath("a"), tmp.filePath("b")}), 2);
    ASSERT_EQ(greeters(m).size(), 2);

    TestSupport::LogCapture log;
    EXPECT_EQ(m.unloadPlugins(QStringList{}), 0);
    EXPECT_TRUE(log.messages().isEmpty());

    EXPECT_EQ(m.unloadPlugins(tmp.filePath("empty")), 0);
    EXPECT_EQ(log.texts("plugin_manager"), QStringList{"Unloading plugins from: " + tmp.filePath("empty")});

    // A path with "." and ".." parts names the same folder.
    log.clear();
    EXPECT_EQ(m.unloadPlugins(tmp.filePath("b/./../a")), 1);
    EXPECT_EQ(log.count("Unloading plugin: CLASS=TestGreeterPlugin FILEPATH=" + a + " VERSION=1.0.0"), 1);
    ASSERT_EQ(greeters(m).size(), 1);
    EXPECT_EQ(greeters(m)[0]->greet(), "v2");
    EXPECT_EQ(m.unloadPlugins(tmp.filePath("a")), 0);

    // The folder can be loaded again after it was unloaded.
    EXPECT_EQ(m.loadPlugins(QStringList{tmp.filePath("a")}), 1);
    EXPECT_EQ(m.unloadPlugins(QStringList{tmp.filePath("a"), tmp.filePath("b")}), 2);
    EXPECT_TRUE(greeters(m).isEmpty());
    EXPECT_TRUE(mm.owner->findChildren<QPluginLoader*>().isEmpty());
}

TEST(PluginManagerDynamic, FailedUnloadKeepsTheLoaderListed)
{
    TestSupport::TempDir tmp;
    placePlugin(tmp, "s/libgreeter.so", GSE_TEST_PLUGIN_V1);
    Managed mm;
    PluginManager& m = *mm.manager;
    // A first load whose filters reject the class leaves its loader holding the library.
    m.setClassFilters({QRegularExpression("^NoSuchClass$")});
    ASSERT_EQ(m.loadPlugins(QStringList{tmp.filePath("s")}), 0);
    m.setClassFilters({QRegularExpression("^TestGreeterPlugin$")});
    ASSERT_EQ(m.loadPlugins(QStringList{tmp.filePath("s")}), 1);

    TestSupport::LogCapture log;
    EXPECT_EQ(m.unloadPlugins(tmp.filePath("s")), 0);
    const QStringList failed = log.texts("plugin_manager", DEBUG).filter("Failed to unload plugin: ");
    ASSERT_EQ(failed.size(), 1);
    EXPECT_TRUE(failed[0].startsWith("Failed to unload plugin:  Reason: "));
    const QList<TestGreeterInterface*> g = greeters(m);
    ASSERT_EQ(g.size(), 1);
    EXPECT_EQ(g[0]->greet(), "v1");
    EXPECT_EQ(mm.owner->findChildren<QPluginLoader*>().size(), 2);
}

TEST(PluginManagerDynamic, UnloadPluginAndDestructor)
{
    TestSupport::LogCapture log;
    PluginManager bare;
    EXPECT_FALSE(bare.unloadPlugin(nullptr));
    EXPECT_TRUE(log.messages().isEmpty());

    TestSupport::TempDir tmp;
    placePlugin(tmp, "u/libgreeter.so", GSE_TEST_PLUGIN_V1);
    Managed mm;
    mm.manager->setClassFilters({QRegularExpression("^TestGreeterPlugin$")});
    ASSERT_EQ(mm.manager->loadPlugins(QStringList{tmp.filePath("u")}), 1);
    const QList<QPluginLoader*> loaders = mm.owner->findChildren<QPluginLoader*>();
    ASSERT_EQ(loaders.size(), 1);
    QPointer<QPluginLoader> loader = loaders[0];
    ASSERT_TRUE(loader->isLoaded());

    // Destroying the manager unloads its plugins but leaves the loaders to the parent.
    delete mm.manager;
    ASSERT_FALSE(loader.isNull());
    EXPECT_FALSE(loader->isLoaded());
}

TEST(PluginManagerDynamic, UnloadPluginCalledFromOutsideForgetsTheLoader)
{
    TestSupport::TempDir tmp;
    placePlugin(tmp, "o/libgreeter.so", GSE_TEST_PLUGIN_V1);
    Managed mm;
    PluginManager& m = *mm.manager;
    m.setClassFilters({QRegularExpression("^TestGreeterPlugin$")});
    ASSERT_EQ(m.loadPlugins(QStringList{tmp.filePath("o")}), 1);
    QPluginLoader* loader = mm.owner->findChildren<QPluginLoader*>().value(0);
    ASSERT_NE(loader, nullptr);
    EXPECT_TRUE(m.unloadPlugin(loader)); // deletes the loader
    EXPECT_TRUE(greeters(m).isEmpty());   // and the listing does not touch it
    EXPECT_EQ(m.unloadPlugins(tmp.filePath("o")), 0);
}

TEST(PluginManagerFolders, DefaultFolderFollowsTheBundleRule)
{
    TestSupport::TempDir tmp;
    const QString fallback = "/fallback/plugins";
    QDir().mkpath(tmp.filePath("plain/plugins"));
    QDir().mkpath(tmp.filePath("App.app/Contents/MacOS"));
    QDir().mkpath(tmp.filePath("App.app/Contents/plugins"));
    QDir().mkpath(tmp.filePath("lower/Contents/macos"));
    QDir().mkpath(tmp.filePath("lower/Contents/plugins"));
    QDir().mkpath(tmp.filePath("bare/bin"));
    QDir().mkpath(tmp.filePath("both/MacOS/plugins"));
    tmp.write("file/plugins", "a file, not a folder");

    EXPECT_EQ(PluginManager::defaultPluginFolder(tmp.filePath("plain"), fallback), tmp.filePath("plain/plugins"));
    EXPECT_EQ(PluginManager::defaultPluginFolder(tmp.filePath("App.app/Contents/MacOS"), fallback),
              tmp.filePath("App.app/Contents/plugins"));
    EXPECT_EQ(PluginManager::defaultPluginFolder(tmp.filePath("lower/Contents/macos"), fallback),
              tmp.filePath("lower/Contents/plugins"));
    EXPECT_EQ(PluginManager::defaultPluginFolder(tmp.filePath("bare/bin"), fallback), fallback);
    // A MacOS folder looks one level up only, even when it has "plugins" itself.
    EXPECT_EQ(PluginManager::defaultPluginFolder(tmp.filePath("both/MacOS"), fallback), fallback);
    EXPECT_EQ(PluginManager::defaultPluginFolder(tmp.filePath("file"), fallback), fallback);
}

TEST(PluginManagerFolders, EmptyPathMeansTheDefaultFolder)
{
    const QString expected = QDir(PluginManager::defaultPluginFolder(QCoreApplication::applicationDirPath(),
                                                                     PluginManager::fallbackPluginFolder()))
                                 .absolutePath();
    EXPECT_FALSE(expected.isEmpty());
    Managed mm;
    mm.manager->setClassFilters({QRegularExpression("^NoSuchClass$")});
    TestSupport::LogCapture log;
    mm.manager->loadPlugins(QString());
    mm.manager->loadPlugins();
    EXPECT_EQ(log.count("Searching for plugins in: " + expected), 2);
    mm.manager->unloadPlugins();
    EXPECT_EQ(log.count("Unloading plugins from: " + expected), 1);
}

TEST(PluginManagerFolders, FallbackIsBesideTheLibraryWhenThatExists)
{
    // The library lies in <build>/lib; its "plugins" folder is made for this test only.
    const QString besideLibrary = QStringLiteral(GSE_BINARY_DIR "/lib/plugins");
    const bool existed = QFileInfo(besideLibrary).isDir();
    if (!existed) {
        ASSERT_TRUE(QDir().mkpath(besideLibrary));
    }
    EXPECT_EQ(PluginManager::fallbackPluginFolder(), QDir::cleanPath(besideLibrary));
    if (!existed) {
        QDir().rmdir(besideLibrary);
        EXPECT_NE(PluginManager::fallbackPluginFolder(), QDir::cleanPath(besideLibrary));
        EXPECT_TRUE(PluginManager::fallbackPluginFolder().endsWith("/praxa/plugins"));
    }
}

#include "test_pluginmanager.moc"
