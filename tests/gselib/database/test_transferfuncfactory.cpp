#include "gselib/database/transferfuncfactory.h"

#include "conversion/polytransferfunc.h"
#include "support/logcapture.h"
#include "tools/util/pluginmanager.h"

#include <QPluginLoader>
#include <QPointer>
#include <QStaticPlugin>
#include <gtest/gtest.h>

// Two makers of this test, registered as static plugins after the library's own.
// They borrow the generic maker's metadata record; the class name that the
// plugin manager and the factory see comes from the object.
class FakeMakerA : public QObject, public TransferFuncMakerInterface
{
    Q_OBJECT
    Q_INTERFACES(TransferFuncMakerInterface)
public:
    std::unordered_set<int> ids() override { return {0, 200, 201, 203}; }
    std::shared_ptr<TransferFunc> makeTransferFunc(int type, const std::vector<double>&, const std::string&,
                                                   const std::string&) override
    {
        if (type == 0)
            return std::make_shared<PolyTransferFunc>(100.0, 0.0, 0.0);
        if (type == 201)
            return std::make_shared<PolyTransferFunc>(7.0, 0.0, 0.0);
        return nullptr; // 200 and 203: offered, but not made
    }
};

class FakeMakerB : public QObject, public TransferFuncMakerInterface
{
    Q_OBJECT
    Q_INTERFACES(TransferFuncMakerInterface)
public:
    std::unordered_set<int> ids() override { return {201, 202, 203}; }
    std::shared_ptr<TransferFunc> makeTransferFunc(int type, const std::vector<double>& k,
                                                   const std::string& name, const std::string& folder) override
    {
        lastName = name;
        lastFolder = folder;
        lastCoefficients = k;
        if (type == 201)
            return std::make_shared<PolyTransferFunc>(8.0, 0.0, 0.0);
        if (type == 203)
            return std::make_shared<PolyTransferFunc>(9.0, 0.0, 0.0);
        return nullptr;
    }
    std::string lastName, lastFolder;
    std::vector<double> lastCoefficients;
};

extern const QStaticPlugin qt_static_plugin_GenericTransferFuncMaker();

namespace {

template <typename T>
QObject* fakeInstance()
{
    static QPointer<QObject> object;
    if (!object)
        object = new T;
    return object;
}

struct RegisterFakes
{
    RegisterFakes()
    {
        for (QtPluginInstanceFunction f : {&fakeInstance<FakeMakerA>, &fakeInstance<FakeMakerB>}) {
            QStaticPlugin p = qt_static_plugin_GenericTransferFuncMaker();
            p.instance = f;
            qRegisterStaticPluginFunction(p);
        }
    }
} registerFakes;

TransferFuncFactory& factory()
{
    return *TransferFuncFactory::instance();
}

} // namespace

// Must run before any load in this process: ctest runs each test in its own process.
TEST(TransferFuncFactory, BeforeTheFirstLoadEveryTypeIsTheIdentity)
{
    if (!factory().makers().empty())
        GTEST_SKIP() << "an earlier test of this process loaded makers";
    TestSupport::LogCapture log;
    auto f = factory().makeTransferFunc(0, {}, "", "");
    ASSERT_TRUE(f);
    EXPECT_DOUBLE_EQ(f->apply(-3.5), -3.5);
    EXPECT_EQ(log.texts("transfer_func", WARN), QStringList{"Unsupported sci eq type: 0"});
    EXPECT_EQ(factory().ids().size(), 0u);
}

