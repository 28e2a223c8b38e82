// JunctionTJMModel: tunnel junction of the microscopic model, whose current is
// a convolution of the junction's past with a kernel of complex exponentials.
//
//   I  = amplitude (G V + G^2 C dV - Iq),  G = conductance, C = capacitance
//   Iq = s sum_k Re((a_k + b_k) yc_k) + c sum_k Re((a_k - b_k) ys_k),
//        s = sin(phi/2), c = cos(phi/2)
//   yc_k, ys_k: convolutions of cos(phi/2), sin(phi/2) with e^(p_k t), carried
//        from step to step by the recursion of tjm_kernel.hpp
//
//   Admitance0: yc = -1/p, ys = 0, the state after resting at phi = 0; A0 untouched
//   Admitance1: g = (C G coeff_ddt + coeff_dt) G amplitude, junction stamp;
//               step weights and the part of the new state known at the step start
//   Admitance2: trial state at the phase estimate; stamps -g with
//               g = (c Re sum a_k yc_k - s Re sum a_k ys_k) amplitude, which is
//               -amplitude cos(phi) at rest: the pair current's slope
//   RHSCurrent: B[i-1] -= I, B[j-1] += I from the trial state
//   Values:     commits the trial state; current, phase, voltage; counts turns
//   A grounded terminal counts as 0 and its rows and columns are never touched.
#include "kernel/models/junction.hpp"
#include "kernel/models/tjm_kernel.hpp"

#include "capi/args.hpp"
#include "capi/convert.hpp"
#include "capi/errors.hpp"
#include "kernel/module_state.hpp"

#include <array>
#include <cmath>

