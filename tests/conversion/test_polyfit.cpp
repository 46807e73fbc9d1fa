// Least-squares fitting, Gauss-Jordan elimination, the work-array
// allocators and the relative comparison of doubles.
#include "conversion/nrutil.h"
#include "conversion/polyfit.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct ReferenceFit {
    const char* name;
    int order;
    std::vector<double> x;
    std::vector<double> y;
    std::vector<double> coefficients; // constant term first
    double residualSumOfSquares;
    double correlation;
};

// Computed independently with numpy 1.24 (numpy.polyfit with full=True for
// the polynomials, numpy.linalg.lstsq on the columns 1, sqrt(x), x for the
// negative order); the correlation is sqrt(1 - SSres / SStot).
const std::vector<ReferenceFit> kReferenceFits = {
    {"line", 1,
     {0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0},
     {3.437, 2.095, 1.045, -0.787, -1.415, -2.847, -4.218, -5.22, -7.085, -7.798},
     {3.405018181818182, -1.2631818181818175},
     0.47555487272727304, 0.9981985997534181},
    {"quadratic", 2,
     {-3.0, -2.5, -2.0, -1.5, -1.0, -0.5, 0.0, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0},
     {-10.796, -7.918, -5.562, -3.786, -2.037, -0.694, 0.592, 1.664, 2.321, 2.446, 2.357, 1.827, 1.389},
     {0.6799720279720262, 2.0140769230769227, -0.5942117882117877},
     0.23829192607392635, 0.999479552435352},
    {"cubic", 3,
     {0.0, 0.3333333333333333, 0.6666666666666666, 1.0, 1.3333333333333333, 1.6666666666666665, 2.0, 2.333333333333333, 2.6666666666666665, 3.0, 3.333333333333333, 3.6666666666666665, 4.0, 4.333333333333333, 4.666666666666666, 5.0},
     {-1.0408, -0.7973, -0.5953, -0.3072, -0.1158, 0.1333, 0.1796, 0.2952, 0.2261, 0.1348, -0.3574, -0.6915, -1.4512, -2.3194, -3.3861, -4.8255},
     {-1.0314108617131068, 0.5809459813277541, 0.2196296524682744, -0.09733847046915924},
     0.027282449785408003, 0.9995643629422807},
    {"offset_line", 1,
     {100.0, 105.0, 110.0, 115.0, 120.0, 125.0, 130.0, 135.0, 140.0},
     {2247.61, 2311.49, 2374.36, 2433.69, 2498.25, 2562.21, 2624.74, 2686.18, 2749.99},
     {993.5764444444472, 12.54289999999998},
     9.210607222222382, 0.9999804854574359},
    {"sqrt_basis", -1,
     {0.5, 1.0, 2.0, 3.0, 5.0, 8.0, 13.0, 21.0},
     {4.57, 6.117, 8.162, 10.202, 13.659, 18.571, 25.719, 36.835},
     {2.051127004321177, 2.9375370248477557, 1.0138123083905088},
     0.04559225158862456, 0.9999735493566012},
    {"quartic", 4,
     {-1.0, -0.9, -0.8, -0.7, -0.6, -0.5, -0.3999999999999999, -0.29999999999999993, -0.19999999999999996, -0.09999999999999998, 0.0, 0.10000000000000009, 0.20000000000000018, 0.30000000000000004, 0.40000000000000013, 0.5, 0.6000000000000001, 0.7000000000000002, 0.8, 0.9000000000000001, 1.0},
     {-0.41615, -0.2272, -0.0292, 0.16997, 0.36236, 0.5403, 0.69671, 0.82534, 0.92106, 0.98007, 1.0, 0.98007, 0.92106, 0.82534, 0.69671, 0.5403, 0.36236, 0.16997, -0.0292, -0.2272, -0.41615},
     {0.9979008522585238, 2.4079514401261424e-16, -1.958176957011222, -6.697594924612775e-16, 0.5464344277340641},
     6.70115792938552e-05, 0.9999929407646139},
};

