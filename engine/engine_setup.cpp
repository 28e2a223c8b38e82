// The set-up of loxant.NativeEngine.Engine: the options, models, shared
// arrays, sources and channels of a run, each checked before the loop may
// touch it.
#include "engine/engine_state.hpp"

#include "capi/convert.hpp"
#include "capi/errors.hpp"
#include "solver/compressed_pattern.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <utility>

namespace loxant::engine {

namespace {

const EngineApi* g_api = nullptr;

// ---- options ------------------------------------------------------------------------

// Every run gives these; the rest are optional (the adaptive step's, read
// when "adaptive" is true, and settle_step with settle_steps).
const char* const kRequiredOptions[] = {"t_stop",
                                        "dt",
                                        "dt_min",
                                        "abstol",
                                        "reltol",
                                        "max_iterations",
                                        "initial_ramp",
                                        "phase_hysteresis",
                                        "record_every",
                                        "record_from",
                                        "nonlinear",
                                        "steps_history",
                                        "profile",
                                        "progress",
                                        "progress_interval",
                                        "newton_fraction"};
const char* const kOptionalOptions[] = {
    "values_every_step", "modified_newton", "rate_test",    "predictor_degree",
    "adaptive",          "lte_rtol",        "lte_atol",     "dt_max",
    "breakpoints",       "noise_step",      "noise_models", "max_steps",
    "settle_steps",      "settle_step",     "stop_rule",    "single_solve_fraction",
    "skip_rest",         "trapezoidal",     "voltage_free"};

bool known_option(PyObject* key) {
    if (!PyUnicode_Check(key))
        return false;
    for (const char* name : kRequiredOptions)
        if (PyUnicode_CompareWithASCIIString(key, name) == 0)
            return true;
    for (const char* name : kOptionalOptions)
        if (PyUnicode_CompareWithASCIIString(key, name) == 0)
            return true;
    return false;
}

PyObject* option(PyObject* options, const char* name) {
    PyObject* value = PyDict_GetItemString(options, name);
    if (value == nullptr)
        capi::raise_format(PyExc_KeyError, "option '%s' is missing", name);
    return value;
}

double real_option(PyObject* options, const char* name, double low, bool low_open) {
    const double value = capi::to_double(option(options, name));
    if (!std::isfinite(value) || value < low || (low_open && value == low))
        capi::raise_format(PyExc_ValueError, "option '%s' must be finite and %s %g", name,
                           low_open ? ">" : ">=", low);
    return value;
}

int64_t count_option(PyObject* options, const char* name) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(option(options, name), &overflow);
    if (value == -1 && PyErr_Occurred())
        capi::raise_pending();
    if (overflow != 0 || value < 1 || value > INT32_MAX)
        capi::raise_format(PyExc_ValueError, "option '%s' must be between 1 and %d", name,
                           INT32_MAX);
    return value;
}

// A positive count that fits the loop's 64-bit counters with room to spare.
int64_t step_limit_option(PyObject* options, const char* name) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(option(options, name), &overflow);
    if (value == -1 && PyErr_Occurred())
        capi::raise_pending();
    constexpr long long kMost = 1LL << 62;
    if (overflow != 0 || value < 1 || value > kMost)
        capi::raise_format(PyExc_ValueError, "option '%s' must be between 1 and %lld", name, kMost);
    return value;
}

