// Trace tables as text, each value spelled as printf's "%.17g" (CSV, DAT) or
// "%.17e" (raw files) spells it, byte for byte, at a fraction of its cost.
//
// A positive x = m·2^e (m normalised to 64 bits) is multiplied by a 128-bit
// truncation of 10^q, q chosen so that the integer part of x·10^q holds the
// wanted number of significant digits; the bits below it say how to round.
// The product is low by less than three units of its 64-bit fraction, so a
// fraction within 64 units of one half cannot be rounded from it: such values
// (and any the scaling does not fit) go to std::to_chars, which is exact and
// spells them as printf does.
#include "engine/trace_writer.hpp"

#include "capi/args.hpp"
#include "capi/buffer.hpp"
#include "capi/errors.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace loxant::engine {

namespace {

const char* const kFile = "engine/trace_writer.cpp";

// Decimal exponents q of the table: every finite double at 17 or 18 digits.
constexpr int kMinPower = -300;
constexpr int kMaxPower = 350;

// 10^q ≈ (hi·2^64 + lo)·2^exp2, truncated, hi's top bit set.
struct Power {
    uint64_t hi;
    uint64_t lo;
    int exp2;
};

// An unsigned integer of 32-bit limbs, least significant first: just enough to
// build the table of powers exactly.
class BigNumber {
  public:
    explicit BigNumber(int power_of_two) : limbs_(power_of_two / 32 + 1, 0) {
        limbs_.back() = uint32_t{1} << (power_of_two % 32);
    }
    void multiply(uint32_t factor) {
        uint64_t carry = 0;
        for (uint32_t& limb : limbs_) {
            uint64_t product = uint64_t{limb} * factor + carry;
            limb = static_cast<uint32_t>(product);
            carry = product >> 32;
        }
        if (carry != 0)
            limbs_.push_back(static_cast<uint32_t>(carry));
    }
    void divide(uint32_t divisor) {
        uint64_t remainder = 0;
        for (auto limb = limbs_.rbegin(); limb != limbs_.rend(); ++limb) {
            uint64_t current = (remainder << 32) | *limb;
            *limb = static_cast<uint32_t>(current / divisor);
            remainder = current % divisor;
        }
        while (limbs_.size() > 1 && limbs_.back() == 0)
            limbs_.pop_back();
    }
    int bit_length() const {
        int top = 31;
        while (top > 0 && ((limbs_.back() >> top) & 1) == 0)
            --top;
        return static_cast<int>(limbs_.size() - 1) * 32 + top + 1;
    }
    // Bits [from, from + 64) as a number; bits below 0 are zero.
    uint64_t bits(int from) const {
        uint64_t word = 0;
        for (int k = 63; k >= 0; --k)
            word = (word << 1) | bit(from + k);
        return word;
    }
    // The top 128 bits, the number being value·2^scale.
    Power top(int scale) const {
        int from = bit_length() - 128;
        return Power{bits(from + 64), bits(from), from + scale};
    }