bool near(double actual, double expected, double relative)
{
    return std::fabs(actual - expected) <= relative * std::max(1.0, std::fabs(expected));
}

TEST(PolyFit, MatchesAnIndependentLeastSquaresSolver)
{
    for (const ReferenceFit& ref : kReferenceFits) {
        SCOPED_TRACE(ref.name);
        const int n = static_cast<int>(ref.x.size());
        std::vector<double> coef(ref.coefficients.size(), -99.0);
        double chisq = -1.0;
        ASSERT_EQ(PolyFit(ref.x.data(), ref.y.data(), n, ref.order, coef.data(), &chisq), 0);
        for (std::size_t j = 0; j < coef.size(); ++j)
            EXPECT_TRUE(near(coef[j], ref.coefficients[j], 1e-9)) << j << ": " << coef[j] << " vs " << ref.coefficients[j];
        EXPECT_NEAR(chisq, ref.residualSumOfSquares, 1e-9 * std::max(1.0, ref.residualSumOfSquares));
        EXPECT_NEAR(CorrelationCoefficient(ref.y.data(), unsigned(n), chisq), ref.correlation, 1e-12);

        // The residual sum is optional.
        std::vector<double> again(coef.size(), 0.0);
        ASSERT_EQ(PolyFit(ref.x.data(), ref.y.data(), n, ref.order, again.data(), nullptr), 0);
        EXPECT_EQ(again, coef);
    }
}

TEST(PolyFit, ExactData)
{
    const double x[] = {0.0, 1.0, 2.0};
    const double y[] = {1.0, 3.0, 5.0};
    double coef[2] = {0.0, 0.0};
    double chisq = 100.0;
    ASSERT_EQ(PolyFit(x, y, 3, 1, coef, &chisq), 0);
    EXPECT_NEAR(coef[0], 1.0, 1e-12);
    EXPECT_NEAR(coef[1], 2.0, 1e-12);
    EXPECT_NEAR(chisq, 0.0, 1e-20);
    EXPECT_NEAR(CorrelationCoefficient(y, 3, chisq), 1.0, 1e-12);

    // Negative order: the basis 1, sqrt(x), x.
    std::vector<double> sx, sy;
    for (double v : {0.0, 1.0, 4.0, 9.0, 16.0, 25.0}) {
        sx.push_back(v);
        sy.push_back(2.0 + 3.0 * std::sqrt(v) + v);
    }
    double three[3] = {0.0, 0.0, 0.0};
    ASSERT_EQ(PolyFit(sx.data(), sy.data(), int(sx.size()), -1, three, &chisq), 0);
    EXPECT_NEAR(three[0], 2.0, 1e-10);
    EXPECT_NEAR(three[1], 3.0, 1e-10);
    EXPECT_NEAR(three[2], 1.0, 1e-10);
    EXPECT_NEAR(chisq, 0.0, 1e-18);
}