// The error control of an adaptive run; its breakpoints, a sequence of
// times, are kept in ascending order.
void read_adaptive_options(PyObject* options, Options& o) {
    o.adaptive = true;
    o.lte_rtol = real_option(options, "lte_rtol", 0.0, false);
    o.lte_atol = real_option(options, "lte_atol", 0.0, true);
    o.dt_max = real_option(options, "dt_max", 0.0, true);
    if (o.dt > o.dt_max)
        capi::raise(PyExc_ValueError, "options need dt <= dt_max");
    capi::Ref items = capi::Ref::steal(
        PySequence_Fast(option(options, "breakpoints"), "option 'breakpoints' must be a sequence"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    o.breakpoints.reserve(static_cast<size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k) {
        const double t = capi::to_double(PySequence_Fast_GET_ITEM(items.get(), k));
        if (!std::isfinite(t))
            capi::raise(PyExc_ValueError, "option 'breakpoints' must hold finite times");
        o.breakpoints.push_back(t);
    }
    std::sort(o.breakpoints.begin(), o.breakpoints.end());
    if (PyDict_GetItemString(options, "noise_step") != nullptr)
        o.noise_step = real_option(options, "noise_step", 0.0, false);
    if (PyDict_GetItemString(options, "max_steps") != nullptr)
        o.max_steps = step_limit_option(options, "max_steps");
}

Options read_options(PyObject* options, EngineState& state) {
    if (!PyDict_Check(options))
        capi::raise_format(PyExc_TypeError, "options must be a dict, got %.200s",
                           Py_TYPE(options)->tp_name);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(options, &pos, &key, &value))
        if (!known_option(key))
            capi::raise_format(PyExc_ValueError, "unknown option %R", key);
    Options o;
    o.t_stop = real_option(options, "t_stop", 0.0, true);
    o.dt = real_option(options, "dt", 0.0, true);
    o.dt_min = real_option(options, "dt_min", 0.0, true);
    if (o.dt > o.t_stop || o.dt_min > o.dt)
        capi::raise(PyExc_ValueError, "options need dt_min <= dt <= t_stop");
    o.abstol = real_option(options, "abstol", 0.0, true);
    o.reltol = real_option(options, "reltol", 0.0, false);
    o.max_iterations = static_cast<int32_t>(count_option(options, "max_iterations"));
    o.initial_ramp = real_option(options, "initial_ramp", 0.0, false);
    o.phase_hysteresis = real_option(options, "phase_hysteresis", 0.0, false);
    o.record_every = count_option(options, "record_every");
    o.record_from = real_option(options, "record_from", -HUGE_VAL, false);
    o.nonlinear = capi::truth(option(options, "nonlinear"));
    o.steps_history = capi::truth(option(options, "steps_history"));
    o.profile = capi::truth(option(options, "profile"));
    PyObject* progress = option(options, "progress");
    if (progress != Py_None && !PyCallable_Check(progress))
        capi::raise_format(PyExc_TypeError,
                           "option 'progress' must be callable or None, got %.200s",
                           Py_TYPE(progress)->tp_name);
    state.progress = capi::Ref::borrow(progress);
    o.pause_every = real_option(options, "progress_interval", 0.0, true);
    o.newton_fraction = real_option(options, "newton_fraction", 0.0, false);
    // Tuning, each optional.
    if (PyDict_GetItemString(options, "modified_newton") != nullptr)
        o.modified_newton = capi::truth(option(options, "modified_newton"));
    if (PyDict_GetItemString(options, "values_every_step") != nullptr)
        o.values_every_step = capi::truth(option(options, "values_every_step"));
    if (PyDict_GetItemString(options, "rate_test") != nullptr)
        o.rate_test = capi::truth(option(options, "rate_test"));
    if (PyDict_GetItemString(options, "predictor_degree") != nullptr)
        o.predictor_degree = static_cast<int32_t>(count_option(options, "predictor_degree"));
    if (PyDict_GetItemString(options, "single_solve_fraction") != nullptr)
        o.single_solve_fraction = real_option(options, "single_solve_fraction", 0.0, false);
    if (PyDict_GetItemString(options, "adaptive") != nullptr &&
        capi::truth(option(options, "adaptive")))
        read_adaptive_options(options, o);
    if (PyDict_GetItemString(options, "trapezoidal") != nullptr)
        o.trapezoidal = capi::truth(option(options, "trapezoidal"));
    if (PyDict_GetItemString(options, "skip_rest") != nullptr)
        o.skip_rest = capi::truth(option(options, "skip_rest"));
    if (PyDict_GetItemString(options, "settle_steps") != nullptr) {
        o.settle_steps = count_option(options, "settle_steps");
        o.settle_step = real_option(options, "settle_step", 0.0, true);
    }
    return o;
}

// ---- models and shared arrays -------------------------------------------------------

capi::DoubleView shared_double(PyObject* arrays, Py_ssize_t k, Py_ssize_t need, const char* name) {
    capi::Ref item = capi::get_item(arrays, k);
    capi::DoubleView view(item.get(), "double", capi::Access::write_contiguous);
    if (view.size() < need)
        capi::raise_format(PyExc_ValueError, "%s has %zd entries, the system needs %zd", name,
                           view.size(), need);
    return view;
}

void read_shared(PyObject* arrays, int32_t n, EngineState& s) {
    if (!PyTuple_Check(arrays) || PyTuple_GET_SIZE(arrays) != 7)
        capi::raise(PyExc_TypeError,
                    "arrays must be a tuple (NodePhase, NodeVoltage, NodeDVoltage, ElementPhase, "
                    "ElementVoltage, ElementCurrent, ElementN)");
    s.node_phase = shared_double(arrays, 0, n, "NodePhase");
    s.node_voltage = shared_double(arrays, 1, n, "NodeVoltage");
    s.node_dvoltage = shared_double(arrays, 2, n, "NodeDVoltage");
    s.elem_phase = shared_double(arrays, 3, 0, "ElementPhase");
    s.elem_voltage = shared_double(arrays, 4, 0, "ElementVoltage");
    s.elem_current = shared_double(arrays, 5, 0, "ElementCurrent");
    capi::Ref n_array = capi::get_item(arrays, 6);
    s.elem_n = IntView1(n_array.get(), "int32", capi::Access::write_contiguous);
}

Py_ssize_t element_slots(const EngineState& s) {
    return std::min(
        {s.elem_phase.size(), s.elem_voltage.size(), s.elem_current.size(), s.elem_n.size()});
}

// Every pointer the model bound is one of ours (or unused by its class).
bool bound_to(const SharedPointers& p, const EngineState& s) {
    auto same = [](const void* bound, const void* ours) {
        return bound == nullptr || bound == ours;
    };
    return same(p.node_phases, s.node_phase.data()) &&
           same(p.node_voltages, s.node_voltage.data()) &&
           same(p.node_dvoltages, s.node_dvoltage.data()) &&
           same(p.elem_phases, s.elem_phase.data()) &&
           same(p.elem_voltages, s.elem_voltage.data()) &&
           same(p.elem_currents, s.elem_current.data()) && same(p.elem_n, s.elem_n.data());
}

} // namespace

