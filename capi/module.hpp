// Checks made when a module is initialised.
#pragma once

#include "ref.hpp"

#include <cctype>
#include <cstring>

namespace capi {

// Warns when the interpreter's major.minor differs from the build's.
inline void check_python_version(const char* module_name) {
    char built[16];
    PyOS_snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char* running = Py_GetVersion();
    size_t n = std::strlen(built);
    bool same = std::strncmp(built, running, n) == 0 &&
                !std::isdigit(static_cast<unsigned char>(running[n]));
    if (same)
        return;
    char shown[16];
    PyOS_snprintf(shown, sizeof shown, "%.*s", static_cast<int>(std::strcspn(running, " ")),
                  running);
    if (PyErr_WarnFormat(
            nullptr, 1,
            "compiletime version %s of module '%.100s' does not match runtime version %s", built,
            module_name, shown) < 0)
        raise_pending();
}

enum class SizeCheck { warn_if_larger, ignore_larger };

// Imports `module.name` as a type and checks its instance size against the
// size this module was built for.  Returns a new reference.
inline Ref import_type(const char* module, const char* name, Py_ssize_t built_size,
                       SizeCheck check) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    Ref type = get_attr(mod.get(), name);
    if (!PyType_Check(type.get()))
        raise_format(PyExc_TypeError, "%.200s.%.200s is not a type object", module, name);
    Py_ssize_t actual = reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize;
    const char* message = "%.200s.%.200s size changed, may indicate binary incompatibility. "
                          "Expected %zd from C header, got %zd from PyObject";
    if (actual < built_size)
        raise_format(PyExc_ValueError, message, module, name, built_size, actual);
    if (actual > built_size && check == SizeCheck::warn_if_larger &&
        PyErr_WarnFormat(nullptr, 0, message, module, name, built_size, actual) < 0)
        raise_pending();
    return type;
}

} // namespace capi
