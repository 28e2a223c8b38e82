// NoiseCurrentSourceModel: the thermal noise current of a resistive branch, a
// Gaussian white current from i to j of two-sided spectral density S (2kT/R).
//
//   I = z sqrt(S / h)        z a standard normal, h = ctx.time_step, the size of
//                            the step being solved (variance 2kT / (R h) per step)
//   I = z sqrt(2 S B)        with a noise bandwidth B > 0: z is then held for
//                            1 / (2B) of accepted time instead of one step
//   RHSCurrent: B[i-1] -= I, B[j-1] += I (the current flows through it from i to j)
//   Values:     current I of the accepted step, phase and voltage i - j; then draws
//               the next z from the model's own generator (xoshiro256**, seeded by
//               splitmix64), so each accepted step gets fresh noise natively
//   No matrix terms; the positions are stored but never used.
//
// A time loop drives it like any model: RHSCurrent with time_step = the step being
// solved, and Values exactly once after each accepted step with time_step = that
// step's size.  A rejected step draws nothing: its retry reuses z at the new size.
#include "kernel/models/element_model.hpp"

#include "capi/errors.hpp"

#include <cmath>
#include <cstdint>

namespace loxant {
namespace {

struct NoiseSource {
    ElementModelObject base;
    TwoTerminal t;
    double density;   // two-sided S
    double seed;      // an integer below 2**53
    double bandwidth; // B; 0: a fresh value every step
    double held_time; // accepted time since z was drawn (bandwidth mode)
    double z;
    uint64_t state[4];
    int32_t seeded;

    double amplitude(double step) const noexcept {
        if (bandwidth > 0)
            return std::sqrt(2.0 * density * bandwidth);
        return step > 0 ? std::sqrt(density / step) : 0.0;
    }
    double current(double step) const noexcept { return amplitude(step) * z; }
};

uint64_t rotl(uint64_t x, int k) noexcept {
    return (x << k) | (x >> (64 - k));
}

uint64_t splitmix64(uint64_t& x) noexcept {
    uint64_t r = (x += 0x9e3779b97f4a7c15ULL);
    r = (r ^ (r >> 30)) * 0xbf58476d1ce4e5b9ULL;
    r = (r ^ (r >> 27)) * 0x94d049bb133111ebULL;
    return r ^ (r >> 31);
}

uint64_t next_bits(uint64_t* s) noexcept {
    const uint64_t result = rotl(s[1] * 5, 7) * 9;
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
}

// Uniform on (0, 1], never 0, so the logarithm below stays finite.
double uniform(uint64_t* s) noexcept {
    return (static_cast<double>(next_bits(s) >> 11) + 1.0) * 0x1.0p-53;
}

// Box-Muller; the second value of each pair is dropped, so a draw depends only
// on the generator state.
double standard_normal(uint64_t* s) noexcept {
    const double radius = std::sqrt(-2.0 * std::log(uniform(s)));
    return radius * std::cos(2.0 * M_PI * uniform(s));
}

void reseed(NoiseSource& m) noexcept {
    uint64_t x = static_cast<uint64_t>(m.seed);
    for (uint64_t& word : m.state)
        word = splitmix64(x);
    m.z = standard_normal(m.state);
    m.held_time = 0.0;
    m.seeded = 1;
}

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    const NoiseSource& m = as<NoiseSource>(self);
    stamp_current(b, m.t.i, m.t.j, m.current(ctx.time_step));
}

void values(ElementModelObject* self, const StepContext& ctx) noexcept {
    NoiseSource& m = as<NoiseSource>(self);
    const SharedPointers& p = self->book->arrays();
    p.elem_currents[m.t.eindex] = m.current(ctx.time_step);
    read_out(p, m.t.i, m.t.j, m.t.eindex);
    if (m.bandwidth > 0) {
        m.held_time += ctx.time_step;
        if (m.held_time * 2.0 * m.bandwidth < 1.0 - 1e-9) // a whole hold, give or take rounding
            return;
        m.held_time = 0.0;
    }
    m.z = standard_normal(m.state);
}

void set_defaults(ElementModelObject* self) {
    NoiseSource& m = as<NoiseSource>(self);
    m.density = 0.0;
    m.seed = 0.0;
    m.bandwidth = 0.0;
    reseed(m);
}

double checked_seed(double seed) {
    if (!(seed >= 0 && seed < 9007199254740992.0 && seed == std::floor(seed)))
        capi::raise(PyExc_ValueError,
                    "NoiseCurrentSourceModel: the seed must be an integer in [0, 2**53)");
    return seed;
}

// SetParameters([S, seed, B]): a changed seed restarts the generator; the same
// seed again (as every BuildStaticMatrix hands it) leaves the sequence running.
void set_parameters(ElementModelObject* self, const Params& params) {
    NoiseSource& m = as<NoiseSource>(self);
    const double density = params.real(0);
    if (!(density >= 0 && std::isfinite(density)))
        capi::raise(PyExc_ValueError,
                    "NoiseCurrentSourceModel: the density must be finite and not negative");
    m.density = density;
    const double seed = checked_seed(params.real(1));
    if (seed != m.seed || !m.seeded) {
        m.seed = seed;
        reseed(m);
    }
    const double bandwidth = params.real(2);
    if (!(bandwidth >= 0 && std::isfinite(bandwidth)))
        capi::raise(PyExc_ValueError,
                    "NoiseCurrentSourceModel: the bandwidth must be finite and not negative");
    m.bandwidth = bandwidth;
}

const ElementOps kOps = {no_admitance0, no_admitance, no_admitance, rhs_current, values, true};

const ModelClass kClass = {
    "NoiseCurrentSourceModel",
    "NoiseCurrentSourceModel(i, j, eindex): Gaussian white noise current of two-sided "
    "density S, refreshed after each accepted step; SetParameters([S, seed, B]).",
    sizeof(NoiseSource),
    &kOps,
    two_terminals<NoiseSource>(),
    two_terminal_eindex<NoiseSource>(),
    two_terminal_positions<NoiseSource>(false),
    {NodePhase, NodeVoltage, ElementPhase, ElementVoltage, ElementCurrent},
    {{"density", offsetof(NoiseSource, density)},
     {"seed", offsetof(NoiseSource, seed)},
     {"bandwidth", offsetof(NoiseSource, bandwidth)},
     {"normal", offsetof(NoiseSource, z)}},
    set_defaults,
    set_parameters,
    {},
    {},
};

const bool kRegistered = register_model_class(&kClass);

} // namespace
} // namespace loxant
