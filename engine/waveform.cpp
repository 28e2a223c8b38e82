#include "engine/waveform.hpp"

#include "capi/buffer.hpp"
#include "capi/convert.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace loxant::engine {

namespace {

constexpr int kMaxDepth = 8;
constexpr double kPi = 3.141592653589793; // math.pi
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr Py_ssize_t kMaxSamples = 10'000'000; // waveforms.MOST_SAMPLES
constexpr double kLastIndex = 0x1p53;          // waveforms._LAST_INDEX

Py_ssize_t description_length(PyObject* desc) {
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

double positive_item(PyObject* desc, Py_ssize_t k, const char* what) {
    const double value = finite_item(desc, k);
    if (!(value > 0))
        capi::raise_format(PyExc_ValueError, "%s must be positive", what);
    return value;
}

// A list, tuple or one-dimensional buffer of finite numbers (`kind` and `what`
// name them in messages).
std::vector<double> finite_list(PyObject* sequence, const char* kind, const char* what) {
    std::vector<double> out;
    if (PyObject_CheckBuffer(sequence)) {
        const capi::DoubleView view(sequence, "double", capi::Access::read);
        out.resize(static_cast<size_t>(view.size()));
        for (Py_ssize_t k = 0; k < view.size(); ++k)
            out[k] = view.strided()[k];
    } else {
        capi::Ref fast =
            capi::Ref::steal(PySequence_Fast(sequence, "waveform points must be a sequence"));
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
        out.resize(static_cast<size_t>(n));
        for (Py_ssize_t k = 0; k < n; ++k)
            out[k] = capi::to_double(PySequence_Fast_GET_ITEM(fast.get(), k));
    }
    for (size_t k = 0; k < out.size(); ++k)
        if (!std::isfinite(out[k]))
            capi::raise_format(PyExc_ValueError, "%s %s %zu is not finite", kind, what, k);
    return out;
}

// The points of a PWL or PWS: finite times that do not decrease, as many values.
void read_points(PyObject* desc, const char* kind, std::vector<double>& times,
                 std::vector<double>& values) {
    times = finite_list(PyTuple_GET_ITEM(desc, 1), kind, "time");
    values = finite_list(PyTuple_GET_ITEM(desc, 2), kind, "value");
    if (times.empty() || times.size() != values.size())
        capi::raise_format(PyExc_ValueError, "%s needs as many values as times, at least one",
                           kind);
    if (!std::is_sorted(times.begin(), times.end()))
        capi::raise_format(PyExc_ValueError, "%s times must not decrease", kind);
}

// waveforms._duration: the time `cycles` periods take, inf without a limit.
double sine_duration(PyObject* desc, Py_ssize_t k, double frequency) {
    if (PyTuple_GET_ITEM(desc, k) == Py_None)
        return kInf;
    const double cycles = finite_item(desc, k);
    if (cycles < 0)
        capi::raise(PyExc_ValueError, "sine number of cycles must not be negative");
    if (cycles == 0)
        return kInf;
    if (frequency == 0)
        capi::raise(PyExc_ValueError, "a sine with a number of cycles needs a nonzero frequency");
    return cycles / std::fabs(frequency);
}

uint64_t key_item(PyObject* desc, Py_ssize_t k) {
    PyObject* item = PyTuple_GET_ITEM(desc, k);
    if (!PyLong_Check(item))
        capi::raise_format(PyExc_TypeError, "noise key must be an int, got %.200s",
                           Py_TYPE(item)->tp_name);
    const unsigned long long key = PyLong_AsUnsignedLongLong(item);
    if (PyErr_Occurred())
        capi::raise_pending();
    return key;
}

// The kinds a description may name, with the length of its tuple (the name
// included); the names are those of the Python side's waveform table.
struct KindEntry {
    const char* name;
    Waveform::Kind kind;
    Py_ssize_t items;
};

constexpr KindEntry kKinds[] = {
    {"constant", Waveform::Kind::constant, 2}, {"pwl", Waveform::Kind::pwl, 3},
    {"pws", Waveform::Kind::pws, 3},           {"pulse", Waveform::Kind::pulse, 8},
    {"sine", Waveform::Kind::sine, 7},         {"damped_sine", Waveform::Kind::damped_sine, 8},
    {"exp", Waveform::Kind::exp, 7},           {"noise", Waveform::Kind::noise, 6},
    {"custom", Waveform::Kind::custom, 6},     {"scaled", Waveform::Kind::scaled, 4},
    {"python", Waveform::Kind::python, 2},
};

const KindEntry& kind_entry(PyObject* name) {
    if (PyUnicode_Check(name))
        for (const KindEntry& entry : kKinds)
            if (PyUnicode_CompareWithASCIIString(name, entry.name) == 0)
                return entry;
    capi::raise_format(PyExc_ValueError, "unknown waveform kind %R", name);
}

} // namespace

std::unique_ptr<Waveform> Waveform::parse(PyObject* desc, int depth) {
    if (depth > kMaxDepth)
        capi::raise(PyExc_ValueError, "waveform description nested too deeply");
    if (description_length(desc) < 1)
        capi::raise(PyExc_ValueError, "waveform description is empty");
    const KindEntry& entry = kind_entry(PyTuple_GET_ITEM(desc, 0));
    expect_items(desc, entry.name, entry.items);
    auto w = std::make_unique<Waveform>();
    w->kind_ = entry.kind;
    switch (entry.kind) {
    case Kind::constant: {
        w->p_[0] = finite_item(desc, 1);
        break;
    }
    case Kind::pwl: {
        read_points(desc, "PWL", w->times_, w->values_);
        break;
    }
    case Kind::pws: {
        read_points(desc, "PWS", w->times_, w->values_);
        break;
    }
    case Kind::pulse: {
        for (int k = 0; k < 6; ++k)
            w->p_[k] = finite_item(desc, k + 1);
        w->periodic_ = PyTuple_GET_ITEM(desc, 7) != Py_None;
        if (w->periodic_)
            w->p_[6] = finite_item(desc, 7);
        break;
    }
    case Kind::sine: {
        for (int k = 0; k < 5; ++k)
            w->p_[k] = finite_item(desc, k + 1);
        w->p_[5] = sine_duration(desc, 6, w->p_[2]);
        break;
    }
    case Kind::damped_sine: {
        for (int k = 0; k < 6; ++k)
            w->p_[k] = finite_item(desc, k + 1);
        w->p_[6] = sine_duration(desc, 7, w->p_[2]);
        break;
    }
    case Kind::exp: {
        for (int k = 0; k < 6; ++k)
            w->p_[k] = finite_item(desc, k + 1);
        if (w->p_[3] < 0 || w->p_[5] < 0)
            capi::raise(PyExc_ValueError, "exp time constants must not be negative");
        break;
    }
    case Kind::noise: {
        w->p_[0] = finite_item(desc, 1);
        w->p_[1] = finite_item(desc, 2);
        w->p_[2] = positive_item(desc, 3, "noise time step");
        w->key_[0] = key_item(desc, 4);
        w->key_[1] = key_item(desc, 5);
        break;
    }
    case Kind::custom: {
        w->values_ = finite_list(PyTuple_GET_ITEM(desc, 1), "custom waveform", "sample");
        const Py_ssize_t count = static_cast<Py_ssize_t>(w->values_.size());
        if (count < 1 || count > kMaxSamples)
            capi::raise_format(PyExc_ValueError, "custom waveform needs 1 to %zd samples, got %zd",
                               kMaxSamples, count);
        w->p_[0] = positive_item(desc, 2, "custom waveform time step");
        w->p_[2] = finite_item(desc, 3);
        if (w->p_[2] != 0 && w->p_[2] != 1 && w->p_[2] != 2)
            capi::raise(PyExc_ValueError, "custom waveform interpolation must be 0, 1 or 2");
        w->p_[1] = finite_item(desc, 4);
        PyObject* periodic = PyTuple_GET_ITEM(desc, 5);
        if (!PyBool_Check(periodic))
            capi::raise(PyExc_TypeError, "custom waveform 'periodic' must be a bool");
        w->periodic_ = periodic == Py_True;
        break;
    }
    case Kind::scaled: {
        w->inner_ = parse(PyTuple_GET_ITEM(desc, 1), depth + 1);
        w->p_[0] = finite_item(desc, 2);
        w->p_[1] = finite_item(desc, 3);
        break;
    }
    case Kind::python: {
        PyObject* callable = PyTuple_GET_ITEM(desc, 1);
        if (!PyCallable_Check(callable))
            capi::raise_format(PyExc_TypeError, "waveform 'python' needs a callable, got %.200s",
                               Py_TYPE(callable)->tp_name);
        w->callable_ = capi::Ref::borrow(callable);
        break;
    }
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
        std::memcmp(p_, other.p_, sizeof p_) != 0 ||
        std::memcmp(key_, other.key_, sizeof key_) != 0 || times_ != other.times_ ||
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

// PWS.__call__: the segment of PWL, then a half-cosine between its ends.
double Waveform::pws(double t) const noexcept {
    const size_t k = std::upper_bound(times_.begin(), times_.end(), t) - times_.begin();
    if (k == 0)
        return values_.front();
    if (k == times_.size())
        return values_.back();
    const double t0 = times_[k - 1], t1 = times_[k];
    const double v0 = values_[k - 1], v1 = values_[k];
    const double u = (t - t0) / (t1 - t0);
    return v0 + (v1 - v0) * (1.0 - std::cos(kPi * u)) / 2.0;
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

// Sine.__call__; parameters offset, amplitude, frequency, delay, phase, duration.
double Waveform::sine(double t) const noexcept {
    const double tau = std::max(t - p_[3], 0.0);
    if (tau >= p_[5])
        return p_[0];
    return p_[0] + p_[1] * std::sin(2.0 * kPi * p_[2] * tau + p_[4]);
}

// DampedSine.__call__; parameters offset, amplitude, frequency, delay, damping,
// phase, duration.
double Waveform::damped_sine(double t) const noexcept {
    const double tau = t - p_[3];
    if (tau < 0 || tau >= p_[6])
        return p_[0];
    const double envelope = std::exp(-p_[4] * tau);
    return p_[0] + p_[1] * envelope * std::sin(2.0 * kPi * p_[2] * tau + p_[5]);
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

namespace {

// waveforms._step_index: floor(x) for x = (t - origin) / step in [0, 2^53),
// moved by one where rounding put it across the edge origin + k * step.
double step_index(double x, double t, double origin, double step) noexcept {
    double k = std::floor(x);
    if (origin + k * step > t)
        k -= 1;
    else if (origin + (k + 1) * step <= t)
        k += 1;
    return std::max(k, 0.0);
}

// waveforms._mix64 and _random_bits: a counter-based generator, so the value of
// any step is computed from its index alone.
uint64_t mix64(uint64_t z) noexcept {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t random_bits(const uint64_t key[2], uint64_t counter) noexcept {
    return mix64(mix64(key[0] + counter * 0x9E3779B97F4A7C15ull) ^ key[1]);
}

// waveforms._gaussian: Box-Muller of a uniform in (0, 1) and one in [0, 1).
double gaussian(const uint64_t key[2], double index) noexcept {
    const uint64_t counter = 2 * static_cast<uint64_t>(index);
    const double u1 = (static_cast<double>(random_bits(key, counter + 1) >> 12) + 0.5) * 0x1p-52;
    const double u2 = static_cast<double>(random_bits(key, counter + 2) >> 11) * 0x1p-53;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
}

} // namespace

// Noise.__call__ and Noise.index; parameters amplitude, delay, step.
double Waveform::noise(double t) const noexcept {
    const double amplitude = p_[0], delay = p_[1], step = p_[2];
    if (!(t >= delay))
        return 0.0;
    const double x = (t - delay) / step;
    const double k = x >= kLastIndex ? kLastIndex : step_index(x, t, delay, step);
    return amplitude * gaussian(key_, k) / std::sqrt(2.0 * step);
}

// Custom._slope: the Catmull-Rom slope at sample k, per sample.
double Waveform::custom_slope(size_t k) const noexcept {
    const std::vector<double>& y = values_;
    const size_t count = y.size(), last = count - 1;
    if (periodic_)
        return (y[(k + 1) % count] - y[(k + last) % count]) * 0.5;
    if (k == 0)
        return y[1] - y[0];
    if (k == last)
        return y[last] - y[last - 1];
    return (y[k + 1] - y[k - 1]) * 0.5;
}

// Custom.__call__ and Custom._segment; parameters step, delay, interpolation.
double Waveform::custom(double t) const noexcept {
    const double x = (t - p_[1]) / p_[0];
    if (!(x >= 0))
        return 0.0;
    const size_t count = values_.size();
    if (count == 1 || (!periodic_ && x >= static_cast<double>(count - 1)))
        return values_.back();
    if (std::isinf(x))
        return std::numeric_limits<double>::quiet_NaN();
    const double whole = x < kLastIndex ? step_index(x, t, p_[1], p_[0]) : std::floor(x);
    if (!periodic_ && whole >= static_cast<double>(count - 1))
        return values_.back();
    const double u = x - whole;
    const size_t k = static_cast<size_t>(std::fmod(whole, static_cast<double>(count)));
    const size_t k1 = (k + 1) % count;
    const double y0 = values_[k], y1 = values_[k1];
    if (p_[2] == 0)
        return y0;
    if (p_[2] == 1)
        return y0 + (y1 - y0) * u;
    const double m0 = custom_slope(k), m1 = custom_slope(k1);
    const double d = y1 - y0;
    return y0 + u * (m0 + u * ((3.0 * d - 2.0 * m0 - m1) + u * (m0 + m1 - 2.0 * d)));
}

double Waveform::value(double t) const noexcept {
    switch (kind_) {
    case Kind::constant:
        return p_[0];
    case Kind::pwl:
        return pwl(t);
    case Kind::pws:
        return pws(t);
    case Kind::pulse:
        return pulse(t);
    case Kind::sine:
        return sine(t);
    case Kind::damped_sine:
        return damped_sine(t);
    case Kind::exp:
        return exp(t);
    case Kind::noise:
        return noise(t);
    case Kind::custom:
        return custom(t);
    case Kind::scaled:
        return inner_->value(t * p_[0]) / p_[1];
    case Kind::python:
        break;
    }
    return 0.0;
}

double Waveform::settles_after() const noexcept {
    constexpr double never = std::numeric_limits<double>::infinity();
    switch (kind_) {
    case Kind::constant:
        return -never;
    case Kind::pwl:
    case Kind::pws:
        return times_.back(); // then the last value holds
    case Kind::scaled:
        return p_[0] > 0.0 ? inner_->settles_after() / p_[0] : never;
    default:
        return never;
    }
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