void check_model(PyObject* obj, Py_ssize_t k, int32_t n, int32_t nnz, const EngineState& s) {
    if (!PyObject_TypeCheck(obj, g_api->element_model_type()))
        capi::raise_format(PyExc_TypeError, "models[%zd] is not an element model (got %.200s)", k,
                           Py_TYPE(obj)->tp_name);
    const auto* m = reinterpret_cast<const ElementModelObject*>(obj);
    const ModelBookkeeping& book = *m->book;
    const Reach& r = book.reach;
    if (r.malformed)
        capi::raise_format(PyExc_ValueError,
                           "models[%zd] has a negative unknown, position or eindex, or a branch "
                           "unknown 0",
                           k);
    if (r.max_unknown > n || r.max_position >= nnz)
        capi::raise_format(PyExc_ValueError,
                           "models[%zd] uses unknown %d and position %d, beyond a system of %d "
                           "unknowns and %d entries",
                           k, r.max_unknown, r.max_position, n, nnz);
    if (!r.binds_arrays)
        return;
    if (!book.bound())
        capi::raise_format(PyExc_ValueError, "models[%zd] has no arrays bound: call InitModel", k);
    if (!bound_to(book.arrays(), s))
        capi::raise_format(PyExc_ValueError,
                           "models[%zd] is bound to other arrays than the ones given: call "
                           "InitModel again",
                           k);
    if (r.eindex >= book.binding->elements || r.eindex >= element_slots(s) ||
        r.max_unknown > book.binding->unknowns)
        capi::raise_format(PyExc_ValueError, "models[%zd] does not fit the arrays it is bound to",
                           k);
}

namespace {

void read_models(PyObject* models, int32_t n, int32_t nnz, EngineState& s) {
    capi::Ref fast = capi::Ref::steal(PySequence_Fast(models, "models must be a sequence"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(fast.get());
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* obj = PySequence_Fast_GET_ITEM(fast.get(), k);
        check_model(obj, k, n, nnz, s);
        s.model_refs.push_back(capi::Ref::borrow(obj));
        s.models.push_back(reinterpret_cast<ElementModelObject*>(obj));
    }
}

// ---- sources and channels -------------------------------------------------------

bool is_source_class(const ModelClass* cls) {
    if (cls == nullptr || cls->parameters.size() != 1)
        return false;
    for (const char* name : {"CurrentSourceModel", "PhaseSourceModel", "VoltageSourceModel"})
        if (std::strcmp(cls->name, name) == 0)
            return true;
    return false;
}

capi::Ref fast_tuple(PyObject* item, Py_ssize_t size, const char* what) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != size)
        capi::raise_format(PyExc_TypeError, "each of %s must be a tuple of %zd items", what, size);
    return capi::Ref::borrow(item);
}

double finite(PyObject* obj, const char* what) {
    const double value = capi::to_double(obj);
    if (!std::isfinite(value))
        capi::raise_format(PyExc_ValueError, "%s must be finite", what);
    return value;
}

