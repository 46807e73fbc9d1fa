// The built-in generic maker, found as a static plugin of the library and used
// through the process-wide factory, as the interpretation hub does.
#include "plugins/generictransferfunc/generictransferfuncmaker.h"

#include "conversion/polytransferfunc.h"
#include "conversion/sensortransferfunc.h"
#include "gselib/database/transferfuncfactory.h"
#include "support/logcapture.h"
#include "support/tempdir.h"
#include "tools/util/pluginmanager.h"

#include <QJsonObject>
#include <QPluginLoader>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace {

const QString QT_TEXT = QStringLiteral("%1.%2.0").arg(QT_VERSION_MAJOR).arg(QT_VERSION_MINOR);

// Loads the library's plugins into a fresh manager and registers their makers.
class GenericMakerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        manager.setClassFilters({QRegularExpression("^Generic")});
        manager.loadPlugins(QStringList{});
        TransferFuncFactory::instance()->loadTransferFuncPlugins(&manager);
    }

    std::shared_ptr<TransferFunc> make(int type, std::vector<double> k, const std::string& name = "",
                                       const std::string& folder = "")
    {
        std::shared_ptr<TransferFunc> f = TransferFuncFactory::instance()->makeTransferFunc(type, k, name, folder);
        EXPECT_TRUE(f) << type;
        return f;
    }

    QObject owner;
    PluginManager manager{&owner};
};

} // namespace

TEST(GenericMakerPlugin, IsAStaticPluginOfTheLibrary)
{
    int found = 0;
    for (const QStaticPlugin& p : QPluginLoader::staticPlugins()) {
        const QJsonObject meta = p.metaData();
        if (meta.value("className").toString() != "GenericTransferFuncMaker")
            continue;
        ++found;
        EXPECT_EQ(meta.value("IID").toString(), TransferFuncMakerInterface_iid);
        EXPECT_EQ(meta.value("MetaData").toObject().value("version").toString(), "1.0.0");
        QObject* o = p.instance();
        ASSERT_NE(o, nullptr);
        EXPECT_EQ(o, p.instance()); // one object per process
        EXPECT_EQ(o->parent(), nullptr);
        EXPECT_NE(o->qt_metacast("TransferFuncMakerInterface"), nullptr);
        EXPECT_NE(o->qt_metacast(TransferFuncMakerInterface_iid), nullptr);
        EXPECT_NE(qobject_cast<TransferFuncMakerInterface*>(o), nullptr);
    }
    EXPECT_EQ(found, 1);
}

TEST_F(GenericMakerTest, LoadLogShowsFourteenTypes)
{
    TestSupport::LogCapture log;
    TransferFuncFactory::instance()->loadTransferFuncPlugins(&manager);
    EXPECT_EQ(log.texts("transfer_func", DEBUG),
              (QStringList{"Loading transfer funcs from plugin: GenericTransferFuncMaker VERSION=1.0.0 QT_VERSION="
                               + QT_TEXT,
                           "Num IDs: 14", "Total transfer func IDs loaded: 14"}));
    EXPECT_TRUE(log.texts("transfer_func", WARN).isEmpty());
}

