// Conversions of Python numbers to C values, with the interpreter's messages.
#pragma once

#include "ref.hpp"

#include <climits>
#include <cstdint>

namespace capi {

// Converts to a 32-bit signed integer: ints directly, other objects through
// __int__; out of range is OverflowError "value too large to convert to int".
inline int32_t to_int32(PyObject* obj) {
    Ref number;
    if (!PyLong_Check(obj)) {
        PyNumberMethods* methods = Py_TYPE(obj)->tp_as_number;
        if (methods == nullptr || methods->nb_int == nullptr)
            raise(PyExc_TypeError, "an integer is required");
        number = Ref::steal(methods->nb_int(obj));
        if (!PyLong_Check(number.get()))
            raise_format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(number.get())->tp_name);
        obj = number.get();
    }
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred())
        raise_pending();
    if (overflow != 0 || value < INT32_MIN || value > INT32_MAX)
        raise(PyExc_OverflowError, "value too large to convert to int");
    return static_cast<int32_t>(value);
}

// Converts with Python's float conversion.
inline double to_double(PyObject* obj) {
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred())
        raise_pending();
    return value;
}

} // namespace capi
