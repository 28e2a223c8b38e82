#include "engine/waveform.hpp"

#include "capi/convert.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace loxant::engine {

namespace {

constexpr int kMaxDepth = 8;
constexpr double kPi = 3.141592653589793; // math.pi

Py_ssize_t spec_length(PyObject* desc) {
    if (!PyTuple_Check(desc))
        capi::raise_format(PyExc_TypeError, "waveform description must be a tuple, got %.200s",
                           Py_TYPE(desc)->tp_name);
    return PyTuple_GET_SIZE(desc);
}

void expect_items(PyObject* desc, const char* kind, Py_ssize_t count) {
    if (PyTuple_GET_SIZE(desc) != count)
        capi::raise_format(PyExc_ValueError, "waveform description '%s' needs %zd items, got %zd",
                           kind, count, PyTuple_GET_SIZE(desc));
}

double finite_item(PyObject* desc, Py_ssize_t k) {
    const double value = capi::to_double(PyTuple_GET_ITEM(desc, k));
    if (!std::isfinite(value))
        capi::raise_format(PyExc_ValueError, "waveform parameter %zd is not finite", k);
    return value;
}

std::vector<double> finite_list(PyObject* sequence, const char* what) {
    capi::Ref fast = capi::Ref::steal(PySequence_Fast(sequence, "PWL points must be a sequence"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    std::vector<double> out(static_cast<size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        out[k] = capi::to_double(PySequence_Fast_GET_ITEM(fast.get(), k));
        if (!std::isfinite(out[k]))
            capi::raise_format(PyExc_ValueError, "PWL %s %zd is not finite", what, k);
    }
    return out;
}

bool kind_is(PyObject* name, const char* kind) {
    return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, kind) == 0;
}

} // namespace

std::unique_ptr<Waveform> Waveform::parse(PyObject* desc, int depth) {
    if (depth > kMaxDepth)
        capi::raise(PyExc_ValueError, "waveform description nested too deeply");
    if (spec_length(desc) < 1)
        capi::raise(PyExc_ValueError, "waveform description is empty");
    PyObject* name = PyTuple_GET_ITEM(desc, 0);
    auto w = std::make_unique<Waveform>();
    if (kind_is(name, "constant")) {
        expect_items(desc, "constant", 2);
        w->kind_ = Kind::constant;
        w->p_[0] = finite_item(desc, 1);
    } else if (kind_is(name, "pwl")) {
        expect_items(desc, "pwl", 3);
        w->kind_ = Kind::pwl;
        w->times_ = finite_list(PyTuple_GET_ITEM(desc, 1), "time");
        w->values_ = finite_list(PyTuple_GET_ITEM(desc, 2), "value");
        if (w->times_.empty() || w->times_.size() != w->values_.size())
            capi::raise(PyExc_ValueError, "PWL needs as many values as times, at least one");
        if (!std::is_sorted(w->times_.begin(), w->times_.end()))
            capi::raise(PyExc_ValueError, "PWL times must not decrease");
    } else if (kind_is(name, "pulse")) {
        expect_items(desc, "pulse", 8);
        w->kind_ = Kind::pulse;
        for (int k = 0; k < 6; ++k)
            w->p_[k] = finite_item(desc, k + 1);
        w->periodic_ = PyTuple_GET_ITEM(desc, 7) != Py_None;
        if (w->periodic_)
            w->p_[6] = finite_item(desc, 7);
    } else if (kind_is(name, "sine")) {
        expect_items(desc, "sine", 6);
        w->kind_ = Kind::sine;
        for (int k = 0; k < 5; ++k)
            w->p_[k] = finite_item(desc, k + 1);
    } else if (kind_is(name, "damped_sine")) {
        expect_items(desc, "damped_sine", 6);
        w->kind_ = Kind::damped_sine;
        for (int k = 0; k < 5; ++k)
            w->p_[k] = finite_item(desc, k + 1);
    } else if (kind_is(name, "exp")) {
        expect_items(desc, "exp", 7);
        w->kind_ = Kind::exp;
        for (int k = 0; k < 6; ++k)
            w->p_[k] = finite_item(desc, k + 1);
        if (w->p_[3] < 0 || w->p_[5] < 0)
            capi::raise(PyExc_ValueError, "exp time constants must not be negative");
    } else if (kind_is(name, "scaled")) {
        expect_items(desc, "scaled", 4);
        w->kind_ = Kind::scaled;
        w->inner_ = parse(PyTuple_GET_ITEM(desc, 1), depth + 1);
        w->p_[0] = finite_item(desc, 2);
        w->p_[1] = finite_item(desc, 3);
    } else if (kind_is(name, "python")) {
        expect_items(desc, "python", 2);
        PyObject* callable = PyTuple_GET_ITEM(desc, 1);
        if (!PyCallable_Check(callable))
            capi::raise_format(PyExc_TypeError, "waveform 'python' needs a callable, got %.200s",
                               Py_TYPE(callable)->tp_name);
        w->kind_ = Kind::python;
        w->callable_ = capi::Ref::borrow(callable);
    } else {
        capi::raise_format(PyExc_ValueError, "unknown waveform kind %R", name);
    }
    return w;
}

bool Waveform::calls_python() const noexcept {
    if (kind_ == Kind::python)
        return true;
    return kind_ == Kind::scaled && inner_->calls_python();
}

bool Waveform::same_values_as(const Waveform& other) const noexcept {
    if (kind_ != other.kind_ || calls_python() || periodic_ != other.periodic_ ||
        std::memcmp(p_, other.p_, sizeof p_) != 0 || times_ != other.times_ ||
        values_ != other.values_)
        return false;
    return kind_ != Kind::scaled || inner_->same_values_as(*other.inner_);
}

// PWL.__call__: bisect_right, then v0 + (v1 - v0) * (t - t0) / (t1 - t0).
double Waveform::pwl(double t) const noexcept {
    const size_t k = std::upper_bound(times_.begin(), times_.end(), t) - times_.begin();
    if (k == 0)
        return values_.front();
    if (k == times_.size())
        return values_.back();
    const double t0 = times_[k - 1], t1 = times_[k];
    const double v0 = values_[k - 1], v1 = values_[k];
    return v0 + (v1 - v0) * (t - t0) / (t1 - t0);
}

// Pulse.__call__; parameters low, high, delay, rise, fall, width, period.
double Waveform::pulse(double t) const noexcept {
    const double low = p_[0], high = p_[1], delay = p_[2], rise = p_[3], fall = p_[4],
                 width = p_[5];
    double tau = t - delay;
    if (tau < 0)
        return low;
    if (periodic_)
        tau = std::fmod(tau, p_[6]);
    if (tau < rise)
        return low + (high - low) * tau / rise;
    tau -= rise;
    if (tau <= width)
        return high;
    tau -= width;
    if (tau < fall)
        return high + (low - high) * tau / fall;
    return low;
}

// Sine.__call__; parameters offset, amplitude, frequency, delay, phase.
double Waveform::sine(double t) const noexcept {
    const double tau = std::max(t - p_[3], 0.0);
    return p_[0] + p_[1] * std::sin(2.0 * kPi * p_[2] * tau + p_[4]);
}

// DampedSine.__call__; parameters offset, amplitude, frequency, delay, damping.
double Waveform::damped_sine(double t) const noexcept {
    const double tau = t - p_[3];
    if (tau <= 0)
        return p_[0];
    const double envelope = std::exp(-p_[4] * tau);
    return p_[0] + p_[1] * envelope * std::sin(2.0 * kPi * p_[2] * tau);
}

namespace {

// Exp._approach: 0 before the delay, then 1 - exp(-tau / time_constant).
double approach(double tau, double time_constant) noexcept {
    if (tau <= 0)
        return 0.0;
    if (time_constant == 0)
        return 1.0;
    return -std::expm1(-tau / time_constant);
}

} // namespace

// Exp.__call__; parameters v1, v2, rise delay, rise time constant, fall delay,
// fall time constant.
double Waveform::exp(double t) const noexcept {
    const double step = p_[1] - p_[0];
    const double rise = approach(t - p_[2], p_[3]);
    const double fall = approach(t - p_[4], p_[5]);
    return p_[0] + step * rise - step * fall;
}

double Waveform::value(double t) const noexcept {
    switch (kind_) {
    case Kind::constant:
        return p_[0];
    case Kind::pwl:
        return pwl(t);
    case Kind::pulse:
        return pulse(t);
    case Kind::sine:
        return sine(t);
    case Kind::damped_sine:
        return damped_sine(t);
    case Kind::exp:
        return exp(t);
    case Kind::scaled:
        return inner_->value(t * p_[0]) / p_[1];
    case Kind::python:
        break;
    }
    return 0.0;
}

double Waveform::evaluate(double t) const {
    if (kind_ == Kind::scaled)
        return inner_->evaluate(t * p_[0]) / p_[1];
    if (kind_ != Kind::python)
        return value(t);
    capi::Ref time = capi::Ref::steal(PyFloat_FromDouble(t));
    capi::Ref result =
        capi::Ref::steal(PyObject_CallFunctionObjArgs(callable_.get(), time.get(), nullptr));
    return capi::to_double(result.get());
}

} // namespace loxant::engine
