// The second instrument's transfer-function maker: found as a static plugin
// under the mission's filter, its seven types through the process-wide
// factory, their curves against published constants and their text forms.
#include "tolvalib/tolvatransferfunc/tolvatransferfuncmaker.h"
#include "tolvalib/tolvatransferfunc/tolvatransferfuncs.h"

#include "gselib/database/transferfuncfactory.h"
#include "support/logcapture.h"
#include "support/qtprinters.h"
#include "tools/util/pluginmanager.h"

#include <QJsonObject>
#include <QPluginLoader>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

namespace {

const QString QT_TEXT = QStringLiteral("%1.%2.0").arg(QT_VERSION_MAJOR).arg(QT_VERSION_MINOR);

QRegularExpression missionFilter(const char* pattern)
{
    return QRegularExpression(QRegularExpression::wildcardToRegularExpression(QString::fromLatin1(pattern)),
                              QRegularExpression::CaseInsensitiveOption);
}

class TolvaMakerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        manager.setClassFilters({missionFilter("tolva*"), missionFilter("Generic*")});
        manager.loadPlugins(QStringList{});
        TransferFuncFactory::instance()->loadTransferFuncPlugins(&manager);
    }

    std::shared_ptr<TransferFunc> make(int id, std::vector<double> k)
    {
        std::shared_ptr<TransferFunc> f = TransferFuncFactory::instance()->makeTransferFunc(id, k, "x", "y");
        EXPECT_TRUE(f) << id;
        return f;
    }

    QObject owner;
    PluginManager manager{&owner};
};

// The thermistor curve written out independently of the code under test.
double steinhartHart(double r, double k3, double k4, double k5)
{
    const double l = std::log(r);
    return 1.0 / (k3 + k4 * l + k5 * std::pow(l, 3)) - 273.15;
}

} // namespace

TEST(TolvaMakerPlugin, IsAStaticPluginWithItsVersion)
{
    int found = 0;
    for (const QStaticPlugin& p : QPluginLoader::staticPlugins()) {
        const QJsonObject meta = p.metaData();
        if (meta.value("className").toString() != "TolvaTransferFuncMaker")
            continue;
        ++found;
        EXPECT_EQ(meta.value("IID").toString(), TransferFuncMakerInterface_iid);
        EXPECT_EQ(meta.value("MetaData").toObject().value("version").toString(), "1.0.56080f5");
        QObject* o = p.instance();
        ASSERT_NE(o, nullptr);
        EXPECT_EQ(o, p.instance());
        EXPECT_EQ(o->parent(), nullptr);
        EXPECT_NE(o->qt_metacast("TolvaTransferFuncMaker"), nullptr);
        EXPECT_NE(o->qt_metacast("TransferFuncMakerInterface"), nullptr);
        EXPECT_NE(o->qt_metacast(TransferFuncMakerInterface_iid), nullptr);
        EXPECT_EQ(o->qt_metacast(nullptr), nullptr);
    }
    EXPECT_EQ(found, 1);
}

TEST_F(TolvaMakerTest, LoadsUnderTheMissionFilterBesideTheGenericMaker)
{
    TestSupport::LogCapture log;
    TransferFuncFactory::instance()->loadTransferFuncPlugins(&manager);
    const QStringList texts = log.texts("transfer_func", DEBUG);
    EXPECT_TRUE(texts.contains("Loading transfer funcs from plugin: TolvaTransferFuncMaker VERSION=1.0.56080f5 "
                               "QT_VERSION="
                               + QT_TEXT))
        << texts.join('\n').toStdString();
    EXPECT_TRUE(texts.contains("Num IDs: 7"));
    EXPECT_TRUE(texts.contains("Total transfer func IDs loaded: 21"));
    EXPECT_TRUE(log.texts("transfer_func", WARN).isEmpty());
}

