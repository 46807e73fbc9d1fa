// Temperature-sensor transfer functions: conversions, padding of short
// coefficient lists, and their fixed-decimal text forms.
#include "conversion/sensortransferfunc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(DegreesTransferFunc, ConvertsThroughTheResistanceStage)
{
    // R = 1 / 32767; with K4 = K5 = 0 the result is 1 / K3 - 273.13.
    const DegreesTransferFunc deflt;
    EXPECT_DOUBLE_EQ(deflt.apply(32769.0), -272.13);
    EXPECT_EQ(deflt.coefficients(), (std::vector<double>{32768.0, 1.0, 1.0, 0.0, 0.0}));

    // A 10 kOhm NTC with its published Steinhart-Hart coefficients reads
    // 298.15 K at 10 kOhm; x = 49152 puts 10 kOhm on the divider.
    const DegreesTransferFunc ntc({32768.0, 10000.0, 1.129148e-3, 2.34125e-4, 8.76741e-8});
    EXPECT_NEAR(ntc.apply(49152.0), 298.15 - 273.13, 0.01);
    // Warmer thermistor, lower resistance, higher temperature.
    EXPECT_GT(ntc.apply(45000.0), ntc.apply(49152.0));
}

TEST(DegreesTransferFunc, ResistanceStageFollowsTheCoefficients)
{
    // K1 = 0 and x = 32768 give R = K2; K3 = 0, K4 = 1 give T = 1 / ln R - 273.13.
    const double e = std::exp(1.0);
    DegreesTransferFunc f(QStringLiteral("0\t%1\t0\t1\t0").arg(e, 0, 'g', 17));
    EXPECT_NEAR(f.apply(32768.0), 1.0 - 273.13, 1e-12);

    f.change(QStringLiteral("0\t%1\t0\t1\t0").arg(e * e, 0, 'g', 17));
    EXPECT_NEAR(f.apply(32768.0), 0.5 - 273.13, 1e-12);

    const DegreesTransferFunc copy(f);
    EXPECT_EQ(copy.apply(32768.0), f.apply(32768.0));
    DegreesTransferFunc assigned;
    assigned = f;
    EXPECT_EQ(assigned.apply(32768.0), f.apply(32768.0));
    f.change(QStringLiteral("0\t%1\t0\t1\t0").arg(e, 0, 'g', 17));
    EXPECT_NEAR(assigned.apply(32768.0), 0.5 - 273.13, 1e-12); // a copy has its own stage
}

TEST(SensorTransferFuncs, ShortListsReadMissingCoefficientsAsZero)
{
    // An engineering row gives two coefficients; the others are 0.
    const DegreesTransferFunc degrees(std::vector<double>{32768.0, 1.0});
    EXPECT_EQ(degrees.coefficients().size(), 5u);
    EXPECT_EQ(degrees.apply(32769.0), kInf - 273.13);
    EXPECT_EQ(degrees.asString(), "32768.00000000\t1.00000000\t0.00000000\t0.00000000\t0.00000000");

    const SenseWireTransferFunc sense(std::vector<double>{1.0, 2.0});
    EXPECT_EQ(sense.coefficients().size(), 6u);
    EXPECT_EQ(sense.apply(3.0), 1.0 + 2.0 * -3.0); // K6 = 0: a = -x

    const ThermistorTransferFunc thermistor(std::vector<double>{});
    EXPECT_EQ(thermistor.coefficients(), std::vector<double>(5, 0.0));
    EXPECT_TRUE(std::isnan(thermistor.apply(1.0)) || std::isinf(thermistor.apply(1.0)));

    // Longer lists keep their extra elements, which take no part.
    const ThermistorTransferFunc longer({10.0, 1.0, 1.0, 0.0, 0.0, 99.0, 98.0});
    EXPECT_EQ(longer.coefficients().size(), 7u);
    EXPECT_DOUBLE_EQ(longer.apply(5.0), ThermistorTransferFunc().apply(5.0));
}

TEST(RSimDegreesTransferFunc, QuadraticInTheComputedResistance)
{
    // Rp = 2 / (2 - 1) = 2; T = 1 * 2 + 5.
    const RSimDegreesTransferFunc f(2.0, 5.0, 1.0, 0.0);
    EXPECT_DOUBLE_EQ(f.apply(0.5), 7.0);
    // Rp = 3 / (4 - 1) = 1; T = 2 * 1 + 1 * 1 + 0.
    EXPECT_DOUBLE_EQ(RSimDegreesTransferFunc(3.0, 0.0, 1.0, 2.0).apply(0.25), 3.0);
    // x = 1 divides by zero: an IEEE value, not an error.
    EXPECT_FALSE(std::isfinite(RSimDegreesTransferFunc(1.0, 0.0, 1.0, 0.0).apply(1.0)));
    EXPECT_EQ(f.asString(), "2.00000000\t5.00000000\t1.00000000\t0.00000000");
    EXPECT_EQ(RSimDegreesTransferFunc().asString(), "1.00000000\t1.00000000\t0.00000000\t0.00000000");
}

