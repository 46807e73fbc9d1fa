#include "conversion/polyfit.h"

#include "conversion/nrutil.h"

#include <climits>
#include <cmath>
#include <memory>
#include <utility>

namespace {

struct VectorFree {
    void operator()(double* v) const { free_nr_vector(v); }
    void operator()(int* v) const { free_nr_ivector(v); }
    void operator()(double** m) const { free_nr_matrix(m); }
};
using VectorPtr = std::unique_ptr<double, VectorFree>;
using IVectorPtr = std::unique_ptr<int, VectorFree>;
using MatrixPtr = std::unique_ptr<double*, VectorFree>;

void funkyBasis(double x, double* p, int)
{
    funky(x, p);
}

} // namespace

extern "C" {

void Polynomial(double x, double* p, int np)
{
    if (np < 1)
        return;
    p[0] = 1.0;
    for (int j = 1; j < np; ++j)
        p[j] = p[j - 1] * x;
}

void funky(double x, double* p)
{
    p[0] = 1.0;
    p[1] = std::sqrt(x);
    p[2] = x;
}

int gaussj(double** a, int n, double** b, int m)
{
    if (n < 1)
        return 0;
    // Per column: how often it was chosen as pivot; per pass: the pivot's row and column.
    IVectorPtr pivotCount(nr_ivector(n));
    IVectorPtr pivotRow(nr_ivector(n));
    IVectorPtr pivotColumn(nr_ivector(n));
    if (!pivotCount || !pivotRow || !pivotColumn)
        return 1;
    int* used = pivotCount.get();
    int* rowOf = pivotRow.get();
    int* colOf = pivotColumn.get();

    for (int pass = 0; pass < n; ++pass) {
        // Full pivoting: the largest element among rows and columns not yet pivoted.
        double largest = 0.0;
        int row = -1;
        int col = -1;
        for (int j = 0; j < n; ++j) {
            if (used[j] == 1)
                continue;
            for (int k = 0; k < n; ++k) {
                if (used[k] == 0) {
                    const double magnitude = std::fabs(a[j][k]);
                    if (magnitude >= largest) {
                        largest = magnitude;
                        row = j;
                        col = k;
                    }
                } else if (used[k] > 1) {
                    nrerror("GAUSSJ: Singular Matrix-1");
                    return 2;
                }
            }
        }
        if (row < 0) {
            // Only NaN candidates are left: no usable pivot.
            nrerror("GAUSSJ: Singular Matrix-2");
            return 3;
        }
        ++used[col];

        // Bring the pivot onto the diagonal; the column order is restored at the end.
        if (row != col) {
            for (int k = 0; k < n; ++k)
                std::swap(a[row][k], a[col][k]);
            for (int k = 0; k < m; ++k)
                std::swap(b[row][k], b[col][k]);
        }
        rowOf[pass] = row;
        colOf[pass] = col;

        const double pivot = a[col][col];
        if (pivot == 0.0) {
            nrerror("GAUSSJ: Singular Matrix-2");
            return 3;
        }
        const double scale = 1.0 / pivot;
        a[col][col] = 1.0;
        for (int k = 0; k < n; ++k)
            a[col][k] *= scale;
        for (int k = 0; k < m; ++k)
            b[col][k] *= scale;

        for (int r = 0; r < n; ++r) {
            if (r == col)
                continue;
            const double factor = a[r][col];
            a[r][col] = 0.0;
            for (int k = 0; k < n; ++k)
                a[r][k] -= a[col][k] * factor;
            for (int k = 0; k < m; ++k)
                b[r][k] -= b[col][k] * factor;
        }
    }

    for (int pass = n - 1; pass >= 0; --pass) {
        if (rowOf[pass] == colOf[pass])
            continue;
        for (int r = 0; r < n; ++r)
            std::swap(a[r][rowOf[pass]], a[r][colOf[pass]]);
    }
    return 0;
}

int lfit(const double* x, const double* y, const double* sig, int n, double* a, int ma, double** covar,
         double* chisq, BasisFunctions funcs)
{
    if (chisq != nullptr)
        *chisq = 0.0;
    MatrixPtr betaMatrix(nr_matrix(ma, 1));
    VectorPtr basisValues(nr_vector(ma));
    if (!betaMatrix || !basisValues)
        return -1;
    double** beta = betaMatrix.get();
    double* basis = basisValues.get();

    for (int j = 0; j < ma; ++j) {
        for (int k = 0; k < ma; ++k)
            covar[j][k] = 0.0;
        beta[j][0] = 0.0;
    }

    // Normal equations: the lower triangle of sum w f_j f_k, and sum w y f_j.
    for (int i = 0; i < n; ++i) {
        funcs(x[i], basis, ma);
        const double w = sig != nullptr ? 1.0 / (sig[i] * sig[i]) : 1.0;
        for (int j = 0; j < ma; ++j) {
            const double wt = basis[j] * w;
            for (int k = 0; k <= j; ++k)
                covar[j][k] += wt * basis[k];
            beta[j][0] += y[i] * wt;
        }
    }
    for (int j = 1; j < ma; ++j) {
        for (int k = 0; k < j; ++k)
            covar[k][j] = covar[j][k];
    }

    const int solved = gaussj(covar, ma, beta, 1);
    if (solved != 0)
        return solved;
    for (int j = 0; j < ma; ++j)
        a[j] = beta[j][0];

    if (chisq != nullptr) {
        for (int i = 0; i < n; ++i) {
            funcs(x[i], basis, ma);
            double fitted = 0.0;
            for (int j = 0; j < ma; ++j)
                fitted += a[j] * basis[j];
            double residual = y[i] - fitted;
            if (sig != nullptr)
                residual /= sig[i];
            *chisq += residual * residual;
        }
    }
    return 0;
}

int PolyFit(const double* x, const double* y, int n, int order, double* coef, double* chisq)
{
    // order + 1 must not overflow.
    if (order == INT_MAX)
        return -1;
    const int ma = order >= 0 ? order + 1 : 3;
    MatrixPtr covar(nr_matrix(ma, ma));
    if (!covar)
        return -1;
    if (order >= 0)
        return lfit(x, y, nullptr, n, coef, ma, covar.get(), chisq, Polynomial);
    return lfit(x, y, nullptr, n, coef, ma, covar.get(), chisq, funkyBasis);
}

double CorrelationCoefficient(const double* y, unsigned int n, double chisq)
{
    if (n == 0)
        return 1.0;
    const double mean = fMean(y, n);
    double ss = 0.0;
    for (unsigned int i = 0; i < n; ++i)
        ss += (y[i] - mean) * (y[i] - mean);
    if (ss == 0.0)
        return 1.0;
    return std::sqrt((ss - chisq) / ss);
}

double fMean(const double* values, unsigned int n)
{
    double sum = 0.0;
    for (unsigned int i = 0; i < n; ++i)
        sum += values[i];
    return sum / n;
}

} // extern "C"