TEST(PolyFit, SingularSystemsFailWithAMessage)
{
    const double x[] = {0.0, 1.0};
    const double y[] = {1.0, 2.0};
    double coef[3] = {7.0, 7.0, 7.0};
    double chisq = 5.0;
    testing::internal::CaptureStdout();
    const int result = PolyFit(x, y, 2, 2, coef, &chisq);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(result == 2 || result == 3) << result;
    EXPECT_EQ(out.rfind("NR ERR: GAUSSJ: Singular Matrix-", 0), 0u) << out;
    EXPECT_EQ(coef[0], 7.0); // nothing written on failure

    // No points at all.
    testing::internal::CaptureStdout();
    EXPECT_NE(PolyFit(x, y, 0, 1, coef, &chisq), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Singular Matrix"), std::string::npos);

    // An order whose coefficient count does not fit an int is refused.
    EXPECT_EQ(PolyFit(x, y, 2, INT_MAX, coef, &chisq), -1);
}

TEST(Lfit, WeightsCountLikeRepeatedPoints)
{
    // A point with sigma 1/sqrt(3) weighs as much as that point three times.
    const double x[] = {0.0, 1.0, 2.0, 3.0};
    const double y[] = {1.0, 2.5, 2.9, 4.4};
    const double sig[] = {1.0, 1.0 / std::sqrt(3.0), 1.0, 1.0};
    const double rx[] = {0.0, 1.0, 1.0, 1.0, 2.0, 3.0};
    const double ry[] = {1.0, 2.5, 2.5, 2.5, 2.9, 4.4};

    double weighted[2], repeated[2];
    double chiWeighted = 0.0, chiRepeated = 0.0;
    double** covar = nr_matrix(2, 2);
    ASSERT_NE(covar, nullptr);
    ASSERT_EQ(lfit(x, y, sig, 4, weighted, 2, covar, &chiWeighted, Polynomial), 0);
    ASSERT_EQ(lfit(rx, ry, nullptr, 6, repeated, 2, covar, &chiRepeated, Polynomial), 0);
    EXPECT_NEAR(weighted[0], repeated[0], 1e-12);
    EXPECT_NEAR(weighted[1], repeated[1], 1e-12);
    EXPECT_NEAR(chiWeighted, chiRepeated, 1e-12);

    // covar holds the inverse of the normal matrix [[6, 8], [8, 16]] of the repeated points.
    const double det = 6.0 * 16.0 - 64.0;
    EXPECT_NEAR(covar[0][0], 16.0 / det, 1e-12);
    EXPECT_NEAR(covar[0][1], -8.0 / det, 1e-12);
    EXPECT_NEAR(covar[1][0], -8.0 / det, 1e-12);
    EXPECT_NEAR(covar[1][1], 6.0 / det, 1e-12);
    free_nr_matrix(covar);

    // No work space for a non-positive coefficient count.
    testing::internal::CaptureStdout();
    double none[1];
    EXPECT_EQ(lfit(x, y, nullptr, 4, none, 0, nullptr, nullptr, Polynomial), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("NR ERR: allocation failure"), std::string::npos);
}

TEST(Gaussj, InvertsAndSolvesWithPivoting)
{
    // Zeros on the diagonal force row interchanges.
    const double source[3][3] = {{0.0, 2.0, 1.0}, {1.0, 0.0, 0.0}, {3.0, 0.0, 1.0}};
    double** a = nr_matrix(3, 3);
    double** b = nr_matrix(3, 2);
    ASSERT_TRUE(a && b);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            a[i][j] = source[i][j];
    // Right-hand sides: the matrix times (1, 2, 3) and times (-1, 0, 4).
    const double s1[3] = {1.0, 2.0, 3.0}, s2[3] = {-1.0, 0.0, 4.0};
    for (int i = 0; i < 3; ++i) {
        b[i][0] = source[i][0] * s1[0] + source[i][1] * s1[1] + source[i][2] * s1[2];
        b[i][1] = source[i][0] * s2[0] + source[i][1] * s2[1] + source[i][2] * s2[2];
    }
    ASSERT_EQ(gaussj(a, 3, b, 2), 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(b[i][0], s1[i], 1e-12);
        EXPECT_NEAR(b[i][1], s2[i], 1e-12);
    }
    // a is now the inverse: source * a = I.
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            double sum = 0.0;
            for (int k = 0; k < 3; ++k)
                sum += source[i][k] * a[k][j];
            EXPECT_NEAR(sum, i == j ? 1.0 : 0.0, 1e-12) << i << "," << j;
        }
    }
    // The row pointers still walk the block in order.
    EXPECT_EQ(a[1], a[0] + 3);
    EXPECT_EQ(a[2], a[0] + 6);
    free_nr_matrix(a);
    free_nr_matrix(b);
}