  private:
    uint64_t bit(int index) const {
        if (index < 0 || index / 32 >= static_cast<int>(limbs_.size()))
            return 0;
        return (limbs_[index / 32] >> (index % 32)) & 1;
    }
    std::vector<uint32_t> limbs_;
};

std::vector<Power> build_powers() {
    std::vector<Power> powers(kMaxPower - kMinPower + 1);
    BigNumber ten_to_q(0);
    for (int q = 0; q <= kMaxPower; ++q) {
        powers[q - kMinPower] = ten_to_q.top(0);
        ten_to_q.multiply(10);
    }
    // floor(2^K / 10^n) keeps more than 128 bits down to n = -kMinPower.
    constexpr int kScale = 1200;
    BigNumber quotient(kScale);
    for (int n = 1; n <= -kMinPower; ++n) {
        quotient.divide(10);
        powers[-n - kMinPower] = quotient.top(-kScale);
    }
    return powers;
}

const Power* powers_of_ten() {
    static const std::vector<Power> powers = build_powers();
    return powers.data();
}

constexpr uint64_t kTens[] = {1,
                              10,
                              100,
                              1000,
                              10000,
                              100000,
                              1000000,
                              10000000,
                              100000000,
                              1000000000,
                              10000000000,
                              100000000000,
                              1000000000000,
                              10000000000000,
                              100000000000000,
                              1000000000000000,
                              10000000000000000,
                              100000000000000000,
                              1000000000000000000};

// round(x·10^(count−1−exponent)), count significant digits of the positive
// finite x, and its decimal exponent; false where the product cannot decide.
bool round_to_digits(double x, int count, uint64_t& digits, int& exponent) noexcept {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const int biased = static_cast<int>(bits >> 52);
    uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
    int exp2 = biased == 0 ? -1074 : biased - 1075;
    if (biased != 0)
        mantissa |= uint64_t{1} << 52;
    const int lead = __builtin_clzll(mantissa);
    mantissa <<= lead;
    exp2 -= lead;
    const uint64_t low = kTens[count - 1], high = kTens[count];
    // floor(log10(2^(exp2+63))): the exponent, or one less.
    int decimal = ((exp2 + 63) * 78913) >> 18;
    const Power* powers = powers_of_ten();
    for (int attempt = 0; attempt < 2; ++attempt, ++decimal) {
        const int q = count - 1 - decimal;
        if (q < kMinPower || q > kMaxPower)
            return false;
        const Power& p = powers[q - kMinPower];
        const unsigned __int128 below = static_cast<unsigned __int128>(mantissa) * p.lo;
        const unsigned __int128 above = static_cast<unsigned __int128>(mantissa) * p.hi;
        const unsigned __int128 middle = (below >> 64) + static_cast<uint64_t>(above);
        const uint64_t z1 = static_cast<uint64_t>(middle);
        const uint64_t z2 =
            static_cast<uint64_t>(above >> 64) + static_cast<uint64_t>(middle >> 64);
        const int shift = -(exp2 + p.exp2) - 128;
        if (shift < 0 || shift > 63)
            return false;
        uint64_t whole = shift == 0 ? z2 : z2 >> shift;
        const uint64_t fraction = shift == 0 ? z1 : (z2 << (64 - shift)) | (z1 >> shift);
        if (whole >= high)
            continue;
        constexpr uint64_t half = uint64_t{1} << 63, margin = 64;
        if (fraction > half - margin && fraction < half + margin)
            return false;
        if (fraction > half)
            ++whole;
        if (whole == high) {
            whole = low;
            ++decimal;
        }
        if (whole < low)
            return false;
        digits = whole;
        exponent = decimal;
        return true;
    }
    return false;
}

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233"
    "34353637383940414243444546474849505152535455565758596061626364656667"
    "68697071727374757677787980818283848586878889909192939495969798"
    "99";

// Eight decimal digits of n < 10^8, most significant first.
void write_eight(uint32_t n, char* text) noexcept {
    for (int k = 6; k >= 0; k -= 2) {
        std::memcpy(text + k, kDigitPairs + 2 * (n % 100), 2);
        n /= 100;
    }
}

// The `count` (17 or 18) decimal digits of n, most significant first, in
// blocks of eight so that the divisions are 32-bit.
void write_digits(uint64_t n, int count, char* text) noexcept {
    const uint64_t upper = n / 100000000;
    write_eight(static_cast<uint32_t>(n % 100000000), text + count - 8);
    write_eight(static_cast<uint32_t>(upper % 100000000), text + count - 16);
    const uint32_t top = static_cast<uint32_t>(upper / 100000000);
    if (count == 18)
        std::memcpy(text, kDigitPairs + 2 * top, 2);
    else
        text[0] = static_cast<char>('0' + top);
}

char* copy(const char* text, int count, char* out) noexcept {
    std::memcpy(out, text, static_cast<std::size_t>(count));
    return out + count;
}

// "e+05", "e-123": the sign and at least two digits.
char* write_exponent(int exponent, char* out) noexcept {
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    unsigned magnitude = static_cast<unsigned>(exponent < 0 ? -exponent : exponent);
    if (magnitude >= 100)
        *out++ = static_cast<char>('0' + magnitude / 100);
    *out++ = static_cast<char>('0' + magnitude / 10 % 10);
    *out++ = static_cast<char>('0' + magnitude % 10);
    return out;
}

// Python's spelling of inf and nan (no sign on nan); nullptr for a finite x.
char* write_non_finite(double x, char* out) noexcept {
    if (std::isnan(x))
        return copy("nan", 3, out);
    if (std::isinf(x))
        return x < 0 ? copy("-inf", 4, out) : copy("inf", 3, out);
    return nullptr;
}

char* write_exact(double x, std::chars_format format, char* out) noexcept {
    return std::to_chars(out, out + kMaxNumberChars, x, format, 17).ptr;
}

char* write_general(const char* text, int exponent, char* out) noexcept {
    int used = 17; // %g drops trailing zeros of the fraction
    while (used > 1 && text[used - 1] == '0')
        --used;
    if (exponent < -4 || exponent >= 17) {
        *out++ = text[0];
        if (used > 1) {
            *out++ = '.';
            out = copy(text + 1, used - 1, out);
        }
        return write_exponent(exponent, out);
    }
    if (exponent >= 0) {
        const int whole = exponent + 1;
        out = copy(text, whole, out);
        if (used > whole) {
            *out++ = '.';
            out = copy(text + whole, used - whole, out);
        }
        return out;
    }
    out = copy("0.0000", 1 - exponent, out);
    return copy(text, used, out);
}

// One formatted value per row's cell, `separator` between, '\n' after.
char* write_rows(const capi::BufferView<double, 2>& table, char separator, char* out) noexcept {
    const Py_ssize_t rows = table.shape(0), columns = table.shape(1);
    const char* base = reinterpret_cast<const char*>(table.data());
    for (Py_ssize_t i = 0; i < rows; ++i) {
        const char* row = base + i * table.stride(0);
        for (Py_ssize_t j = 0; j < columns; ++j) {
            if (j > 0)
                *out++ = separator;
            double value;
            std::memcpy(&value, row + j * table.stride(1), sizeof value);
            out = format_general17(value, out);
        }
        *out++ = '\n';
    }
    return out;
}

// " <index>\t<time>\n" then "\t<value>\n" per further column.
char* write_raw_rows(const capi::BufferView<double, 2>& table, long long first_index,
                     char* out) noexcept {
    const Py_ssize_t rows = table.shape(0), columns = table.shape(1);
    const char* base = reinterpret_cast<const char*>(table.data());
    for (Py_ssize_t i = 0; i < rows; ++i) {
        const char* row = base + i * table.stride(0);
        *out++ = ' ';
        out = std::to_chars(out, out + 24, first_index + i).ptr;
        for (Py_ssize_t j = 0; j < columns; ++j) {
            *out++ = '\t';
            double value;
            std::memcpy(&value, row + j * table.stride(1), sizeof value);
            out = format_exponent17(value, out);
            *out++ = '\n';
        }
    }
    return out;
}

// A bytes object of at most `bound` bytes filled by `fill` (which returns the
// end) with the interpreter lock released, cut to the length written.
template <class Fill> capi::Ref formatted_bytes(Py_ssize_t bound, Fill&& fill) {
    capi::Ref bytes = capi::Ref::steal(PyBytes_FromStringAndSize(nullptr, bound));
    char* start = PyBytes_AS_STRING(bytes.get());
    PyThreadState* state = PyEval_SaveThread();
    char* end = fill(start);
    PyEval_RestoreThread(state);
    PyObject* raw = bytes.release();
    if (_PyBytes_Resize(&raw, end - start) < 0)
        capi::raise_pending();
    return capi::Ref::steal(raw);
}

// Room for a table of `cells` values plus `extra` bytes per row.
Py_ssize_t text_bound(const capi::BufferView<double, 2>& table, Py_ssize_t extra) {
    const Py_ssize_t rows = table.shape(0), columns = table.shape(1);
    const Py_ssize_t per_row = columns * static_cast<Py_ssize_t>(kMaxNumberChars + 2) + extra;
    if (rows > 0 && per_row > PY_SSIZE_T_MAX / rows)
        capi::raise(PyExc_OverflowError, "table too large to format at once");
    return rows * per_row;
}

char one_separator(PyObject* obj) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, &length) : nullptr;
    if (text == nullptr || length != 1)
        capi::raise(PyExc_ValueError, "separator must be one ASCII character");
    return text[0];
}

