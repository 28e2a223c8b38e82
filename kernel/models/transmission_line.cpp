// TransmissionLineModel: a lossless line of characteristic impedance Z0 and
// delay TD between port 1 (i, j) and port 2 (k, l), by the method of
// characteristics.  Each port is Z0 in parallel with a current source set by
// the wave that left the other port one delay earlier:
//
//   I1(t) = (V1(t) - w2(t - TD)) / Z0,   w1 = V1 + Z0 I1 = 2 V1 - w2(t - TD)
//   I2(t) = (V2(t) - w1(t - TD)) / Z0,   w2 = V2 + Z0 I2 = 2 V2 - w1(t - TD)
//
// I1 flows into i through the line's port to j, I2 into k to l; V = dphi/dt.
//   Admitance0: restarts the history at rest (w = 0 up to t = 0); A0 untouched
//   Admitance1: g = coeff_dt / Z0 at ii, jj, kk, ll (+) and ij, ji, kl, lk (-)
//   RHSCurrent: B[i-1] -= I1, B[j-1] += I1, B[k-1] -= I2, B[l-1] += I2 at
//               ctx.voltages, with t = last accepted time + time_step
//   Values:     advances the accepted time by time_step and records w1, w2;
//               current I1, phase and voltage of port 1
// The history holds w1 and w2 on a uniform grid of spacing `history_step`
// (the driver's nominal step; coarser when TD / step exceeds 8 189 samples),
// as many samples as one delay takes and three more,
// filled by linear interpolation between accepted steps, so steps of any size
// up to TD leave it the same size.  A delayed time later than the last
// accepted step holds the last accepted wave.
#include "kernel/models/element_model.hpp"

#include "capi/errors.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace loxant {
namespace {

constexpr int64_t kCapacity = 8192; // most grid samples kept per wave
constexpr int64_t kSpare = 3;       // samples beyond TD / step

struct Port2 {
    int32_t i, j, k, l, eindex;
    int32_t ind_ii, ind_ij, ind_ji, ind_jj, ind_kk, ind_kl, ind_lk, ind_ll;
};

struct TransmissionLine {
    ElementModelObject base;
    Port2 p;
    double delay;
    double impedance;
    double history_step; // as given
    double grid;         // spacing in use
    double t_last;       // accepted time
    double w1_last, w2_last;
    int64_t next; // index of the next grid sample to fill; samples 0 .. next-1 exist
    // Samples kept per wave, TD / grid + kSpare: the waves w1 and w2 share one
    // allocation (w2 = w1 + capacity).  0 before the first SetParameters or
    // set_defaults: then nothing is kept and every wave reads as its last value.
    int64_t capacity;
    double* w1;
    double* w2;
};

// ---- history ----------------------------------------------------------------------

void restart(TransmissionLine& m) noexcept {
    m.t_last = 0.0;
    m.w1_last = m.w2_last = 0.0;
    if (m.capacity > 0)
        m.w1[0] = m.w2[0] = 0.0;
    m.next = 1;
}

int64_t oldest(const TransmissionLine& m) noexcept {
    return m.next > m.capacity ? m.next - m.capacity : 0;
}

// The wave w (member w1 or w2, last value `last`) at time tau.  Every
// comparison is written so that a NaN falls to a held value.
double wave_at(const TransmissionLine& m, const double* w, double last, double tau) noexcept {
    if (!(tau > 0.0))
        return 0.0; // at rest before the start
    if (!(tau < m.t_last) || m.capacity == 0)
        return last;
    const double position = tau / m.grid;
    const int64_t first = oldest(m);
    if (!(position >= static_cast<double>(first)))
        return w[first % m.capacity];
    // Compared as doubles first: after a change of grid the position may lie
    // beyond any integer.
    const int64_t k =
        position < static_cast<double>(m.next - 1) ? static_cast<int64_t>(position) : m.next - 1;
    const double t_k = static_cast<double>(k) * m.grid;
    const int64_t at = k % m.capacity;
    const double value_k = w[at];
    if (k + 1 < m.next) {
        const double f = position - static_cast<double>(k);
        // the next sample's place without a second division
        return value_k + f * (w[at + 1 == m.capacity ? 0 : at + 1] - value_k);
    }
    const double span = m.t_last - t_k;
    const double f = span > 0.0 ? (tau - t_k) / span : 1.0;
    return value_k + f * (last - value_k);
}

double incident1(const TransmissionLine& m, double t) noexcept {
    return wave_at(m, m.w2, m.w2_last, t - m.delay); // arriving at port 1
}

double incident2(const TransmissionLine& m, double t) noexcept {
    return wave_at(m, m.w1, m.w1_last, t - m.delay);
}

// Fills the grid samples in (t_last, t_new] by interpolation, then makes
// t_new the last accepted point.
void record(TransmissionLine& m, double t_new, double w1_new, double w2_new) noexcept {
    const double span = t_new - m.t_last;
    const double end = std::floor(t_new / m.grid);
    if (span > 0.0 && end >= static_cast<double>(m.next) && m.capacity > 0) {
        int64_t from = m.next;
        const int64_t to = static_cast<int64_t>(end);
        if (to - from >= m.capacity)
            from = to - m.capacity + 1; // older samples would be overwritten anyway
        for (int64_t k = from; k <= to; ++k) {
            const double f = (static_cast<double>(k) * m.grid - m.t_last) / span;
            m.w1[k % m.capacity] = m.w1_last + f * (w1_new - m.w1_last);
            m.w2[k % m.capacity] = m.w2_last + f * (w2_new - m.w2_last);
        }
        m.next = to + 1;
    }
    m.t_last = t_new;
    m.w1_last = w1_new;
    m.w2_last = w2_new;
}

// ---- the five operations ----------------------------------------------------------

void admitance0(ElementModelObject* self, DoubleArray) noexcept {
    restart(as<TransmissionLine>(self));
}

void admitance1(ElementModelObject* self, DoubleArray a1, const StepContext& ctx) noexcept {
    const TransmissionLine& m = as<TransmissionLine>(self);
    const double g = ctx.coeff_dt / m.impedance;
    const Port2& p = m.p;
    stamp(a1, TwoTerminal{p.i, p.j, p.eindex, p.ind_ii, p.ind_ij, p.ind_ji, p.ind_jj}, g);
    stamp(a1, TwoTerminal{p.k, p.l, p.eindex, p.ind_kk, p.ind_kl, p.ind_lk, p.ind_ll}, g);
}

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    const TransmissionLine& m = as<TransmissionLine>(self);
    const Port2& p = m.p;
    const double t = m.t_last + ctx.time_step;
    const double v1 = across(ctx.voltages, p.i, p.j), v2 = across(ctx.voltages, p.k, p.l);
    stamp_current(b, p.i, p.j, (v1 - incident1(m, t)) / m.impedance);
    stamp_current(b, p.k, p.l, (v2 - incident2(m, t)) / m.impedance);
}