int32_t index_in(PyObject* obj, Py_ssize_t limit, const char* what) {
    const int32_t index = capi::to_int32(obj);
    if (index < 0 || index >= limit)
        capi::raise_format(PyExc_IndexError, "%s %d is out of range (0 to %zd)", what, index,
                           limit - 1);
    return index;
}

std::vector<Source> read_sources(PyObject* sources, EngineState& s) {
    capi::Ref fast = capi::Ref::steal(PySequence_Fast(sources, "sources must be a sequence"));
    std::vector<Source> out;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(fast.get()); ++k) {
        capi::Ref t = fast_tuple(PySequence_Fast_GET_ITEM(fast.get(), k), 3, "sources");
        const int32_t index = index_in(PyTuple_GET_ITEM(t.get(), 0),
                                       static_cast<Py_ssize_t>(s.models.size()), "source model");
        PyObject* model = s.model_refs[index].get();
        const ModelClass* cls = g_api->class_of(model);
        if (!is_source_class(cls))
            capi::raise_format(PyExc_TypeError, "models[%d] is a %.200s, not a source", index,
                               Py_TYPE(model)->tp_name);
        Source source;
        source.value =
            reinterpret_cast<double*>(reinterpret_cast<char*>(model) + cls->parameters[0].offset);
        source.sign = finite(PyTuple_GET_ITEM(t.get(), 1), "source sign");
        source.waveform = Waveform::parse(PyTuple_GET_ITEM(t.get(), 2));
        s.calls_python |= source.waveform->calls_python();
        if (!source.waveform->constant())
            out.push_back(std::move(source));
    }
    return out;
}

std::vector<Channel> read_channels(PyObject* channels, int32_t n, Py_ssize_t slots) {
    capi::Ref fast = capi::Ref::steal(PySequence_Fast(channels, "channels must be a sequence"));
    std::vector<Channel> out;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(fast.get()); ++k) {
        capi::Ref t = fast_tuple(PySequence_Fast_GET_ITEM(fast.get(), k), 3, "channels");
        const int32_t quantity = index_in(PyTuple_GET_ITEM(t.get(), 0), 5, "channel quantity");
        const bool node = quantity <= static_cast<int32_t>(Quantity::node_voltage);
        Channel c;
        c.quantity = static_cast<Quantity>(quantity);
        c.index = index_in(PyTuple_GET_ITEM(t.get(), 1), node ? n : slots, "channel index");
        c.sign = finite(PyTuple_GET_ITEM(t.get(), 2), "channel sign");
        out.push_back(c);
    }
    return out;
}

std::vector<int32_t> read_turn_channels(PyObject* channels, Py_ssize_t slots) {
    capi::Ref fast =
        capi::Ref::steal(PySequence_Fast(channels, "turn_channels must be a sequence"));
    std::vector<int32_t> out;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(fast.get()); ++k)
        out.push_back(index_in(PySequence_Fast_GET_ITEM(fast.get(), k), slots, "turn channel"));
    return out;
}

// The thermal noise currents among the models: the option "noise_models" names
// their positions (none without it).
std::vector<ElementModelObject*> noise_models(PyObject* options,
                                              const std::vector<ElementModelObject*>& models) {
    std::vector<ElementModelObject*> out;
    PyObject* given = PyDict_GetItemString(options, "noise_models");
    if (given == nullptr)
        return out;
    capi::Ref fast = capi::Ref::steal(
        PySequence_Fast(given, "option 'noise_models' must be a sequence of model positions"));
    const auto count = static_cast<Py_ssize_t>(models.size());
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(fast.get()); ++k)
        out.push_back(models[static_cast<size_t>(
            index_in(PySequence_Fast_GET_ITEM(fast.get(), k), count, "noise model"))]);
    return out;
}

// The unknowns whose voltage no model reads (option "voltage_free", none
// without it), each in [0, n).
std::vector<int32_t> voltage_free(PyObject* options, int32_t n) {
    std::vector<int32_t> out;
    PyObject* given = PyDict_GetItemString(options, "voltage_free");
    if (given == nullptr)
        return out;
    capi::Ref fast = capi::Ref::steal(
        PySequence_Fast(given, "option 'voltage_free' must be a sequence of unknowns"));
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(fast.get()); ++k)
        out.push_back(index_in(PySequence_Fast_GET_ITEM(fast.get(), k), n, "unknown"));
    return out;
}