// format_rows(table, separator) -> bytes
PyObject* format_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return capi::boundary("loxant.NativeEngine.format_rows", kFile, [&] {
        static const char* const names[] = {"table", "separator"};
        static const capi::Signature sig{"format_rows", names, 2, 2};
        PyObject* given[2];
        capi::parse_args(sig, args, nargs, kwnames, given);
        const capi::BufferView<double, 2> table(given[0], "double", capi::Access::read);
        const char separator = one_separator(given[1]);
        return formatted_bytes(text_bound(table, 1),
                               [&](char* out) { return write_rows(table, separator, out); });
    });
}

// format_raw_rows(table, first_index) -> bytes
PyObject* format_raw_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return capi::boundary("loxant.NativeEngine.format_raw_rows", kFile, [&] {
        static const char* const names[] = {"table", "first_index"};
        static const capi::Signature sig{"format_raw_rows", names, 2, 2};
        PyObject* given[2];
        capi::parse_args(sig, args, nargs, kwnames, given);
        const capi::BufferView<double, 2> table(given[0], "double", capi::Access::read);
        const long long first_index = PyLong_AsLongLong(given[1]);
        if (first_index == -1 && PyErr_Occurred())
            capi::raise_pending();
        if (first_index < 0)
            capi::raise(PyExc_ValueError, "first_index must not be negative");
        return formatted_bytes(text_bound(table, 24),
                               [&](char* out) { return write_raw_rows(table, first_index, out); });
    });
}