TEST(Gaussj, DegenerateSizesAndSingularMatrices)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(gaussj(nullptr, 0, nullptr, 0), 0);
    EXPECT_EQ(gaussj(nullptr, -5, nullptr, 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ""); // nothing allocated, nothing printed

    double** a = nr_matrix(2, 2);
    double** b = nr_matrix(2, 1);
    a[0][0] = 1.0, a[0][1] = 2.0, a[1][0] = 2.0, a[1][1] = 4.0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(gaussj(a, 2, b, 1), 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "NR ERR: GAUSSJ: Singular Matrix-2\n");

    // A NaN pivot candidate never wins the search.
    a[0][0] = kNaN, a[0][1] = kNaN, a[1][0] = kNaN, a[1][1] = kNaN;
    testing::internal::CaptureStdout();
    EXPECT_NE(gaussj(a, 2, b, 1), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Singular Matrix"), std::string::npos);
    free_nr_matrix(a);
    free_nr_matrix(b);
}

TEST(BasisFunctions, PowersAndSquareRoot)
{
    double p[4] = {9.0, 9.0, 9.0, 9.0};
    Polynomial(2.0, p, 4);
    EXPECT_EQ(std::vector<double>(p, p + 4), (std::vector<double>{1.0, 2.0, 4.0, 8.0}));
    double untouched = 5.0;
    Polynomial(2.0, &untouched, 0);
    EXPECT_EQ(untouched, 5.0);
    funky(4.0, p);
    EXPECT_EQ(std::vector<double>(p, p + 3), (std::vector<double>{1.0, 2.0, 4.0}));
}

TEST(CorrelationCoefficient, UsesTheFullPointCount)
{
    const double constant[] = {3.0, 3.0, 3.0};
    EXPECT_EQ(CorrelationCoefficient(constant, 3, 50.0), 1.0);
    EXPECT_EQ(CorrelationCoefficient(constant, 0, 50.0), 1.0);
    const double y[] = {0.0, 2.0}; // SS = 2
    EXPECT_DOUBLE_EQ(CorrelationCoefficient(y, 2, 0.5), std::sqrt(0.75));
    EXPECT_TRUE(std::isnan(CorrelationCoefficient(y, 2, 3.0)));

    // 70000 points: taken modulo 65536 only the first 4464 would count, and
    // they are constant.
    std::vector<double> many(70000, 1.0);
    for (std::size_t i = 65536; i < many.size(); i += 2)
        many[i] = 3.0;
    const double mean = fMean(many.data(), unsigned(many.size()));
    double ss = 0.0;
    for (double v : many)
        ss += (v - mean) * (v - mean);
    EXPECT_NEAR(CorrelationCoefficient(many.data(), unsigned(many.size()), ss / 4.0), std::sqrt(0.75), 1e-12);
}

TEST(FMean, UsesTheFullCount)
{
    const double v[] = {1.0, 2.0, 6.0};
    EXPECT_EQ(fMean(v, 3), 3.0);
    EXPECT_EQ(fMean(v, 1), 1.0);
    EXPECT_TRUE(std::isnan(fMean(v, 0)));
    std::vector<double> many(65537, 0.0);
    many.back() = 65537.0;
    EXPECT_EQ(fMean(many.data(), 65537), 1.0);
}

TEST(Allocators, ZeroFilledSingleBlocks)
{
    double** m = nr_matrix(3, 2);
    ASSERT_NE(m, nullptr);
    // Row pointers first, then the elements row after row.
    EXPECT_EQ(reinterpret_cast<char*>(m[0]), reinterpret_cast<char*>(m) + 3 * sizeof(double*));
    EXPECT_EQ(m[1], m[0] + 2);
    EXPECT_EQ(m[2], m[0] + 4);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(m[0][i], 0.0);
    free_nr_matrix(m);

    int** im = imatrix(2, 5);
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(im[1], im[0] + 5);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(im[0][i], 0);
    free_nr_imatrix(im);

    double* v = nr_vector(4);
    int* iv = nr_ivector(4);
    ASSERT_TRUE(v && iv);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(v[i], 0.0);
        EXPECT_EQ(iv[i], 0);
    }
    free_nr_vector(v);
    free_nr_ivector(iv);
}