// ---- the stop rule --------------------------------------------------------------

capi::Ref fast_sequence(PyObject* dict, const char* key) {
    PyObject* item = PyDict_GetItemString(dict, key);
    if (item == nullptr)
        capi::raise_format(PyExc_KeyError, "stop rule: '%s' is missing", key);
    return capi::Ref::steal(PySequence_Fast(item, "stop rule: expected a sequence"));
}

std::vector<double> doubles_of(PyObject* sequence) {
    capi::Ref fast = capi::Ref::steal(PySequence_Fast(sequence, "stop rule: expected numbers"));
    std::vector<double> out;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(fast.get()); ++k)
        out.push_back(finite(PySequence_Fast_GET_ITEM(fast.get(), k), "stop rule value"));
    return out;
}

std::vector<WatchedPhase> watched_of(PyObject* rule, Py_ssize_t slots) {
    capi::Ref fast = fast_sequence(rule, "watched");
    std::vector<WatchedPhase> out;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(fast.get()); ++k) {
        PyObject* pair = PySequence_Fast_GET_ITEM(fast.get(), k);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
            capi::raise(PyExc_TypeError, "stop rule: watched holds (element, sign) pairs");
        out.push_back({index_in(PyTuple_GET_ITEM(pair, 0), slots, "stop rule element"),
                       finite(PyTuple_GET_ITEM(pair, 1), "stop rule sign")});
    }
    return out;
}

double rule_real(PyObject* rule, const char* key) {
    return real_option(rule, key, 0.0, false);
}

// The option "stop_rule": None, or a dict of mode "switches" (times and signs
// per watched junction, window) or "counts" (times, relative counts row by
// row, threshold), each with "watched" and "time_scale".
void read_stop_rule(PyObject* options, Py_ssize_t slots, Transient& transient) {
    PyObject* rule = PyDict_GetItemString(options, "stop_rule");
    if (rule == nullptr || rule == Py_None)
        return;
    if (!PyDict_Check(rule))
        capi::raise(PyExc_TypeError, "option 'stop_rule' must be a dict or None");
    std::vector<WatchedPhase> watched = watched_of(rule, slots);
    const double scale = real_option(rule, "time_scale", 0.0, true);
    PyObject* mode = PyDict_GetItemString(rule, "mode");
    StopRule stop;
    const auto n = static_cast<Py_ssize_t>(watched.size());
    if (mode != nullptr && PyUnicode_Check(mode) &&
        PyUnicode_CompareWithASCIIString(mode, "switches") == 0) {
        capi::Ref times = fast_sequence(rule, "times"), signs = fast_sequence(rule, "signs");
        if (PySequence_Fast_GET_SIZE(times.get()) != n ||
            PySequence_Fast_GET_SIZE(signs.get()) != n)
            capi::raise(PyExc_ValueError, "stop rule: one list of times and signs per junction");
        std::vector<std::vector<double>> at(watched.size());
        std::vector<std::vector<int32_t>> way(watched.size());
        for (Py_ssize_t j = 0; j < n; ++j) {
            at[j] = doubles_of(PySequence_Fast_GET_ITEM(times.get(), j));
            for (double s : doubles_of(PySequence_Fast_GET_ITEM(signs.get(), j)))
                way[j].push_back(s > 0 ? 1 : -1);
            if (at[j].size() != way[j].size())
                capi::raise(PyExc_ValueError, "stop rule: one sign per switch");
        }
        stop.expect_switches(std::move(watched), std::move(at), std::move(way),
                             rule_real(rule, "window"), scale);
    } else if (mode != nullptr && PyUnicode_Check(mode) &&
               PyUnicode_CompareWithASCIIString(mode, "counts") == 0) {
        std::vector<double> times = doubles_of(fast_sequence(rule, "times").get());
        std::vector<double> relative = doubles_of(fast_sequence(rule, "relative").get());
        if (times.empty() || relative.size() != (times.size() - 1) * watched.size())
            capi::raise(PyExc_ValueError, "stop rule: one count per junction after the first time");
        stop.expect_counts(std::move(watched), std::move(times), std::move(relative),
                           rule_real(rule, "threshold"), scale);
    } else {
        capi::raise(PyExc_ValueError, "stop rule: mode must be 'switches' or 'counts'");
    }
    transient.set_stop_rule(std::move(stop));
}

} // namespace

