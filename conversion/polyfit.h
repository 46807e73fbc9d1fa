#pragma once
// Least-squares fitting by normal equations, solved by Gauss-Jordan
// elimination with full pivoting. Arrays are zero-based; matrices are those
// of nr_matrix(). Results are 0 on success; -1 means the work space could not
// be allocated, 1 to 3 come from gaussj (1 no work space, 2 and 3 singular).

extern "C" {

// Basis functions: fill p with the values of the basis at x.
typedef void (*BasisFunctions)(double x, double* p, int np);

// Unweighted fit of the polynomial of degree `order` (constant term first in
// coef, order + 1 values); a negative order fits 1, sqrt(x) and x instead
// (three values). chisq, when given, receives the sum of squared residuals.
int PolyFit(const double* x, const double* y, int n, int order, double* coef, double* chisq);

// General linear least squares with ma basis functions. sig (may be null)
// weights each point by 1 / sig^2. covar (ma x ma) receives the inverse of
// the normal matrix.
int lfit(const double* x, const double* y, const double* sig, int n, double* a, int ma, double** covar,
         double* chisq, BasisFunctions funcs);

// Solves a x = b for the m right-hand columns of b (n x m) in place; a (n x n)
// is replaced by its inverse.
int gaussj(double** a, int n, double** b, int m);

// p[j] = x^j for j = 0 .. np - 1.
void Polynomial(double x, double* p, int np);

// p = {1, sqrt(x), x}.
void funky(double x, double* p);

// sqrt((SS - chisq) / SS) with SS the sum of squared deviations of the first
// n values from their mean: the correlation coefficient of a fit whose
// residual sum of squares is chisq. 1.0 when n is 0 or the values are constant.
double CorrelationCoefficient(const double* y, unsigned int n, double chisq);

// The mean of the first n values.
double fMean(const double* values, unsigned int n);

} // extern "C"
