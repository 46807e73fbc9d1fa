#include "conversion/nrutil.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

// Element bytes, or 0 when the count is not positive or the size overflows.
std::size_t arrayBytes(int n, std::size_t elementSize)
{
    if (n < 1 || std::size_t(n) > std::numeric_limits<std::size_t>::max() / elementSize)
        return 0;
    return std::size_t(n) * elementSize;
}

template <typename T>
T** allocateMatrix(int rows, int cols)
{
    const std::size_t pointerBytes = arrayBytes(rows, sizeof(T*));
    const std::size_t rowBytes = arrayBytes(cols, sizeof(T));
    if (pointerBytes == 0 || rowBytes == 0)
        return nullptr;
    if (std::size_t(rows) > (std::numeric_limits<std::size_t>::max() - pointerBytes) / rowBytes)
        return nullptr;
    // The elements follow the pointer array, which keeps them aligned.
    static_assert(alignof(T) <= alignof(T*));
    void* block = std::calloc(1, pointerBytes + std::size_t(rows) * rowBytes);
    if (block == nullptr)
        return nullptr;
    T** rowPointers = static_cast<T**>(block);
    T* elements = reinterpret_cast<T*>(static_cast<char*>(block) + pointerBytes);
    for (int i = 0; i < rows; ++i)
        rowPointers[i] = elements + std::size_t(i) * std::size_t(cols);
    return rowPointers;
}

} // namespace

extern "C" {

void nrerror(const char* text)
{
    std::printf("NR ERR: %s\n", text != nullptr ? text : "");
    std::fflush(stdout);
}

double* nr_vector(int n)
{
    const std::size_t bytes = arrayBytes(n, sizeof(double));
    void* v = bytes != 0 ? std::calloc(1, bytes) : nullptr;
    if (v == nullptr)
        nrerror("allocation failure in vector()");
    return static_cast<double*>(v);
}

int* nr_ivector(int n)
{
    const std::size_t bytes = arrayBytes(n, sizeof(int));
    void* v = bytes != 0 ? std::calloc(1, bytes) : nullptr;
    if (v == nullptr)
        nrerror("allocation failure in nr_ivector()");
    return static_cast<int*>(v);
}

double** nr_matrix(int rows, int cols)
{
    double** m = allocateMatrix<double>(rows, cols);
    if (m == nullptr)
        nrerror("allocation failure in matrix()");
    return m;
}

int** imatrix(int rows, int cols)
{
    int** m = allocateMatrix<int>(rows, cols);
    if (m == nullptr)
        nrerror("allocation failure in imatrix()");
    return m;
}

void free_nr_vector(double* v)
{
    std::free(v);
}

void free_nr_ivector(int* v)
{
    std::free(v);
}

void free_nr_matrix(double** m)
{
    std::free(m);
}

void free_nr_imatrix(int** m)
{
    std::free(m);
}

} // extern "C"

namespace nr {

bool isAlmostEqual(double a, double b, double eps)
{
    const int kind = std::fpclassify(a);
    if (kind != std::fpclassify(b))
        return false;
    switch (kind) {
    case FP_ZERO:
        return true;
    case FP_NAN:
    case FP_INFINITE:
        // Equal infinities differ by NaN; opposite ones must not pass the
        // relative test through inf <= eps * inf either.
        return false;
    default:
        return std::fabs(a - b) <= eps * std::fmin(std::fabs(a), std::fabs(b));
    }
}

} // namespace nr
