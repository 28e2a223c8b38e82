// Source waveforms evaluated natively.  Each kind repeats the arithmetic of
// its class in loxant.waveforms operation by operation, so that both give the
// same doubles; a waveform the engine does not know is called in Python.
#pragma once

#include "capi/ref.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace loxant::engine {

class Waveform {
  public:
    enum class Kind {
        constant,
        pwl,
        pws,
        pulse,
        sine,
        damped_sine,
        exp,
        noise,
        custom,
        scaled,
        python
    };

    // Reads a description made by loxant.engine (a tuple whose item 0 names
    // the kind); ValueError or TypeError for anything malformed.
    static std::unique_ptr<Waveform> parse(PyObject* desc, int depth = 0);

    Kind kind() const noexcept { return kind_; }
    bool constant() const noexcept { return kind_ == Kind::constant; }
    // True if evaluating calls Python (needs the interpreter lock, may raise).
    bool calls_python() const noexcept;

    // True if both give the same value at every time without calling Python.
    bool same_values_as(const Waveform& other) const noexcept;

    // A time after which the value never changes (infinite if there is none
    // known: a periodic or Python waveform).
    double settles_after() const noexcept;

    // The value at t; only for waveforms that do not call Python.
    double value(double t) const noexcept;
    // The value at t, calling Python where needed; throws capi::PythonError.
    double evaluate(double t) const;

  private:
    double pwl(double t) const noexcept;
    double pws(double t) const noexcept;
    double pulse(double t) const noexcept;
    double sine(double t) const noexcept;
    double damped_sine(double t) const noexcept;
    double exp(double t) const noexcept;
    double noise(double t) const noexcept;
    double custom(double t) const noexcept;
    double custom_slope(size_t k) const noexcept;

    Kind kind_ = Kind::constant;
    double p_[7] = {}; // parameters in the order of the description
    bool periodic_ = false;
    uint64_t key_[2] = {}; // noise: the stream's keys
    std::vector<double> times_, values_;
    std::unique_ptr<Waveform> inner_; // scaled
    capi::Ref callable_;              // python
};

} // namespace loxant::engine