TEST(PRTDegreesTransferFunc, InvertsTheCalibrationQuadratic)
{
    const PRTDegreesTransferFunc identity(0.0, 1.0, 0.0);
    for (double x : {-40.0, 0.0, 21.5, 300.0})
        EXPECT_EQ(identity.apply(x), x);

    EXPECT_EQ(PRTDegreesTransferFunc(100.0, 0.4, 1e-4).apply(100.0), 0.0);
    EXPECT_EQ(PRTDegreesTransferFunc(100.0, -0.4, 1e-4).apply(100.0), 0.0);

    // K2 = 0 picks the root of smaller magnitude, the negative one on a tie.
    EXPECT_EQ(PRTDegreesTransferFunc(0.0, 0.0, 1.0).apply(4.0), -2.0);

    // A platinum sensor, ADC = 1000 + 3.85 T - 5.8e-4 T^2: the physical root
    // comes back over the whole range.
    const PRTDegreesTransferFunc prt(1000.0, 3.85, -5.8e-4);
    for (double t : {-200.0, -40.0, 0.5, 25.0, 150.0, 600.0}) {
        const double adc = 1000.0 + 3.85 * t - 5.8e-4 * t * t;
        EXPECT_NEAR(prt.apply(adc), t, 1e-9) << t;
    }

    // Negative K2: the root nearer the linear estimate (x - K1) / K2 wins.
    // x = T^2 - 2T = 15 has the roots 5 and -3; the estimate is -7.5.
    EXPECT_DOUBLE_EQ(PRTDegreesTransferFunc(0.0, -2.0, 1.0).apply(15.0), -3.0);
    EXPECT_DOUBLE_EQ(PRTDegreesTransferFunc(0.0, 2.0, 1.0).apply(15.0), 3.0);

    // No real root: NaN, not an error.
    EXPECT_TRUE(std::isnan(PRTDegreesTransferFunc(0.0, 0.0, 1.0).apply(-4.0)));
    EXPECT_TRUE(std::isnan(PRTDegreesTransferFunc(0.0, 1.0, 1.0).apply(-4.0)));

    EXPECT_EQ(prt.asString(), "1000.00000000\t3.85000000\t-0.00058000");
}

TEST(SenseWireTransferFunc, PolynomialInTheDistanceFromTheReference)
{
    const SenseWireTransferFunc deflt;
    for (double x : {0.0, 100.0, 32768.0, 65535.0})
        EXPECT_EQ(deflt.apply(x), 32768.0 - x);

    // a = 10 - 8 = 2: 1 + 2*2 + 3*4 + 4*8 + 5*16.
    const SenseWireTransferFunc f({1.0, 2.0, 3.0, 4.0, 5.0, 10.0});
    EXPECT_EQ(f.apply(8.0), 129.0);
    EXPECT_EQ(f.asString(), "1.00000000\t2.00000000\t3.00000000\t4.00000000\t5.00000000\t10.00000000\t");
}

TEST(ThermistorTransferFunc, VoltageDivider)
{
    // R = (10 + 5) * 1 / (10 - 5) = 3; K4 = K5 = 0.
    const ThermistorTransferFunc deflt;
    EXPECT_DOUBLE_EQ(deflt.apply(5.0), -272.13);

    // x = K1 divides by zero: an IEEE value, not an error.
    EXPECT_FALSE(std::isfinite(deflt.apply(10.0)));
    // Just below K1 the resistance is huge and T approaches 0 K.
    const ThermistorTransferFunc f({10.0, 1.0, 0.0, 1.0, 0.0});
    EXPECT_NEAR(f.apply(10.0 - 1e-9), -273.13, 0.1);
    // R = (10 + 0) * e / 10 = e: T = 1 / 1 - 273.13.
    const ThermistorTransferFunc g({10.0, std::exp(1.0), 0.0, 1.0, 0.0});
    EXPECT_NEAR(g.apply(0.0), -272.13, 1e-12);
    // Cubic term: R = e, T = 1 / (1 + 1) - 273.13.
    const ThermistorTransferFunc h({10.0, std::exp(1.0), 0.0, 0.0, 2.0});
    EXPECT_NEAR(h.apply(0.0), 0.5 - 273.13, 1e-12);
}