TEST_F(TolvaMakerTest, IdsAndDescriptions)
{
    TolvaTransferFuncMaker maker;
    EXPECT_EQ(maker.ids(), (std::unordered_set<int>{100, 101, 102, 104, 105, 106, 107}));
    for (int id : {103, 99, 108, 0})
        EXPECT_EQ(maker.makeTransferFunc(id, {1, 2, 3, 4, 5}, "", ""), nullptr) << id;

    const struct
    {
        int id;
        const char* description;
    } cases[] = {{100, "ADC to Ohms"},
                 {101, "TOLVA Thermistor ohms to degrees"},
                 {102, "TOLVA PRT ADC to degrees C"},
                 {104, "TOLVA 10k Thermistor ohms to degrees C"},
                 {105, "TOLVA CTL Thermistor ohms to degrees"},
                 {106, "TOLVA CTL AMUX Thermistor ohms to degrees"},
                 {107, "TOLVA PT 16x16 Double"}};
    for (const auto& c : cases)
        EXPECT_EQ(make(c.id, {1, 2, 3, 4, 5})->description(), c.description) << c.id;

    const QString sh = "Tc = 1/(K3 + K4 * lnR + K5 * pow(lnR,3)) - 273.15";
    EXPECT_EQ(make(100, {1})->equationAsString(), "(K1 * x) / (65536 - x)");
    EXPECT_EQ(make(101, {})->equationAsString(), "R = (K1 * x) / (K2 - x)\n" + sh);
    EXPECT_EQ(make(105, {})->equationAsString(), "R = (K1 * x) / (K2 - x)\n" + sh);
    EXPECT_EQ(make(104, {})->equationAsString(), "R = 1 / (4096/(5000*count) - 1/5000)" + sh);
    EXPECT_EQ(make(106, {})->equationAsString(), "R = K1 * (x - 32768) / (K2 - x)\n" + sh);
    EXPECT_EQ(make(102, {})->equationAsString(), "T = K1 * x - K2");
    EXPECT_EQ(make(107, {})->equationAsString(), "double value = upper 2 bytes + (lower 2 bytes/65536)");
}

TEST_F(TolvaMakerTest, CurvesAtTheirPoints)
{
    const double inf = std::numeric_limits<double>::infinity();
    const TOLVA_10kThermistorTransferFunc tenK;
    const std::vector<double> ctl = {18700.0, 4096.0, 0.0009354, 0.0002211, 1.275e-07};
    const struct
    {
        int id;
        std::vector<double> k;
        double x;
        double expected;
        double tolerance;
    } cases[] = {
        {100, {10000}, 32768, 10000.0, 0},
        {100, {10000}, 0, 0.0, 0},
        {100, {10000}, 65536, inf, 0},
        {101, {10, 1, 1, 0, 0}, 0.5, -272.15, 1e-12},
        {101, {10, 2, 1e-3, 2e-4, 1e-7}, 1.0, steinhartHart(10.0, 1e-3, 2e-4, 1e-7), 1e-9},
        {102, {0.5, 3}, 10, 2.0, 0},
        {105, ctl, 2048, steinhartHart(18700.0, 0.0009354, 0.0002211, 1.275e-07), 1e-9},
        {106, ctl, 32768, -273.15, 0},
        {106, {18700, 65536, 1e-3, 2e-4, 1e-7}, 49152, steinhartHart(18700.0, 1e-3, 2e-4, 1e-7), 1e-9},
        {107, {}, 65536.0, 1.0, 0},
        {107, {}, 98304.0, 1.5, 0},
        {107, {}, -1.0, -1.0 / 65536, 0},
        {107, {}, 2.9, 2.0 / 65536, 0},
        // Outside 32 bits: the low word, as two's complement; NaN reads as 0.
        {107, {}, 4294967295.0, -1.0 / 65536, 0},
        {107, {}, 4294967296.0 + 65536.0, 1.0, 0},
        {107, {}, 1e300, -1.0 / 65536, 0},
        {107, {}, std::nan(""), 0.0, 0},
        {107, {}, -2147483648.0, -32768.0, 0},
    };
    for (const auto& c : cases) {
        const double y = make(c.id, c.k)->apply(c.x);
        if (c.tolerance == 0)
            EXPECT_EQ(y, c.expected) << c.id << " at " << c.x;
        else
            EXPECT_NEAR(y, c.expected, c.tolerance) << c.id << " at " << c.x;
    }

    // The defaults of id 104: 2048 counts are 5000 ohms, and 10 kOhm (8192/3
    // counts) is the nominal 25 degrees C of a 10 kOhm thermistor.
    EXPECT_NEAR(1.0 / (tenK.coefficients()[0] / 2048 - tenK.coefficients()[1]), 5000.0, 1e-9);
    EXPECT_NEAR(make(104, tenK.coefficients())->apply(8192.0 / 3.0), 25.0, 0.001);
    EXPECT_NEAR(tenK.apply(8192.0 / 3.0), 25.0, 0.001);
}

