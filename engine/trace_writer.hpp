// Trace tables as text: the functions format_rows and format_raw_rows of
// loxant.NativeEngine.
#pragma once

#include "capi/ref.hpp"

#include <cstddef>

namespace loxant::engine {

// Writes x as printf's "%.17g" does (digits17) or as "%.17e" (digits18), with
// Python's spelling of the non-finite values ("inf", "-inf", "nan"); returns
// the end.  `out` has room for kMaxNumberChars.
constexpr std::size_t kMaxNumberChars = 32;
char* format_general17(double x, char* out) noexcept;
char* format_exponent17(double x, char* out) noexcept;

// Adds format_rows and format_raw_rows to the module.
void add_trace_writer(PyObject* module);

} // namespace loxant::engine
