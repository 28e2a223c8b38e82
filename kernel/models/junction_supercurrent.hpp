// The supercurrent law shared by the junctions that take a current-phase
// relation of several harmonics, a phase offset and a contact transparency:
//
//   Is = Ic sum_k a_k h(k (phi - phi0)),  k = 1 .. n
//   h(x) = sin x                                       (transparency D = 0)
//   h(x) = sin x tanh(b s) / (s tanh b),  s = sqrt(1 - D sin^2(x / 2))   (0 < D < 1)
//
// b = Delta / (2 kB T).  The second h is Haberkorn's relation divided by its
// D -> 0 amplitude tanh b, so that Ic stays the critical current of a contact
// of low transparency; it tends to sin x as D -> 0 and as b -> 0.  With the
// defaults (n = 1, a1 = 1, phi0 = 0, D = 0) the law is Ic sin(phi) exactly.
//
// SetSupercurrent([phi0, D, b, a1, ..., an]) sets it from Python; it checks
// its input and leaves the law unchanged when any item is wrong.
#pragma once

#include "capi/args.hpp"
#include "capi/convert.hpp"
#include "capi/errors.hpp"
#include "kernel/models/element_model.hpp"

#include <cmath>
#include <cstdint>

namespace loxant {

inline constexpr int kMaxHarmonics = 16;

struct Supercurrent {
    int32_t harmonics;
    double offset;       // phi0
    double transparency; // D, 0 when b = 0 (the relation is then sin x)
    double thermal;      // b
    double inverse_tanh; // 1 / tanh b
    double amplitude[kMaxHarmonics];

    void reset() noexcept {
        harmonics = 1;
        offset = 0.0;
        transparency = 0.0;
        thermal = 0.0;
        inverse_tanh = 0.0;
        amplitude[0] = 1.0;
    }

    // Ic sin(phi - phi0) times a1 alone.
    bool plain() const noexcept { return harmonics == 1 && transparency == 0.0; }

    // The sum per unit Ic at the phase, and its derivative in the phase.
    struct Value {
        double value;
        double slope;
    };

    Value at(double phase) const noexcept {
        if (plain()) {
            double sine, cosine;
            ::sincos(phase - offset, &sine, &cosine);
            return {amplitude[0] * sine, amplitude[0] * cosine};
        }
        Value sum{0.0, 0.0};
        for (int32_t k = 1; k <= harmonics; ++k) {
            const Value h = elementary(k * (phase - offset));
            sum.value += amplitude[k - 1] * h.value;
            sum.slope += amplitude[k - 1] * k * h.slope;
        }
        return sum;
    }

    // The value or the slope alone: the plain law then needs one sine or one
    // cosine, not both.
    double value(double phase) const noexcept {
        if (plain())
            return amplitude[0] * std::sin(phase - offset);
        return at(phase).value;
    }
    double slope(double phase) const noexcept {
        if (plain())
            return amplitude[0] * std::cos(phase - offset);
        return at(phase).slope;
    }