void values(ElementModelObject* self, const StepContext& ctx) noexcept {
    TransmissionLine& m = as<TransmissionLine>(self);
    const Port2& p = m.p;
    const SharedPointers& s = self->book->arrays();
    double t = m.t_last + ctx.time_step;
    // A step that does not move time forward, or moves it beyond any grid
    // index, records the state without advancing the history.
    if (!(t >= m.t_last) || !(t / m.grid < 1e15))
        t = m.t_last;
    const double v1 = across(s.node_voltages, p.i, p.j), v2 = across(s.node_voltages, p.k, p.l);
    const double in1 = incident1(m, t), in2 = incident2(m, t);
    record(m, t, 2.0 * v1 - in1, 2.0 * v2 - in2);
    s.elem_currents[p.eindex] = (v1 - in1) / m.impedance;
    read_out(s, p.i, p.j, p.eindex);
}

// ---- class ------------------------------------------------------------------------

double grid_for(double delay, double step) {
    const double finest = delay / static_cast<double>(kCapacity - kSpare);
    return step > finest ? step : finest;
}

// Samples that cover one delay on the grid, and the spare ones.
int64_t capacity_for(double delay, double grid) {
    const double span = std::ceil(delay / grid);
    return std::min(kCapacity, static_cast<int64_t>(span) + kSpare);
}

// Gives the waves room for `capacity` samples each; a new size restarts the
// history (a new grid reads the old one wrongly anyway).  MemoryError if the
// allocation fails, the old history then kept.
void size_history(TransmissionLine& m, int64_t capacity) {
    if (capacity == m.capacity)
        return;
    auto* waves =
        static_cast<double*>(PyMem_Calloc(2 * static_cast<size_t>(capacity), sizeof(double)));
    if (waves == nullptr)
        capi::raise(PyExc_MemoryError, "no memory for a transmission line's history");
    PyMem_Free(m.w1);
    m.w1 = waves;
    m.w2 = waves + capacity;
    m.capacity = capacity;
    restart(m);
}