namespace loxant {
namespace {

using tjm::Complex;

constexpr const char* kName = "JunctionTJMModel";
constexpr const char* kFile = "kernel/models/junction_tjm.cpp";
constexpr int kMaxTerms = 20;

using Terms = Complex[kMaxTerms];

struct JunctionTJM {
    ElementModelObject base;
    TwoTerminal t;
    int32_t n_terms;
    double amplitude;
    double capacitance;
    double frequency_factor;
    double resistance_factor;
    double pair_factor;
    double conductance;
    Terms coef_a, coef_b, poles;
    Terms yc_trial, ys_trial, yc_hist, ys_hist, yc, ys;
    Terms w_value, w_deriv, w_new;
    double sin_half;
    double cos_half;
};

// ---- the five operations ----------------------------------------------------------

double element_current(const JunctionTJM& m, double voltage, double dvoltage,
                       double kernel_current) noexcept {
    return ((m.conductance * m.capacitance * dvoltage + voltage) * m.conductance - kernel_current) *
           m.amplitude;
}

// Trial state for the cached half-phase: the known history plus the new value.
void advance_trial(JunctionTJM& m) noexcept {
    for (int k = 0; k < m.n_terms; ++k) {
        m.yc_trial[k] = m.cos_half * m.w_new[k] + m.yc_hist[k];
        m.ys_trial[k] = m.sin_half * m.w_new[k] + m.ys_hist[k];
    }
}

// Iq from the trial state at half-phase sine s and cosine c.
double kernel_current(const JunctionTJM& m, double s, double c) noexcept {
    double gc = 0.0, gs = 0.0;
    for (int k = 0; k < m.n_terms; ++k) {
        gc += tjm::real_of_product(m.coef_a[k] + m.coef_b[k], m.yc_trial[k]);
        gs += tjm::real_of_product(m.coef_a[k] - m.coef_b[k], m.ys_trial[k]);
    }
    return s * gc + c * gs;
}

void cache_half_phase(JunctionTJM& m, double phase) noexcept {
    m.sin_half = std::sin(phase / 2);
    m.cos_half = std::cos(phase / 2);
}

void admitance0(ElementModelObject* self, DoubleArray) noexcept {
    JunctionTJM& m = as<JunctionTJM>(self);
    for (int k = 0; k < m.n_terms; ++k) {
        m.yc[k] = tjm::divide({-1.0, 0.0}, m.poles[k]);
        m.ys[k] = {0.0, 0.0};
    }
}

void admitance1(ElementModelObject* self, DoubleArray a1, const StepContext& ctx) noexcept {
    JunctionTJM& m = as<JunctionTJM>(self);
    const int32_t i = m.t.i, j = m.t.j;
    const double g = (m.capacitance * m.conductance * ctx.coeff_ddt + ctx.coeff_dt) *
                     m.conductance * m.amplitude;
    stamp(a1, m.t, g);
    const double phase = across(ctx.phases_prev, i, j);
    const double u = across(ctx.voltages_prev, i, j);
    const double sp = std::sin(phase / 2), cp = std::cos(phase / 2);
    // Slopes of the cosine and sine channels at the start of the step.
    const double dcos = -(sp * u / 2), dsin = cp * u / 2;
    const double h = ctx.time_step;
    for (int k = 0; k < m.n_terms; ++k) {
        const Complex z = m.poles[k] * h;
        const Complex e = tjm::exp(z);
        const tjm::StepWeights w = tjm::step_weights(z, e, h);
        m.w_value[k] = w.value;
        m.w_deriv[k] = w.deriv;
        m.w_new[k] = w.fresh;
        m.yc_hist[k] = e * m.yc[k] + cp * w.value + dcos * w.deriv;
        m.ys_hist[k] = e * m.ys[k] + sp * w.value + dsin * w.deriv;
    }
}

void admitance2(ElementModelObject* self, DoubleArray a2, const StepContext& ctx) noexcept {
    JunctionTJM& m = as<JunctionTJM>(self);
    cache_half_phase(m, across(ctx.phases, m.t.i, m.t.j));
    advance_trial(m);
    double fc = 0.0, fs = 0.0;
    for (int k = 0; k < m.n_terms; ++k) {
        fc += tjm::real_of_product(m.coef_a[k], m.yc_trial[k]);
        fs += tjm::real_of_product(m.coef_a[k], m.ys_trial[k]);
    }
    const double g = (m.cos_half * fc - m.sin_half * fs) * m.amplitude;
    stamp(a2, m.t, -g);
}

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    JunctionTJM& m = as<JunctionTJM>(self);
    const int32_t i = m.t.i, j = m.t.j;
    cache_half_phase(m, across(ctx.phases, i, j));
    const double iq = kernel_current(m, m.sin_half, m.cos_half);
    const double voltage = across(ctx.voltages, i, j);
    const double dvoltage =
        ctx.junction_history_held ? ctx.coeff_dt * voltage : across(ctx.voltages_deriv, i, j);
    const double c = element_current(m, voltage, dvoltage, iq);
    stamp_current(b, i, j, c);
}

void values(ElementModelObject* self, const StepContext& ctx) noexcept {
    JunctionTJM& m = as<JunctionTJM>(self);
    const SharedPointers& p = self->book->arrays();
    const int32_t i = m.t.i, j = m.t.j;
    const double phase = across(p.node_phases, i, j);
    const double voltage = across(p.node_voltages, i, j);
    // The state advances with the last phase estimate, as the iteration left it.
    advance_trial(m);
    for (int k = 0; k < m.n_terms; ++k) {
        m.yc[k] = m.yc_trial[k];
        m.ys[k] = m.ys_trial[k];
    }
    const double iq = kernel_current(m, std::sin(phase / 2), std::cos(phase / 2));
    const double c = element_current(m, voltage, across(p.node_dvoltages, i, j), iq);
    report_junction(p, m.t.eindex, c, phase, voltage, ctx);
}

// ---- kernel loading ---------------------------------------------------------------

// A kernel as read from lxconfig, before scaling and normalisation.
struct RawKernel {
    int32_t n_terms = 0;
    std::array<Complex, kMaxTerms> a{}, b{}, p{};
};

[[noreturn]] void raise_unknown_model(PyObject* name) {
    capi::Ref prefix = capi::Ref::steal(PyBytes_FromString("Unknown TJM model: "));
    capi::Ref encoded = capi::Ref::steal(PyObject_CallMethod(name, "encode", "s", "UTF-8"));
    capi::Ref message = capi::Ref::steal(PyNumber_Add(prefix.get(), encoded.get()));
    PyErr_SetObject(PyExc_Exception, message.get());
    throw capi::PythonError{};
}

capi::Ref find_kernel(PyObject* name) {
    capi::Ref models = capi::get_attr(lookup_global("lxconfig").get(), "tjm_models");
    const int found = PySequence_Contains(models.get(), name);
    if (found < 0)
        capi::raise_pending();
    if (found == 0)
        raise_unknown_model(name);
    return capi::Ref::steal(PyObject_GetItem(models.get(), name));
}

[[noreturn]] void raise_need_more(Py_ssize_t count) {
    capi::raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count,
                       count == 1 ? "" : "s");
}

[[noreturn]] void raise_too_many() {
    capi::raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                       static_cast<Py_ssize_t>(3));
}

