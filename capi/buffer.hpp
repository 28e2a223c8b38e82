// Typed, strided views of objects that export the buffer protocol.
#pragma once

#include "ref.hpp"

#include <cstdint>
#include <cstring>
#include <utility>

namespace capi {

// One-dimensional strided access: element n lives at data + n * stride bytes.
// Plain data, safe to copy into hot loops.
template <class T> struct Strided {
    char* data = nullptr;
    Py_ssize_t stride = sizeof(T);
    T& operator[](Py_ssize_t n) const noexcept { return *reinterpret_cast<T*>(data + n * stride); }
};

namespace format {

// The kind of a struct-module type character: signed, unsigned, real, complex.
inline char group(char type, bool is_complex) {
    switch (type) {
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q':
    case 'n':
        return 'I';
    case '?':
    case 'B':
    case 'H':
    case 'I':
    case 'L':
    case 'Q':
    case 'N':
        return 'U';
    case 'e':
    case 'f':
    case 'd':
    case 'g':
        return is_complex ? 'C' : 'R';
    default:
        return '?';
    }
}

inline Py_ssize_t size(char type, bool native) {
    switch (type) {
    case '?':
    case 'b':
    case 'B':
    case 'c':
        return 1;
    case 'h':
    case 'H':
    case 'e':
        return 2;
    case 'i':
    case 'I':
    case 'f':
        return 4;
    case 'l':
    case 'L':
        return native ? static_cast<Py_ssize_t>(sizeof(long)) : 4;
    case 'q':
    case 'Q':
    case 'd':
    case 'n':
    case 'N':
        return 8;
    case 'g':
        return static_cast<Py_ssize_t>(sizeof(long double));
    default:
        return 0;
    }
}

inline const char* describe(char type, bool is_complex) {
    switch (type) {
    case 'c':
        return "'char'";
    case '?':
        return "'bool'";
    case 'e':
        return is_complex ? "'complex float16'" : "'float16'";
    case 'b':
        return "'signed char'";
    case 'B':
        return "'unsigned char'";
    case 'h':
        return "'short'";
    case 'H':
        return "'unsigned short'";
    case 'i':
        return "'int'";
    case 'I':
        return "'unsigned int'";
    case 'l':
        return "'long'";
    case 'L':
        return "'unsigned long'";
    case 'q':
        return "'long long'";
    case 'Q':
        return "'unsigned long long'";
    case 'f':
        return is_complex ? "'complex float'" : "'float'";
    case 'd':
        return is_complex ? "'complex double'" : "'double'";
    case 'g':
        return is_complex ? "'complex long double'" : "'long double'";
    case 'T':
        return "a struct";
    case 'O':
        return "Python object";
    case 'P':
        return "a pointer";
    case 's':
    case 'p':
        return "a string";
    case 0:
        return "end";
    default:
        return "unparseable format string";
    }
}

// Checks a buffer format against the wanted kind and size of element.
inline void check(const char* fmt, char want_group, Py_ssize_t want_size, const char* type_name) {
    const char* p = fmt ? fmt : "B";
    bool native = true;
    if (*p == '@' || *p == '^') {
        ++p;
    } else if (*p == '=' || *p == '<' || *p == '>' || *p == '!') {
        if (*p == '>' || *p == '!')
            raise(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
        native = false;
        ++p;
    }
    bool is_complex = *p == 'Z';
    if (is_complex)
        ++p;
    char type = *p;
    bool single = type != 0 && p[1] == 0;
    if (!single || group(type, is_complex) != want_group || size(type, native) != want_size)
        raise_format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                     type_name, "'", describe(type, is_complex));
}

} // namespace format

template <class T> struct ElementKind;
template <> struct ElementKind<double> { static constexpr char group = 'R'; };
template <> struct ElementKind<int32_t> { static constexpr char group = 'I'; };
template <> struct ElementKind<int64_t> { static constexpr char group = 'I'; };
template <> struct ElementKind<uint8_t> { static constexpr char group = 'U'; };

enum class Access : int { read = 0, write = 1, read_contiguous = 2, write_contiguous = 3 };

inline bool writes(Access access) {
    return (static_cast<int>(access) & 1) != 0;
}
inline bool contiguous(Access access) {
    return (static_cast<int>(access) & 2) != 0;
}

// Holds one buffer export of an ND-dimensional array of T, acquired and
// validated in the constructor and released in the destructor.
template <class T, int ND> class BufferView {
  public:
    BufferView() = default;
    // `type_name` names T in messages ("FLOAT_t", "INT_t", "double", ...).
    BufferView(PyObject* obj, const char* type_name, Access access) {
        int flags = PyBUF_FORMAT | PyBUF_STRIDES | (writes(access) ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &buf_, flags) < 0)
            raise_pending();
        held_ = true;
        // A constructor that throws runs no destructor: release here.
        try {
            validate(type_name, access);
        } catch (...) {
            release();
            throw;
        }
    }
    BufferView(BufferView&& other) noexcept { take(other); }
    BufferView& operator=(BufferView&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    void release() noexcept {
        if (held_)
            PyBuffer_Release(&buf_);
        held_ = false;
    }
    bool held() const noexcept { return held_; }
    T* data() const noexcept { return held_ ? static_cast<T*>(buf_.buf) : nullptr; }
    Py_ssize_t shape(int axis) const noexcept { return buf_.shape[axis]; }
    Py_ssize_t size() const noexcept { return buf_.shape[0]; }
    Py_ssize_t stride(int axis) const noexcept { return buf_.strides[axis]; }
    PyObject* owner() const noexcept { return held_ ? buf_.obj : nullptr; }

    Strided<T> strided() const noexcept {
        static_assert(ND == 1, "strided() is for one-dimensional views");
        return Strided<T>{static_cast<char*>(buf_.buf), buf_.strides[0]};
    }
    // Element access with a bounds check: IndexError names the axis.
    T& at(Py_ssize_t i) const {
        static_assert(ND == 1, "at(i) is for one-dimensional views");
        if (i < 0 || i >= buf_.shape[0])
            raise_format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
        return strided()[i];
    }
    T& at(Py_ssize_t i, Py_ssize_t j) const {
        static_assert(ND == 2, "at(i, j) is for two-dimensional views");
        if (i < 0 || i >= buf_.shape[0])
            raise_format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
        if (j < 0 || j >= buf_.shape[1])
            raise_format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 1);
        char* base = static_cast<char*>(buf_.buf);
        return *reinterpret_cast<T*>(base + i * buf_.strides[0] + j * buf_.strides[1]);
    }

