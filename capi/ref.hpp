// Owned references and the "a Python error is set" exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace capi {

// Thrown by code that has just set a Python error; caught once at the boundary
// of the Python-callable function, which returns NULL/-1.
struct PythonError {};

// Throws PythonError unless an error is set; call after a failed C-API call.
[[noreturn]] inline void raise_pending() {
    throw PythonError{};
}

// Sets the error and throws.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

template <class... Args>
[[noreturn]] inline void raise_format(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw PythonError{};
}

// Owns one reference; move-only; releases it in the destructor.
class Ref {
  public:
    Ref() = default;
    // Takes ownership of a new reference; throws if it is NULL (error set).
    static Ref steal(PyObject* obj) {
        if (obj == nullptr)
            raise_pending();
        return Ref(obj);
    }
    // Takes ownership of a new reference that may be NULL without an error.
    static Ref steal_or_null(PyObject* obj) { return Ref(obj); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

  private:
    explicit Ref(PyObject* obj) : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

inline Ref get_attr(PyObject* obj, const char* name) {
    return Ref::steal(PyObject_GetAttrString(obj, name));
}

inline Ref get_item(PyObject* obj, Py_ssize_t index) {
    return Ref::steal(PySequence_GetItem(obj, index));
}

// Item access through the mapping/sequence protocol with an int key, as
// obj[index] does in Python.
inline Ref get_item_by_key(PyObject* obj, Py_ssize_t index) {
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return Ref::steal(PyObject_GetItem(obj, key.get()));
}

inline Ref call_method(PyObject* obj, const char* name) {
    return Ref::steal(PyObject_CallMethod(obj, name, nullptr));
}

inline bool truth(PyObject* obj) {
    int result = PyObject_IsTrue(obj);
    if (result < 0)
        raise_pending();
    return result != 0;
}

} // namespace capi