    // h(x) and h'(x).
    Value elementary(double x) const noexcept {
        double sine, cosine;
        ::sincos(x, &sine, &cosine);
        if (transparency == 0.0)
            return {sine, cosine};
        const double half = std::sin(0.5 * x);
        const double s = std::sqrt(1.0 - transparency * half * half);
        const double bs = thermal * s;
        const double th = std::tanh(bs);
        const double sech = 1.0 / std::cosh(bs);
        const double q = th * inverse_tanh / s;
        // dq/ds, and ds/dx = -D sin x / (4 s)
        const double dq_ds = (thermal * sech * sech * s - th) * inverse_tanh / (s * s);
        const double ds_dx = -transparency * sine / (4.0 * s);
        return {sine * q, cosine * q + sine * dq_ds * ds_dx};
    }
};

namespace supercurrent_detail {

inline double finite_item(const Params& items, Py_ssize_t k, const char* what) {
    const double value = items.real(k);
    if (!std::isfinite(value))
        capi::raise_format(PyExc_ValueError, "SetSupercurrent: %s must be finite", what);
    return value;
}

// Reads and checks everything before anything is stored.
inline Supercurrent read(PyObject* sequence) {
    const Py_ssize_t n = PyObject_Length(sequence);
    if (n < 0)
        capi::raise_pending();
    if (n < 4 || n > 3 + kMaxHarmonics)
        capi::raise_format(PyExc_ValueError,
                           "SetSupercurrent takes [phi0, D, b, a1, ...] with 1 to %d "
                           "harmonics, got %zd items",
                           kMaxHarmonics, n);
    const Params items(sequence);
    Supercurrent law;
    law.harmonics = static_cast<int32_t>(n - 3);
    law.offset = finite_item(items, 0, "the phase offset");
    law.transparency = finite_item(items, 1, "the transparency");
    law.thermal = finite_item(items, 2, "the thermal factor");
    if (!(law.transparency >= 0.0 && law.transparency < 1.0))
        capi::raise_format(PyExc_ValueError, "SetSupercurrent: transparency must be in [0, 1)");
    if (law.thermal < 0.0)
        capi::raise_format(PyExc_ValueError,
                           "SetSupercurrent: the thermal factor must not be negative");
    for (int32_t k = 0; k < law.harmonics; ++k)
        law.amplitude[k] = finite_item(items, 3 + k, "every harmonic amplitude");
    if (law.thermal == 0.0)
        law.transparency = 0.0;
    law.inverse_tanh = law.thermal > 0.0 ? 1.0 / std::tanh(law.thermal) : 0.0;
    return law;
}

} // namespace supercurrent_detail

// The SetSupercurrent method of a model class whose struct has `Supercurrent
// law` and a `forget()` that drops whatever it cached of the old law.
template <class Model> struct SupercurrentMethods {
    static PyObject* set(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
        const ModelClass* cls = class_of(obj);
        return capi::boundary_none(qualified(cls->name, "SetSupercurrent"),
                                   "kernel/models/junction_supercurrent.hpp", [&] {
                                       PyObject* items =
                                           capi::parse_one("SetSupercurrent", args, nargs, kwnames);
                                       Model& m =
                                           as<Model>(reinterpret_cast<ElementModelObject*>(obj));
                                       m.law = supercurrent_detail::read(items);
                                       m.forget();
                                   });
    }

    static PyObject* get_harmonics(PyObject* obj, void*) {
        return capi::boundary(qualified(class_of(obj)->name, "__get__"),
                              "kernel/models/junction_supercurrent.hpp", [&] {
                                  const Supercurrent& law =
                                      as<Model>(reinterpret_cast<ElementModelObject*>(obj)).law;
                                  capi::Ref list = capi::Ref::steal(PyList_New(law.harmonics));
                                  for (int32_t k = 0; k < law.harmonics; ++k) {
                                      PyObject* item = PyFloat_FromDouble(law.amplitude[k]);
                                      if (item == nullptr)
                                          capi::raise_pending();
                                      PyList_SET_ITEM(list.get(), k, item);
                                  }
                                  return list;
                              });
    }

    static PyMethodDef method() {
        return {"SetSupercurrent", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set)),
                METH_FASTCALL | METH_KEYWORDS,
                "SetSupercurrent([phi0, D, b, a1, ..., an]): supercurrent "
                "Ic sum_k a_k h(k (phi - phi0)), h Haberkorn's relation of transparency D "
                "at b = Delta / (2 kB T) scaled to sin x for D -> 0 (sin x for D = 0)."};
    }

    static PyGetSetDef harmonics_attribute() {
        return {"harmonics", get_harmonics, nullptr,
                "Harmonic amplitudes a1, ..., an of the supercurrent.", nullptr};
    }
};

// The law's scalar settings as read-only attributes of a model class.
template <class Model> std::vector<DoubleField> supercurrent_fields() {
    const size_t base = offsetof(Model, law);
    return {{"phase_offset", base + offsetof(Supercurrent, offset)},
            {"transparency", base + offsetof(Supercurrent, transparency)},
            {"thermal_factor", base + offsetof(Supercurrent, thermal)}};
}

} // namespace loxant