TEST(Allocators, ImpossibleSizesFailWithTheirMessage)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(nr_vector(-1), nullptr);
    EXPECT_EQ(nr_ivector(0), nullptr);
    EXPECT_EQ(nr_matrix(-3, 2), nullptr);
    EXPECT_EQ(imatrix(2, 0), nullptr);
    EXPECT_EQ(nr_matrix(INT_MAX, INT_MAX), nullptr); // byte count beyond size_t
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "NR ERR: allocation failure in vector()\n"
              "NR ERR: allocation failure in nr_ivector()\n"
              "NR ERR: allocation failure in matrix()\n"
              "NR ERR: allocation failure in imatrix()\n"
              "NR ERR: allocation failure in matrix()\n");

    testing::internal::CaptureStdout();
    nrerror("custom text");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "NR ERR: custom text\n");
}

TEST(IsAlmostEqual, RelativeToTheSmallerMagnitude)
{
    EXPECT_TRUE(nr::isAlmostEqual(1.0, 1.0 + 1e-13, 1e-12));
    EXPECT_FALSE(nr::isAlmostEqual(1.0, 1.0 + 1e-11, 1e-12));
    EXPECT_TRUE(nr::isAlmostEqual(-5e200, -5e200 * (1 + 1e-13), 1e-12));
    EXPECT_FALSE(nr::isAlmostEqual(1.0, -1.0, 1e-12));
    EXPECT_TRUE(nr::isAlmostEqual(100.0, 110.0, 0.1));  // 10 <= 0.1 * 100
    EXPECT_FALSE(nr::isAlmostEqual(100.0, 111.0, 0.1));
    EXPECT_TRUE(nr::isAlmostEqual(3.0, 3.0, 0.0));
}

TEST(IsAlmostEqual, IeeeClasses)
{
    const double sub = DBL_MIN / 4.0;       // subnormal
    const double smallestNormal = DBL_MIN;  // 2.2250738585072014e-308
    ASSERT_EQ(std::fpclassify(sub), FP_SUBNORMAL);

    // Zeros: equal whatever their sign and the tolerance.
    EXPECT_TRUE(nr::isAlmostEqual(0.0, -0.0, 0.0));
    EXPECT_TRUE(nr::isAlmostEqual(-0.0, -0.0, 1e-12));
    EXPECT_FALSE(nr::isAlmostEqual(0.0, 1e-300, 1.0));   // zero against normal
    EXPECT_FALSE(nr::isAlmostEqual(0.0, sub, 1e300));    // zero against subnormal

    // Subnormals compare among themselves, never with normals.
    EXPECT_TRUE(nr::isAlmostEqual(sub, sub, 0.0));
    EXPECT_TRUE(nr::isAlmostEqual(sub, sub * 1.5, 0.5));
    EXPECT_FALSE(nr::isAlmostEqual(sub, sub * 1.5, 0.1));
    EXPECT_FALSE(nr::isAlmostEqual(std::nextafter(smallestNormal, 0.0), smallestNormal, 1.0));
    EXPECT_TRUE(nr::isAlmostEqual(smallestNormal, std::nextafter(smallestNormal, 1.0), 1e-12));

    // Infinities and NaN are never almost equal, not even to themselves.
    EXPECT_FALSE(nr::isAlmostEqual(kInf, kInf, 1e-12));
    EXPECT_FALSE(nr::isAlmostEqual(kInf, -kInf, 1e-12));
    EXPECT_FALSE(nr::isAlmostEqual(-kInf, kInf, 1.0));
    EXPECT_FALSE(nr::isAlmostEqual(kInf, DBL_MAX, 1e300));
    EXPECT_FALSE(nr::isAlmostEqual(kNaN, kNaN, 1e300));
    EXPECT_FALSE(nr::isAlmostEqual(kNaN, 1.0, 1e300));
    EXPECT_FALSE(nr::isAlmostEqual(0.0, kNaN, 1e300));

    EXPECT_TRUE(nr::isAlmostEqual(DBL_MAX, DBL_MAX, 0.0));
    EXPECT_FALSE(nr::isAlmostEqual(DBL_MAX, -DBL_MAX, 1e-12));
}

} // namespace