TEST(TransferFuncFactory, MakersInLoadOrderWithDuplicateIds)
{
    QObject owner;
    PluginManager manager(&owner);
    manager.setClassFilters({QRegularExpression("^Fake"), QRegularExpression("^GenericTransferFuncMaker$")});
    manager.loadPlugins(QStringList{});

    TestSupport::LogCapture log;
    factory().loadTransferFuncPlugins(&manager);
    ASSERT_EQ(factory().makers().size(), 3u); // generic, A, B
    EXPECT_EQ(factory().ids().size(), 14u + 4u);
    // 0 (generic and A), 201 and 203 (A and B): one warning per id that a later maker offers again.
    QStringList warnings = log.texts("transfer_func", WARN);
    warnings.sort();
    EXPECT_EQ(warnings, (QStringList{"Duplicate transfer func id: 0", "Duplicate transfer func id: 201",
                                     "Duplicate transfer func id: 203"}));
    const QStringList debug = log.texts("transfer_func", DEBUG);
    EXPECT_EQ(debug.filter("Loading transfer funcs from plugin: ").size(), 3);
    EXPECT_TRUE(debug.contains("Loading transfer funcs from plugin: FakeMakerB VERSION=1.0.0 QT_VERSION="
                               + QStringLiteral("%1.%2.0").arg(QT_VERSION_MAJOR).arg(QT_VERSION_MINOR)));
    EXPECT_EQ(debug.filter("Num IDs: ").join('|'), "Num IDs: 14|Num IDs: 4|Num IDs: 3");
    EXPECT_EQ(debug.last(), "Total transfer func IDs loaded: 18");

    log.clear();
    EXPECT_DOUBLE_EQ(factory().makeTransferFunc(0, {}, "", "")->apply(5), 5.0);    // the generic maker is first
    EXPECT_DOUBLE_EQ(factory().makeTransferFunc(201, {}, "", "")->apply(5), 7.0);  // A before B
    EXPECT_DOUBLE_EQ(factory().makeTransferFunc(203, {1.5}, "n", "d")->apply(5), 9.0); // A makes none: B
    auto* b = qobject_cast<FakeMakerB*>(fakeInstance<FakeMakerB>());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->lastName, "n");
    EXPECT_EQ(b->lastFolder, "d");
    EXPECT_EQ(b->lastCoefficients, std::vector<double>{1.5});
    EXPECT_TRUE(log.texts("transfer_func", WARN).isEmpty());

    // Offered but made by nobody, and offered by nobody: the identity with a warning.
    EXPECT_DOUBLE_EQ(factory().makeTransferFunc(202, {}, "", "")->apply(5), 5.0);
    EXPECT_DOUBLE_EQ(factory().makeTransferFunc(200, {}, "", "")->apply(5), 5.0);
    EXPECT_DOUBLE_EQ(factory().makeTransferFunc(999, {}, "", "")->apply(5), 5.0);
    EXPECT_EQ(log.texts("transfer_func", WARN),
              (QStringList{"Unsupported sci eq type: 202", "Unsupported sci eq type: 200",
                           "Unsupported sci eq type: 999"}));
}

TEST(TransferFuncFactory, ReloadMirrorsTheManager)
{
    QObject owner;
    PluginManager all(&owner);
    all.setClassFilters({QRegularExpression("^Fake")});
    all.loadPlugins(QStringList{});
    factory().loadTransferFuncPlugins(&all);
    ASSERT_EQ(factory().makers().size(), 2u);
    auto made = factory().makeTransferFunc(201, {}, "", "");

    PluginManager genericOnly(&owner);
    genericOnly.setClassFilters({QRegularExpression("^GenericTransferFuncMaker$")});
    genericOnly.loadPlugins(QStringList{});
    factory().loadTransferFuncPlugins(&genericOnly);
    EXPECT_EQ(factory().makers().size(), 1u);
    EXPECT_EQ(factory().ids().size(), 14u);
    EXPECT_EQ(factory().ids().count(201), 0u);
    EXPECT_DOUBLE_EQ(made->apply(0), 7.0); // functions made earlier stay valid

    TestSupport::LogCapture log;
    factory().loadTransferFuncPlugins(nullptr);
    EXPECT_TRUE(factory().makers().empty());
    EXPECT_EQ(log.texts("transfer_func", DEBUG), QStringList{"Total transfer func IDs loaded: 0"});
}

TEST(TransferFuncFactory, MakerWhosePluginObjectIsGoneIsNotAsked)
{
    QObject owner;
    PluginManager manager(&owner);
    manager.setClassFilters({QRegularExpression("^FakeMakerA$")});
    manager.loadPlugins(QStringList{});
    factory().loadTransferFuncPlugins(&manager);
    ASSERT_EQ(factory().makers().size(), 1u);

    delete fakeInstance<FakeMakerA>();
    TestSupport::LogCapture log;
    EXPECT_DOUBLE_EQ(factory().makeTransferFunc(201, {}, "", "")->apply(2), 2.0);
    EXPECT_EQ(log.texts("transfer_func", WARN), QStringList{"Unsupported sci eq type: 201"});
    factory().loadTransferFuncPlugins(nullptr);
}

#include "test_transferfuncfactory.moc"