  private:
    // Some exporters (array.array) point shape or strides at fields of the
    // Py_buffer itself; those pointers must follow the moved struct.
    void take(BufferView& other) noexcept {
        buf_ = other.buf_;
        held_ = std::exchange(other.held_, false);
        buf_.shape = rebase(buf_.shape, other.buf_);
        buf_.strides = rebase(buf_.strides, other.buf_);
    }
    Py_ssize_t* rebase(Py_ssize_t* pointer, const Py_buffer& from) noexcept {
        const auto p = reinterpret_cast<std::uintptr_t>(pointer);
        const auto start = reinterpret_cast<std::uintptr_t>(&from);
        if (p < start || p >= start + sizeof(Py_buffer))
            return pointer;
        return reinterpret_cast<Py_ssize_t*>(reinterpret_cast<char*>(&buf_) + (p - start));
    }

    void validate(const char* type_name, Access access) {
        if (buf_.ndim != ND)
            raise_format(PyExc_ValueError,
                         "Buffer has wrong number of dimensions (expected %d, got %d)", ND,
                         buf_.ndim);
        format::check(buf_.format, ElementKind<T>::group, sizeof(T), type_name);
        if (buf_.itemsize != static_cast<Py_ssize_t>(sizeof(T))) {
            Py_ssize_t want = sizeof(T);
            raise_format(
                PyExc_ValueError,
                "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                buf_.itemsize, buf_.itemsize == 1 ? "" : "s", type_name, want,
                want == 1 ? "" : "s");
        }
        if (contiguous(access) && !is_c_contiguous())
            raise(PyExc_ValueError, "ndarray is not C contiguous");
    }
    bool is_c_contiguous() const noexcept {
        Py_ssize_t expected = sizeof(T);
        for (int axis = ND - 1; axis >= 0; --axis) {
            if (buf_.shape[axis] > 1 && buf_.strides[axis] != expected)
                return false;
            expected *= buf_.shape[axis];
        }
        return true;
    }

    Py_buffer buf_{};
    bool held_ = false;
};

using DoubleView = BufferView<double, 1>;

} // namespace capi