TEST_F(TolvaMakerTest, ShortListsReadAsZero)
{
    // Rows may carry fewer coefficients than a curve reads; no read past the list.
    EXPECT_EQ(make(100, {})->apply(1000), 0.0);
    EXPECT_EQ(make(102, {})->apply(1000), 0.0);
    EXPECT_EQ(make(102, {2})->apply(1000), 2000.0);
    EXPECT_EQ(make(101, {10, 1})->asString(), TOLVA_ThermistorTransferFunc({10, 1, 0, 0, 0}).asString());
    EXPECT_EQ(make(101, {10, 1})->apply(0.5), std::numeric_limits<double>::infinity()); // K3..K5 all 0
    EXPECT_EQ(make(107, {7})->asString(), "7\t0.00000000\t0.00000000\t0.00000000\t0.00000000");
    EXPECT_EQ(TOLVA_Pt16x16DoubleTransferFunc().asString(), "0\t0.00000000\t0.00000000\t0.00000000\t0.00000000");
    EXPECT_TRUE(TOLVA_Pt16x16DoubleTransferFunc().coefficients().empty());
}

TEST(TolvaTransferFuncs, TextForms)
{
    EXPECT_EQ(TOLVA_PRTDegreesTransferFunc(0.5, 3).asString(), "0.50000000\t3.00000000");
    EXPECT_EQ(TOLVA_10kThermistorTransferFunc().asString(),
              "0.81920000\t0.00020000\t0.00112531\t0.00023471\t0.00000009");
    EXPECT_EQ(TOLVA_Pt16x16DoubleTransferFunc(std::vector<double>{2.6, 1, 2, 3, 4, 5}).asString(),
              "3\t1.00000000\t2.00000000\t3.00000000\t4.00000000");

    TOLVA_ThermistorTransferFunc t;
    t.change("1\t2");
    EXPECT_EQ(t.coefficients(), (std::vector<double>{1, 2, 0, 0, 0}));
    t.change("1\t2\t3\t4\t5\t6\t7");
    EXPECT_EQ(t.coefficients(), (std::vector<double>{1, 2, 3, 4, 5}));
    t.change("1\t\tx\t4");
    EXPECT_EQ(t.coefficients(), (std::vector<double>{1, 0, 0, 4, 0}));

    // Round trip at eight decimals changes the 10k curve slightly.
    TOLVA_10kThermistorTransferFunc tenK;
    TOLVA_10kThermistorTransferFunc back(tenK.asString());
    EXPECT_EQ(back.coefficients()[4], 0.00000009);
    EXPECT_NE(back.apply(8192.0 / 3.0), tenK.apply(8192.0 / 3.0));

    EXPECT_EQ(TOLVA_PRTDegreesTransferFunc(QString()).k1(), 0.0);
    EXPECT_EQ(TOLVA_PRTDegreesTransferFunc(QString()).k2(), 0.0);
    EXPECT_EQ(TOLVA_PRTDegreesTransferFunc().k1(), 1.0);
    EXPECT_EQ(TOLVA_CtlAmuxThermistorTransferFunc("7\t8").coefficients(), (std::vector<double>{7, 8, 0, 0, 0}));

    TOLVA_CtlThermistorTransferFunc ctl;
    const std::vector<double> before = ctl.coefficients();
    TOLVA_CtlThermistorTransferFunc& self = ctl;
    ctl = self;
    EXPECT_EQ(ctl.coefficients(), before);
    TOLVA_CtlThermistorTransferFunc copy(ctl);
    copy.change("1");
    EXPECT_EQ(ctl.coefficients(), before);

    const TOLVA_ADC2OhmsTransferFunc ohms;
    EXPECT_EQ(ohms.numerator(), (std::vector<double>{0, 1}));
    EXPECT_EQ(ohms.asString(), "2\t0\t1");
}
