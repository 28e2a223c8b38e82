// Argument matching for Python-callable functions, with the interpreter's
// message families spelled once.
#pragma once

#include "ref.hpp"

namespace capi {

// A function's declared parameters: the first `required` of `names` must be
// given; the rest are optional.
struct Signature {
    const char* function; // name used in messages, such as "InitModel"
    const char* const* names;
    Py_ssize_t count;
    Py_ssize_t required;
};

[[noreturn]] inline void raise_count(const Signature& sig, Py_ssize_t given) {
    bool too_few = given < sig.required;
    bool exact = sig.required == sig.count;
    Py_ssize_t expected = too_few ? sig.required : sig.count;
    const char* word = exact ? "exactly" : (too_few ? "at least" : "at most");
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.function, word, expected, expected == 1 ? "" : "s", given);
}

[[noreturn]] inline void raise_unexpected_keyword(const char* function, PyObject* key) {
    if (!PyUnicode_Check(key))
        raise_format(PyExc_TypeError, "%.200s() keywords must be strings", function);
    raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
}

namespace detail {

inline Py_ssize_t find_name(const Signature& sig, PyObject* key) {
    for (Py_ssize_t k = 0; k < sig.count; ++k)
        if (PyUnicode_CompareWithASCIIString(key, sig.names[k]) == 0)
            return k;
    return -1;
}

inline void match_keyword(const Signature& sig, PyObject* key, PyObject* value, Py_ssize_t nargs,
                          PyObject** out) {
    Py_ssize_t index = PyUnicode_Check(key) ? find_name(sig, key) : -1;
    if (index < 0)
        raise_unexpected_keyword(sig.function, key);
    if (index < nargs || out[index] != nullptr)
        raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     sig.function, key);
    out[index] = value;
}

inline void check_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                             PyObject** out) {
    if (nargs > sig.count)
        raise_count(sig, nargs);
    for (Py_ssize_t k = 0; k < sig.count; ++k)
        out[k] = k < nargs ? args[k] : nullptr;
}

inline void check_required(const Signature& sig, PyObject** out) {
    for (Py_ssize_t k = 0; k < sig.required; ++k)
        if (out[k] == nullptr)
            raise_count(sig, k);
}

} // namespace detail

// Vectorcall form (METH_FASTCALL | METH_KEYWORDS).  Fills out[0..count) with
// borrowed references; an optional argument not given is NULL.
inline void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject** out) {
    detail::check_positional(sig, args, nargs, out);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        detail::match_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out);
    detail::check_required(sig, out);
}

// Vectorcall form of a function whose `count` arguments are positional only
// (no names): any keyword is unexpected.  Fills out[0..count).
inline void parse_positional(const char* function, Py_ssize_t count, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const Signature sig{function, nullptr, count, count};
    if (nargs > count)
        raise_count(sig, nargs);
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0)
        raise_unexpected_keyword(function, PyTuple_GET_ITEM(kwnames, 0));
    if (nargs < count)
        raise_count(sig, nargs);
    for (Py_ssize_t k = 0; k < count; ++k)
        out[k] = args[k];
}

// The same for a function of exactly one positional argument; returns it.
inline PyObject* parse_one(const char* function, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject* arg = nullptr;
    parse_positional(function, 1, args, nargs, kwnames, &arg);
    return arg;
}

// The same for a function of no arguments.
inline void parse_none(const char* function, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    parse_positional(function, 0, args, nargs, kwnames, nullptr);
}

// Tuple-and-dict form (tp_init, tp_new).
inline void parse_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    detail::check_positional(sig, &PyTuple_GET_ITEM(args, 0), nargs, out);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            detail::match_keyword(sig, key, value, nargs, out);
    }
    detail::check_required(sig, out);
}

// Checks that an argument is an instance of `type` or of a subclass.  None
// passes only where `none_allowed`.
inline void check_arg_type(PyObject* obj, PyTypeObject* type, const char* name, bool none_allowed) {
    if (obj == Py_None && none_allowed)
        return;
    if (PyObject_TypeCheck(obj, type))
        return;
    raise_format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 type->tp_name, Py_TYPE(obj)->tp_name);
}

// The conversion test applied to values fetched from attributes (not arguments).
inline void check_value_type(PyObject* obj, PyTypeObject* type) {
    if (obj != Py_None && PyObject_TypeCheck(obj, type))
        return;
    raise_format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name,
                 type->tp_name);
}

} // namespace capi