template <class F> PyCFunction as_cfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef kFunctions[] = {
    {"format_rows", as_cfunction(format_rows), METH_FASTCALL | METH_KEYWORDS,
     "format_rows(table, separator)\n--\n\nThe rows of a 2-D float64 table as text: each value "
     "as '%.17g' % value spells it, `separator` between values, a newline after each row."},
    {"format_raw_rows", as_cfunction(format_raw_rows), METH_FASTCALL | METH_KEYWORDS,
     "format_raw_rows(table, first_index)\n--\n\nThe rows of a 2-D float64 table as the values "
     "of an ASCII SPICE raw file: ' <index>\\t<first column>\\n', then '\\t<value>\\n' for each "
     "further column, values as f'{value:.17e}' spells them; rows numbered from first_index."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

char* format_general17(double x, char* out) noexcept {
    if (char* end = write_non_finite(x, out))
        return end;
    if (x == 0) {
        if (std::signbit(x))
            *out++ = '-';
        *out++ = '0';
        return out;
    }
    uint64_t digits;
    int exponent;
    if (!round_to_digits(std::fabs(x), 17, digits, exponent))
        return write_exact(x, std::chars_format::general, out);
    if (x < 0)
        *out++ = '-';
    char text[17];
    write_digits(digits, 17, text);
    return write_general(text, exponent, out);
}

char* format_exponent17(double x, char* out) noexcept {
    if (char* end = write_non_finite(x, out))
        return end;
    uint64_t digits = 0;
    int exponent = 0;
    if (x != 0 && !round_to_digits(std::fabs(x), 18, digits, exponent))
        return write_exact(x, std::chars_format::scientific, out);
    if (std::signbit(x))
        *out++ = '-';
    char text[18];
    write_digits(digits, 18, text);
    *out++ = text[0];
    *out++ = '.';
    out = copy(text + 1, 17, out);
    return write_exponent(exponent, out);
}

void add_trace_writer(PyObject* module) {
    powers_of_ten(); // built once, here, rather than inside a formatting call
    if (PyModule_AddFunctions(module, kFunctions) < 0)
        capi::raise_pending();
}

} // namespace loxant::engine
