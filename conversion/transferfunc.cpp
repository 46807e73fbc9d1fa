#include "conversion/transferfunc.h"

// Out of line so that the vtable has one home in the library.
TransferFunc::~TransferFunc() = default;