// `A, B, P = entry`: a tuple or list by its length, anything else by iteration.
std::array<capi::Ref, 3> unpack_three(PyObject* entry) {
    std::array<capi::Ref, 3> items;
    if (PyTuple_Check(entry) || PyList_Check(entry)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(entry);
        if (n > 3)
            raise_too_many();
        if (n < 3)
            raise_need_more(n);
        for (Py_ssize_t k = 0; k < 3; ++k)
            items[k] = capi::Ref::borrow(PySequence_Fast_GET_ITEM(entry, k));
        return items;
    }
    capi::Ref iterator = capi::Ref::steal(PyObject_GetIter(entry));
    for (Py_ssize_t k = 0; k < 3; ++k) {
        items[k] = capi::Ref::steal_or_null(PyIter_Next(iterator.get()));
        if (!items[k]) {
            if (PyErr_Occurred())
                capi::raise_pending();
            raise_need_more(k);
        }
    }
    capi::Ref extra = capi::Ref::steal_or_null(PyIter_Next(iterator.get()));
    if (extra)
        raise_too_many();
    if (PyErr_Occurred())
        capi::raise_pending();
    return items;
}

Py_ssize_t length_of(PyObject* sequence) {
    const Py_ssize_t n = PyObject_Length(sequence);
    if (n < 0)
        capi::raise_pending();
    return n;
}

// Checks the lengths before anything is read, so that a kernel the arrays
// cannot hold leaves the model as it was.
int32_t checked_terms(PyObject* a, PyObject* b, PyObject* p) {
    const Py_ssize_t n = length_of(a);
    if (n > kMaxTerms)
        capi::raise_format(PyExc_ValueError, "TJM kernel has %zd terms, at most %d are supported",
                           n, kMaxTerms);
    const Py_ssize_t nb = length_of(b), np = length_of(p);
    if (nb < n || np < n)
        capi::raise_format(PyExc_ValueError,
                           "TJM kernel has %zd amplitudes A but only %zd B and %zd poles P", n, nb,
                           np);
    return static_cast<int32_t>(n);
}

Complex complex_item(const Params& sequence, Py_ssize_t k) {
    capi::Ref item = sequence.item(k);
    const double re = capi::to_double(capi::get_attr(item.get(), "real").get());
    const double im = capi::to_double(capi::get_attr(item.get(), "imag").get());
    return {re, im};
}

RawKernel read_kernel(PyObject* entry) {
    const std::array<capi::Ref, 3> abp = unpack_three(entry);
    RawKernel kernel;
    kernel.n_terms = checked_terms(abp[0].get(), abp[1].get(), abp[2].get());
    const Params a(abp[0].get()), b(abp[1].get()), p(abp[2].get());
    for (int k = 0; k < kernel.n_terms; ++k) {
        kernel.a[k] = complex_item(a, k);
        kernel.b[k] = complex_item(b, k);
        kernel.p[k] = complex_item(p, k);
    }
    return kernel;
}

// Scales the poles to the model's frequency, normalises the pair amplitudes
// so that sum Re(a_k / p_k) = 1 (critical current = amplitude) and scales the
// quasiparticle amplitudes.
void load_kernel(JunctionTJM& m, const RawKernel& kernel) {
    const double ff = m.frequency_factor;
    double sum = 0.0;
    m.n_terms = kernel.n_terms;
    for (int k = 0; k < m.n_terms; ++k) {
        m.coef_a[k] = kernel.a[k];
        m.coef_b[k] = kernel.b[k];
        m.poles[k] = {kernel.p[k].re * ff * 0.5, kernel.p[k].im * ff * 0.5};
        sum -= tjm::divide(m.coef_a[k], m.poles[k]).re;
    }
    m.conductance = 1.0 / (m.resistance_factor * ff);
    const double b_scale_den = 2 * m.resistance_factor;
    for (int k = 0; k < m.n_terms; ++k) {
        m.coef_a[k] = {m.coef_a[k].re / -sum, m.coef_a[k].im / -sum};
        m.coef_b[k] = {m.coef_b[k].re * ff * (m.pair_factor - 1) / b_scale_den,
                       m.coef_b[k].im * ff * (m.pair_factor - 1) / b_scale_den};
    }
}

PyObject* init_tjm_model(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return capi::boundary_none(qualified(kName, "InitTJMModel"), kFile, [&] {
        PyObject* params = capi::parse_one("InitTJMModel", args, nargs, kwnames);
        JunctionTJM& m = as<JunctionTJM>(reinterpret_cast<ElementModelObject*>(obj));
        const Params items(params);
        m.amplitude = items.real(1);
        m.capacitance = items.real(2);
        m.frequency_factor = items.real(3);
        m.resistance_factor = items.real(4);
        m.pair_factor = items.real(5);
        capi::Ref name = items.item(0);
        capi::Ref entry = find_kernel(name.get());
        load_kernel(m, read_kernel(entry.get()));
    });
}