TEST_F(GenericMakerTest, EveryTypeMakesItsFunction)
{
    const char* descriptions[] = {"Polynomial",     "Polynomial",     "ADC to Volts",
                                  "ADC to Ohms",    "ADC to degrees", "RSIM degrees",
                                  "PRT ADC to degrees", "Pyrosense ADC to degrees ",
                                  "Thermistor volts to degrees", "Raw to double", "Natural log",
                                  "Twos comp. to signed", "Lookup table", "Log"};
    for (int type = 0; type <= 13; ++type)
        EXPECT_EQ(make(type, {1, 2, 3, 4, 5, 6, 7, 8})->description(), descriptions[type]) << type;

    EXPECT_DOUBLE_EQ(make(0, {5, 6})->apply(123.5), 123.5);
    auto poly = make(1, {1, 2, 3});
    EXPECT_DOUBLE_EQ(poly->apply(2), 17.0);
    EXPECT_EQ(std::dynamic_pointer_cast<PolyTransferFunc>(poly)->coefficients().size(), 3u); // list unchanged
    auto volts = make(2, {2, 5});
    EXPECT_DOUBLE_EQ(volts->apply(32768), 0.0);
    EXPECT_DOUBLE_EQ(volts->apply(65536), 5.0);
    EXPECT_DOUBLE_EQ(make(3, {0, 10000})->apply(32768), 10000.0);
    EXPECT_DOUBLE_EQ(make(3, {100, 2})->apply(1100), 2.0 * 1000 / (65536 - 1100));
    EXPECT_DOUBLE_EQ(make(5, {1, 2, 3, 4})->apply(0.5), 9.0); // Rp = 1; T = 4 + 3 + 2
    EXPECT_DOUBLE_EQ(make(9, {0, 1})->apply(1065353216.0), 1.0);
    EXPECT_DOUBLE_EQ(make(10, {1, 2})->apply(std::exp(1.0)), 3.0);
    EXPECT_DOUBLE_EQ(make(11, {16, 8})->apply(65408), -0.5);
    EXPECT_DOUBLE_EQ(make(13, {0, 1, 2})->apply(8), 3.0);

    // R = 10000 * (49152 - 32768) / (65536 - 49152) = 10000 ohms
    const double lnR = std::log(10000.0);
    EXPECT_NEAR(make(4, {32768, 10000, 1.1e-3, 2.4e-4, 1.5e-7})->apply(49152),
                1.0 / (1.1e-3 + 2.4e-4 * lnR + 1.5e-7 * lnR * lnR * lnR) - 273.13, 1e-9);

    TestSupport::TempDir defs;
    defs.write("lookupTables/curve.csv", "# x,y\n0,0\n10,100\n");
    auto table = make(12, {7, 8, 9}, "curve.csv", defs.path().toStdString());
    EXPECT_EQ(table->equationAsString(), "Lookup table (curve.csv)");
    EXPECT_DOUBLE_EQ(table->apply(5), 50.0);
}

TEST_F(GenericMakerTest, MissingCoefficientsReadAsZero)
{
    // An engineering row carries two coefficients; types 5 and 6 read four and three.
    auto rsim = make(5, {1, 2});
    EXPECT_DOUBLE_EQ(rsim->apply(0.5), 2.0); // Rp = 1; T = 0 + 0 + 2
    EXPECT_EQ(rsim->asString(), RSimDegreesTransferFunc(1, 2, 0, 0).asString());
    EXPECT_EQ(make(6, {1, 2})->asString(), PRTDegreesTransferFunc(1, 2, 0).asString());
    EXPECT_EQ(make(6, {})->asString(), PRTDegreesTransferFunc(0, 0, 0).asString());
    EXPECT_DOUBLE_EQ(make(2, {})->apply(1234), 0.0);
    EXPECT_DOUBLE_EQ(make(3, {7})->apply(1234), 0.0);
    EXPECT_EQ(make(13, {0, 1})->apply(8), 0.0); // base K3 missing: 0
    EXPECT_EQ(make(4, {32768, 10000})->asString(), DegreesTransferFunc({32768, 10000, 0, 0, 0}).asString());
}

TEST_F(GenericMakerTest, UnknownTypesGiveTheIdentityWithAWarning)
{
    TestSupport::LogCapture log;
    for (int type : {14, -1, 100}) {
        auto f = make(type, {3, 4});
        EXPECT_DOUBLE_EQ(f->apply(42.25), 42.25);
        EXPECT_EQ(f->description(), "Polynomial");
    }
    EXPECT_EQ(log.texts("transfer_func", WARN),
              (QStringList{"Unsupported sci eq type: 14", "Unsupported sci eq type: -1",
                           "Unsupported sci eq type: 100"}));

    GenericTransferFuncMaker direct;
    EXPECT_EQ(direct.makeTransferFunc(14, {}, "", ""), nullptr);
    EXPECT_EQ(direct.makeTransferFunc(-1, {}, "", ""), nullptr);
    EXPECT_EQ(direct.ids().size(), 14u);
    EXPECT_EQ(direct.ids().count(13), 1u);
    EXPECT_EQ(direct.ids().count(14), 0u);
}
