#pragma once
// Zero-based work arrays for the fitting routines, their error printer, and
// the relative comparison of doubles.
//
// A matrix is one allocation: an array of row pointers followed by the
// rows x cols elements, row after row. Every allocation is zero-filled and
// released by the matching free function in one call.

extern "C" {

// Writes "NR ERR: <text>" and a line end to the standard output; does not stop.
void nrerror(const char* text);

double* nr_vector(int n);
int* nr_ivector(int n);
double** nr_matrix(int rows, int cols);
int** imatrix(int rows, int cols);

void free_nr_vector(double* v);
void free_nr_ivector(int* v);
void free_nr_matrix(double** m);
void free_nr_imatrix(int** m);

} // extern "C"

namespace nr {

// True when a and b are of the same floating-point class (zero, subnormal,
// normal, infinite, NaN) and either both zero or |a - b| <= eps * min(|a|, |b|).
// NaNs and infinities are never almost equal to anything.
bool isAlmostEqual(double a, double b, double eps);

} // namespace nr