void release(ElementModelObject* self) {
    TransmissionLine& m = as<TransmissionLine>(self);
    PyMem_Free(m.w1);
    m.w1 = m.w2 = nullptr;
    m.capacity = 0;
}

void set_defaults(ElementModelObject* self) {
    TransmissionLine& m = as<TransmissionLine>(self);
    m.delay = 1.0;
    m.impedance = 1.0;
    m.history_step = 1.0 / static_cast<double>(kCapacity - kSpare);
    m.grid = grid_for(m.delay, m.history_step);
    size_history(m, capacity_for(m.delay, m.grid));
    restart(m);
}

// [TD, Z0, step]: all positive and finite; checked before any is stored.
void set_parameters(ElementModelObject* self, const Params& params) {
    TransmissionLine& m = as<TransmissionLine>(self);
    const double delay = params.real(0), impedance = params.real(1), step = params.real(2);
    const double given[] = {delay, impedance, step};
    for (double value : given)
        if (!(value > 0.0) || !std::isfinite(value))
            capi::raise_format(
                PyExc_ValueError,
                "TransmissionLineModel needs a positive, finite delay, impedance "
                "and history step (got %R)",
                capi::Ref::steal(Py_BuildValue("(ddd)", delay, impedance, step)).get());
    const double grid = grid_for(delay, step);
    size_history(m, capacity_for(delay, grid));
    m.delay = delay;
    m.impedance = impedance;
    m.history_step = step;
    m.grid = grid;
}

PyObject* get_capacity(PyObject* obj, void*) {
    return PyLong_FromLongLong(
        as<TransmissionLine>(reinterpret_cast<ElementModelObject*>(obj)).capacity);
}

PyGetSetDef kCapacityGetter = {"history_capacity", get_capacity, nullptr,
                               "Grid samples kept of each wave: one delay and a few more.",
                               nullptr};

const ElementOps kOps = {admitance0, admitance1, no_admitance, rhs_current, values, true};

enum : int { kI, kJ, kK, kL };

const ModelClass kClass = {
    "TransmissionLineModel",
    "TransmissionLineModel(i, j, k, l, eindex): lossless line from port (i, j) to port (k, l);\n"
    "SetParameters([TD, Z0, step]): delay, impedance and the spacing of its history.",
    sizeof(TransmissionLine),
    &kOps,
    {{"i", offsetof(TransmissionLine, p) + offsetof(Port2, i), false},
     {"j", offsetof(TransmissionLine, p) + offsetof(Port2, j), false},
     {"k", offsetof(TransmissionLine, p) + offsetof(Port2, k), false},
     {"l", offsetof(TransmissionLine, p) + offsetof(Port2, l), false}},
    offsetof(TransmissionLine, p) + offsetof(Port2, eindex),
    {{"ind_ii", offsetof(TransmissionLine, p) + offsetof(Port2, ind_ii), kI, kI},
     {"ind_ij", offsetof(TransmissionLine, p) + offsetof(Port2, ind_ij), kI, kJ},
     {"ind_ji", offsetof(TransmissionLine, p) + offsetof(Port2, ind_ji), kJ, kI},
     {"ind_jj", offsetof(TransmissionLine, p) + offsetof(Port2, ind_jj), kJ, kJ},
     {"ind_kk", offsetof(TransmissionLine, p) + offsetof(Port2, ind_kk), kK, kK},
     {"ind_kl", offsetof(TransmissionLine, p) + offsetof(Port2, ind_kl), kK, kL},
     {"ind_lk", offsetof(TransmissionLine, p) + offsetof(Port2, ind_lk), kL, kK},
     {"ind_ll", offsetof(TransmissionLine, p) + offsetof(Port2, ind_ll), kL, kL}},
    {NodePhase, NodeVoltage, ElementPhase, ElementVoltage, ElementCurrent},
    {{"delay", offsetof(TransmissionLine, delay)},
     {"impedance", offsetof(TransmissionLine, impedance)},
     {"history_step", offsetof(TransmissionLine, history_step)},
     {"grid", offsetof(TransmissionLine, grid)},
     {"accepted_time", offsetof(TransmissionLine, t_last)}},
    set_defaults,
    set_parameters,
    {},
    {kCapacityGetter},
    release,
};

const bool kRegistered = register_model_class(&kClass);

} // namespace
} // namespace loxant