TEST(SensorTransferFuncs, TextFormsRoundTripToEightDecimals)
{
    const std::vector<std::shared_ptr<TransferFunc>> originals = {
        std::make_shared<DegreesTransferFunc>(std::vector<double>{32768.5, 9876.54321, 1.129148e-3, 2.34125e-4, -8.5}),
        std::make_shared<RSimDegreesTransferFunc>(1.5, -2.25, 1e-3, 123.456789012),
        std::make_shared<PRTDegreesTransferFunc>(1000.0, 3.85, -5.8e-4),
        std::make_shared<SenseWireTransferFunc>(std::vector<double>{0.5, -1.0, 2.0, 3.0, 4.0, 32000.0}),
        std::make_shared<ThermistorTransferFunc>(std::vector<double>{10.0, 2.0, 1e-3, 2e-4, 3e-7}),
    };
    const std::vector<std::shared_ptr<TransferFunc>> fresh = {
        std::make_shared<DegreesTransferFunc>(),  std::make_shared<RSimDegreesTransferFunc>(),
        std::make_shared<PRTDegreesTransferFunc>(), std::make_shared<SenseWireTransferFunc>(),
        std::make_shared<ThermistorTransferFunc>(),
    };
    for (std::size_t i = 0; i < originals.size(); ++i) {
        fresh[i]->change(originals[i]->asString());
        EXPECT_EQ(fresh[i]->asString(), originals[i]->asString()) << i;
    }
    EXPECT_EQ(originals[0]->asString(),
              "32768.50000000\t9876.54321000\t0.00112915\t0.00023413\t-8.50000000");

    // The text constructors read the same form.
    EXPECT_EQ(DegreesTransferFunc(originals[0]->asString()).asString(), originals[0]->asString());
    EXPECT_EQ(SenseWireTransferFunc(originals[3]->asString()).asString(), originals[3]->asString());
    EXPECT_EQ(ThermistorTransferFunc(originals[4]->asString()).asString(), originals[4]->asString());
    EXPECT_EQ(RSimDegreesTransferFunc(originals[1]->asString()).asString(), originals[1]->asString());
    EXPECT_EQ(PRTDegreesTransferFunc(originals[2]->asString()).asString(), originals[2]->asString());
}

TEST(SensorTransferFuncs, ChangeFillsEveryCoefficient)
{
    // Missing and unparsable fields read as 0; the lists hold exactly their count.
    ThermistorTransferFunc thermistor;
    thermistor.change(QStringLiteral("1\t2"));
    EXPECT_EQ(thermistor.coefficients(), (std::vector<double>{1.0, 2.0, 0.0, 0.0, 0.0}));
    thermistor.change(QStringLiteral("1\t2\t3\t4\t5\t6\t7"));
    EXPECT_EQ(thermistor.coefficients().size(), 5u);

    SenseWireTransferFunc sense({1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0});
    sense.change(QStringLiteral("x\t\t9"));
    EXPECT_EQ(sense.coefficients(), (std::vector<double>{0.0, 0.0, 9.0, 0.0, 0.0, 0.0}));

    DegreesTransferFunc degrees(QString{});
    EXPECT_EQ(degrees.coefficients(), std::vector<double>(5, 0.0));

    RSimDegreesTransferFunc rsim(2.0, 5.0, 1.0, 0.0);
    rsim.change(QStringLiteral("2\t5"));
    EXPECT_EQ(rsim.asString(), "2.00000000\t5.00000000\t0.00000000\t0.00000000");
}

TEST(SensorTransferFuncs, FixedTexts)
{
    EXPECT_EQ(DegreesTransferFunc().equationAsString(),
              "R = K2 * (x - K1) / (65536 - x)\nT = 1 / (K3 + K4 * ln(R) + K5 * pow(ln(R),3)) - 273.13");
    EXPECT_EQ(DegreesTransferFunc().description(), "ADC to degrees");
    EXPECT_EQ(RSimDegreesTransferFunc().equationAsString(), "Rp = K1 * ((1 / x) - 1)\nT = K4 * Rp * Rp + K3 * Rp + K2");
    EXPECT_EQ(RSimDegreesTransferFunc().description(), "RSIM degrees");
    EXPECT_EQ(PRTDegreesTransferFunc().equationAsString(), "ADC = K1 + K2 * x + K3 * x * x\nT = quadRoot(ADC)");
    EXPECT_EQ(PRTDegreesTransferFunc().description(), "PRT ADC to degrees");
    EXPECT_EQ(SenseWireTransferFunc().equationAsString(), "a = K4 - ADC\nT = K3 * a * a + K2 * a + K1");
    EXPECT_EQ(SenseWireTransferFunc().description(), "Pyrosense ADC to degrees ");
    EXPECT_EQ(ThermistorTransferFunc().equationAsString(),
              "R = K2 * (V + 10) / (10 - V)\nT = 1 / (K3 + K4 * lnR + K5 * pow(lnR,3)");
    EXPECT_EQ(ThermistorTransferFunc().description(), "Thermistor volts to degrees");
}

} // namespace