std::unique_ptr<EngineState> make_state(PyObject* const* given) {
    auto s = std::make_unique<EngineState>();
    const IntView1 ap(given[1], "int", capi::Access::read_contiguous);
    const IntView1 ai(given[2], "int", capi::Access::read_contiguous);
    if (ap.size() < 2)
        capi::raise(PyExc_ValueError, "Ap must hold at least two column pointers");
    if (ap.size() - 1 > INT32_MAX)
        capi::raise(PyExc_OverflowError, "value too large to convert to int");
    const int32_t n = static_cast<int32_t>(ap.size() - 1);
    const CompressedPattern pattern = copy_pattern(n, ap, ai);
    s->size = n;
    s->nnz = pattern.nnz();
    const capi::DoubleView a0(given[3], "double", capi::Access::read_contiguous);
    check_length("A0", a0.size(), pattern.nnz());
    read_shared(given[4], n, *s);
    read_models(given[0], n, pattern.nnz(), *s);
    std::vector<Source> sources = read_sources(given[5], *s);
    std::vector<Channel> channels = read_channels(given[6], n, element_slots(*s));
    std::vector<int32_t> turn_channels = read_turn_channels(given[7], element_slots(*s));
    const Options options = read_options(given[8], *s);

    SharedArrays shared{s->node_phase.data(), s->node_voltage.data(), s->node_dvoltage.data(),
                        s->elem_phase.data(), s->elem_voltage.data(), s->elem_current.data(),
                        s->elem_n.data()};
    s->transient =
        std::make_unique<Transient>(s->models, *g_api->empty_ops, n, options, std::move(sources),
                                    std::move(channels), std::move(turn_channels), shared);
    if (options.noise_step > 0)
        s->transient->set_noise_models(noise_models(given[8], s->models));
    s->transient->set_voltage_free(voltage_free(given[8], n));
    read_stop_rule(given[8], element_slots(*s), *s->transient);
    if (!s->transient->prepare(pattern.col_ptr.data(), pattern.row_idx.data(), a0.data()))
        capi::raise_format(PyExc_ValueError, "KLU cannot analyse the pattern (status %d)",
                           s->transient->solver().status());
    return s;
}

void import_engine_api() {
    capi::Ref kernel = capi::Ref::steal(PyImport_ImportModule("loxant.CircuitKernel"));
    auto* api = static_cast<const EngineApi*>(PyCapsule_Import(kEngineApiCapsule, 0));
    if (api == nullptr)
        capi::raise_pending();
    if (api->version != kEngineApiVersion || api->object_size != sizeof(ElementModelObject))
        capi::raise(PyExc_ImportError,
                    "loxant.CircuitKernel was built from other sources than loxant.NativeEngine");
    g_api = api;
}

namespace {

capi::Ref name_tuple(const char* const* names, size_t count) {
    capi::Ref out = capi::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (size_t k = 0; k < count; ++k) {
        capi::Ref name = capi::Ref::steal(PyUnicode_FromString(names[k]));
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), name.release());
    }
    return out;
}

void add_object(PyObject* module, const char* name, capi::Ref value) {
    if (PyModule_AddObject(module, name, value.get()) < 0)
        capi::raise_pending();
    value.release();
}

} // namespace

void add_run_constants(PyObject* module) {
    add_object(module, "REQUIRED_OPTIONS",
               name_tuple(kRequiredOptions, std::size(kRequiredOptions)));
    add_object(module, "OPTIONAL_OPTIONS",
               name_tuple(kOptionalOptions, std::size(kOptionalOptions)));
    const std::pair<const char*, Outcome> outcomes[] = {
        {"FINISHED", Outcome::finished},       {"TABLES_FULL", Outcome::tables_full},
        {"FAILED", Outcome::failed},           {"STEP_LIMIT", Outcome::step_limit},
        {"RULE_FAILED", Outcome::rule_failed},
    };
    for (const auto& [name, outcome] : outcomes)
        if (PyModule_AddIntConstant(module, name, static_cast<long>(outcome)) < 0)
            capi::raise_pending();
    const std::pair<const char*, const char*> reasons[] = {
        {"REASON_SINGULAR", kReasonSingular},
        {"REASON_NON_FINITE", kReasonNonFinite},
        {"REASON_NO_CONVERGENCE", kReasonNoConvergence},
        {"REASON_LOCAL_ERROR", kReasonLocalError},
    };
    for (const auto& [name, reason] : reasons)
        if (PyModule_AddStringConstant(module, name, reason) < 0)
            capi::raise_pending();
}

const EngineApi& engine_api() {
    return *g_api;
}

} // namespace loxant::engine
