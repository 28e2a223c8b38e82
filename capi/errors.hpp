// Traceback entries and the boundary between throwing C++ and the interpreter.
#pragma once

#include "ref.hpp"

#include <frameobject.h>

#include <new>
#include <string>

namespace capi {

// Adds one traceback entry named `qualname` to the pending exception.
inline void add_traceback(const char* qualname, const char* filename) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyCodeObject* code = PyCode_NewEmpty(filename, qualname, 0);
    PyObject* globals = code ? PyDict_New() : nullptr;
    PyFrameObject* frame =
        globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    // A failure while building the entry must not replace the real error.
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (frame)
        PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(code);
}

inline void add_traceback(const std::string& qualname, const char* filename) {
    add_traceback(qualname.c_str(), filename);
}

// Turns C++ failures into a pending Python exception.  Returns false if `body`
// failed; the caller returns NULL or -1.
template <class Name, class Body>
bool guarded(const Name& qualname, const char* filename, Body&& body) noexcept {
    try {
        body();
        return true;
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    add_traceback(qualname, filename);
    return false;
}

// Boundary of a function returning a new reference (or NULL on failure).
template <class Name, class Body>
PyObject* boundary(const Name& qualname, const char* filename, Body&& body) noexcept {
    PyObject* result = nullptr;
    if (!guarded(qualname, filename, [&] { result = body().release(); }))
        return nullptr;
    return result;
}

// Boundary of a function returning None on success.
template <class Name, class Body>
PyObject* boundary_none(const Name& qualname, const char* filename, Body&& body) noexcept {
    if (!guarded(qualname, filename, body))
        return nullptr;
    Py_RETURN_NONE;
}

// Boundary of a slot returning 0 on success and -1 on failure (tp_init).
template <class Name, class Body>
int boundary_int(const Name& qualname, const char* filename, Body&& body) noexcept {
    return guarded(qualname, filename, body) ? 0 : -1;
}

} // namespace capi