// ---- Python-visible state ---------------------------------------------------------

PyObject* get_n_terms(PyObject* obj, void*) {
    return PyLong_FromLong(as<JunctionTJM>(reinterpret_cast<ElementModelObject*>(obj)).n_terms);
}

// The terms in use of one array, as a list of Python complex numbers.
template <Terms JunctionTJM::*Field> PyObject* get_terms(PyObject* obj, void*) {
    return capi::boundary(qualified(kName, "__get__"), kFile, [&] {
        const JunctionTJM& m = as<JunctionTJM>(reinterpret_cast<ElementModelObject*>(obj));
        capi::Ref list = capi::Ref::steal(PyList_New(m.n_terms));
        for (int32_t k = 0; k < m.n_terms; ++k) {
            const Complex value = (m.*Field)[k];
            PyObject* item = PyComplex_FromDoubles(value.re, value.im);
            if (item == nullptr)
                capi::raise_pending();
            PyList_SET_ITEM(list.get(), k, item);
        }
        return list;
    });
}

template <Terms JunctionTJM::*Field> PyGetSetDef terms_attribute(const char* name) {
    return {name, get_terms<Field>, nullptr, "Terms in use, as complex numbers.", nullptr};
}

// ---- class ------------------------------------------------------------------------

void set_defaults(ElementModelObject* self) {
    JunctionTJM& m = as<JunctionTJM>(self);
    m.n_terms = 6;
    m.amplitude = 1.0;
    m.capacitance = 1.0;
    m.frequency_factor = 2.6 / 0.63;
    m.resistance_factor = 0.6;
    m.pair_factor = 0.1;
}

// Item 0 is the kernel name; changing it needs InitTJMModel.
void set_parameters(ElementModelObject* self, const Params& params) {
    JunctionTJM& m = as<JunctionTJM>(self);
    m.amplitude = params.real(1);
    m.capacitance = params.real(2);
}

const ElementOps kOps = {admitance0, admitance1, admitance2, rhs_current, values, true};

const ModelClass kClass = {
    kName,
    "JunctionTJMModel(i, j, eindex): tunnel junction of the microscopic model.\n"
    "InitTJMModel([name, amplitude, C, frequency_factor, resistance_factor, pair_factor])\n"
    "loads the kernel lxconfig.tjm_models[name]; SetParameters reads items 1 and 2.",
    sizeof(JunctionTJM),
    &kOps,
    two_terminals<JunctionTJM>(),
    two_terminal_eindex<JunctionTJM>(),
    two_terminal_positions<JunctionTJM>(),
    junction_arrays(),
    {{"amplitude", offsetof(JunctionTJM, amplitude)},
     {"capacitance", offsetof(JunctionTJM, capacitance)},
     {"frequency_factor", offsetof(JunctionTJM, frequency_factor)},
     {"resistance_factor", offsetof(JunctionTJM, resistance_factor)},
     {"pair_factor", offsetof(JunctionTJM, pair_factor)},
     {"conductance", offsetof(JunctionTJM, conductance)},
     {"sin_half", offsetof(JunctionTJM, sin_half)},
     {"cos_half", offsetof(JunctionTJM, cos_half)}},
    set_defaults,
    set_parameters,
    {{"InitTJMModel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(init_tjm_model)),
      METH_FASTCALL | METH_KEYWORDS,
      "Set the parameters and load the kernel named by item 0 from lxconfig.tjm_models."}},
    {{"n_terms", get_n_terms, nullptr, "Number of kernel terms in use.", nullptr},
     terms_attribute<&JunctionTJM::coef_a>("coef_a"),
     terms_attribute<&JunctionTJM::coef_b>("coef_b"),
     terms_attribute<&JunctionTJM::poles>("poles"),
     terms_attribute<&JunctionTJM::yc_trial>("yc_trial"),
     terms_attribute<&JunctionTJM::ys_trial>("ys_trial"),
     terms_attribute<&JunctionTJM::yc_hist>("yc_hist"),
     terms_attribute<&JunctionTJM::ys_hist>("ys_hist"),
     terms_attribute<&JunctionTJM::yc>("yc"),
     terms_attribute<&JunctionTJM::ys>("ys"),
     terms_attribute<&JunctionTJM::w_value>("w_value"),
     terms_attribute<&JunctionTJM::w_deriv>("w_deriv"),
     terms_attribute<&JunctionTJM::w_new>("w_new")},
};

const bool kRegistered = register_model_class(&kClass);

} // namespace
} // namespace loxant
