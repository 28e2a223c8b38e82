// loxant.NativeEngine.Engine: checks everything a run will touch, then hands
// the loop plain pointers.  The models come from loxant.CircuitKernel, whose
// capsule says how to recognise them; the engine holds a reference to each
// model and a buffer export of each shared array, so neither can go away or
// be resized while the engine exists.
#include "engine/engine_object.hpp"

#include "capi/args.hpp"
#include "capi/buffer.hpp"
#include "capi/convert.hpp"
#include "capi/errors.hpp"
#include "engine/transient.hpp"
#include "kernel/engine_api.hpp"
#include "solver/compressed_pattern.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <unordered_set>

namespace loxant::engine {

namespace {

constexpr const char* kFile = "engine/engine_object.cpp";

const EngineApi* g_api = nullptr;

using IntView1 = capi::BufferView<int32_t, 1>;
using DoubleTable = capi::BufferView<double, 2>;
using IntTable = capi::BufferView<int32_t, 2>;

// Models driven by a running engine: two runs must not share one.
std::unordered_set<const ElementModelObject*>& busy_models() {
    static std::unordered_set<const ElementModelObject*> models;
    return models;
}

struct EngineState {
    std::vector<capi::Ref> model_refs;
    std::vector<ElementModelObject*> models;
    capi::DoubleView node_phase, node_voltage, node_dvoltage;
    capi::DoubleView elem_phase, elem_voltage, elem_current;
    IntView1 elem_n;
    std::unique_ptr<Transient> transient;
    capi::Ref progress;
    bool calls_python = false;
    bool started = false;
    bool running = false;
    bool stopped = false; // an error ended the run
    int32_t size = 0, nnz = 0;
};

struct EngineObject {
    PyObject ob_base;
    EngineState* state;
};

EngineState& state_of(PyObject* self) {
    EngineState* state = reinterpret_cast<EngineObject*>(self)->state;
    if (state == nullptr)
        capi::raise(PyExc_RuntimeError, "Engine is not initialised");
    return *state;
}

// ---- options ------------------------------------------------------------------------

const char* const kOptionNames[] = {"t_stop",
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
                                    "values_every_step",
                                    "profile",
                                    "progress",
                                    "progress_interval",
                                    "modified_newton",
                                    "rate_test",
                                    "predictor_degree",
                                    "newton_fraction",
                                    "adaptive",
                                    "lte_rtol",
                                    "lte_atol",
                                    "dt_max",
                                    "breakpoints",
                                    "noise_step",
                                    "noise_models",
                                    "max_steps",
                                    "settle_steps",
                                    "settle_step"};

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
    while (PyDict_Next(options, &pos, &key, &value)) {
        bool known = false;
        for (const char* name : kOptionNames)
            known |= PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
        if (!known)
            capi::raise_format(PyExc_ValueError, "unknown option %R", key);
    }
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
    // Tuning, each optional.
    if (PyDict_GetItemString(options, "modified_newton") != nullptr)
        o.modified_newton = capi::truth(option(options, "modified_newton"));
    if (PyDict_GetItemString(options, "values_every_step") != nullptr)
        o.values_every_step = capi::truth(option(options, "values_every_step"));
    if (PyDict_GetItemString(options, "rate_test") != nullptr)
        o.rate_test = capi::truth(option(options, "rate_test"));
    if (PyDict_GetItemString(options, "predictor_degree") != nullptr)
        o.predictor_degree = static_cast<int32_t>(count_option(options, "predictor_degree"));
    if (PyDict_GetItemString(options, "newton_fraction") != nullptr)
        o.newton_fraction = real_option(options, "newton_fraction", 0.0, false);
    if (PyDict_GetItemString(options, "adaptive") != nullptr &&
        capi::truth(option(options, "adaptive")))
        read_adaptive_options(options, o);
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
    if (!book.bound)
        capi::raise_format(PyExc_ValueError, "models[%zd] has no arrays bound: call InitModel", k);
    if (!bound_to(book.arrays, s))
        capi::raise_format(PyExc_ValueError,
                           "models[%zd] is bound to other arrays than the ones given: call "
                           "InitModel again",
                           k);
    if (r.eindex >= book.bound_elements || r.eindex >= element_slots(s) ||
        r.max_unknown > book.bound_unknowns)
        capi::raise_format(PyExc_ValueError, "models[%zd] does not fit the arrays it is bound to",
                           k);
}

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

// ---- construction ---------------------------------------------------------------

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
    if (!s->transient->prepare(pattern.col_ptr.data(), pattern.row_idx.data(), a0.data()))
        capi::raise_format(PyExc_ValueError, "KLU cannot analyse the pattern (status %d)",
                           s->transient->solver().status());
    return s;
}

int engine_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return capi::boundary_int("loxant.NativeEngine.Engine.__init__", kFile, [&] {
        static const char* const names[] = {"models", "Ap",      "Ai",       "A0",
                                            "arrays", "sources", "channels", "turn_channels",
                                            "options"};
        static const capi::Signature sig{"__init__", names, 9, 9};
        PyObject* given[9];
        capi::parse_args(sig, args, kwargs, given);
        auto* obj = reinterpret_cast<EngineObject*>(self);
        if (obj->state != nullptr && obj->state->running)
            capi::raise(PyExc_RuntimeError, "Engine is running");
        std::unique_ptr<EngineState> fresh = make_state(given);
        std::unique_ptr<EngineState> old(obj->state);
        obj->state = fresh.release();
    });
}

PyObject* engine_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr)
        reinterpret_cast<EngineObject*>(self)->state = nullptr;
    return self;
}

void engine_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<EngineObject*>(self)->state;
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- running ----------------------------------------------------------------------

// Progress reports and signals, with the interpreter lock taken back if the
// loop runs without it.
class PythonHost : public Host {
  public:
    PythonHost(PyObject* progress, const EngineState& state, int32_t n, int32_t nnz)
        : progress_(progress), state_(state), n_(n), nnz_(nnz),
          generation_(g_api->model_generation()) {}
    // Python code may have called InitModel on a model of the run: then every
    // model is checked again, as at set-up.
    bool models_still_fit() override {
        if (g_api->model_generation() == generation_)
            return true;
        if (released_ != nullptr)
            PyEval_RestoreThread(released_);
        bool ok = capi::guarded("loxant.NativeEngine.Engine.run", kFile, [&] {
            for (size_t k = 0; k < state_.models.size(); ++k)
                check_model(state_.model_refs[k].get(), static_cast<Py_ssize_t>(k), n_, nnz_,
                            state_);
        });
        generation_ = g_api->model_generation();
        if (released_ != nullptr)
            released_ = PyEval_SaveThread();
        return ok;
    }
    bool pause(double t) override {
        if (released_ != nullptr)
            PyEval_RestoreThread(released_);
        bool ok = PyErr_CheckSignals() == 0;
        if (ok && progress_ != Py_None) {
            PyObject* result = PyObject_CallFunction(progress_, "d", t);
            ok = result != nullptr;
            Py_XDECREF(result);
        }
        if (released_ != nullptr)
            released_ = PyEval_SaveThread();
        return ok;
    }
    void release() { released_ = PyEval_SaveThread(); }
    void take_back() {
        PyEval_RestoreThread(released_);
        released_ = nullptr;
    }

  private:
    PyObject* progress_;
    const EngineState& state_;
    int32_t n_, nnz_;
    uint64_t generation_;
    PyThreadState* released_ = nullptr;
};

// Marks the models busy for the duration of one run.
class BusyModels {
  public:
    explicit BusyModels(const std::vector<ElementModelObject*>& models) : models_(models) {
        auto& busy = busy_models();
        for (size_t k = 0; k < models_.size(); ++k)
            if (busy.count(models_[k]) != 0) {
                for (size_t j = 0; j < k; ++j)
                    busy.erase(models_[j]);
                capi::raise(PyExc_RuntimeError,
                            "an element model of this run is driven by another running engine");
            } else {
                busy.insert(models_[k]);
            }
    }
    ~BusyModels() {
        for (const ElementModelObject* m : models_)
            busy_models().erase(m);
    }

  private:
    const std::vector<ElementModelObject*>& models_;
};

RecordTables tables_of(const capi::DoubleView& time, const DoubleTable& values,
                       const IntTable& turns, const Transient& t) {
    if (values.shape(1) != static_cast<Py_ssize_t>(t.channel_count()) ||
        turns.shape(1) != static_cast<Py_ssize_t>(t.turn_channel_count()))
        capi::raise_format(PyExc_ValueError,
                           "record tables need %zd value columns and %zd turn columns",
                           t.channel_count(), t.turn_channel_count());
    RecordTables tables;
    tables.time = time.data();
    tables.values = values.data();
    tables.turns = turns.data();
    tables.capacity = std::min({time.size(), values.shape(0), turns.shape(0)});
    if (tables.capacity < t.recorded() || tables.capacity < 1)
        capi::raise_format(PyExc_ValueError, "record tables hold %lld rows, %lld are recorded",
                           static_cast<long long>(tables.capacity),
                           static_cast<long long>(t.recorded()));
    return tables;
}

Outcome start_and_run(EngineState& s, Transient& t, const RecordTables& tables, Host& host) {
    if (!s.started) {
        s.started = true;
        const Outcome settled = t.settle(host);
        if (settled != Outcome::finished)
            return settled;
        t.record_start(tables);
    }
    return t.run(tables, host);
}

Outcome run_loop(EngineState& s, const RecordTables& tables) {
    Transient& t = *s.transient;
    PythonHost host(s.progress.get(), s, s.size, s.nnz);
    if (s.calls_python)
        return start_and_run(s, t, tables, host);
    host.release();
    const Outcome outcome = start_and_run(s, t, tables, host);
    host.take_back();
    return outcome;
}

PyObject* engine_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return capi::boundary("loxant.NativeEngine.Engine.run", kFile, [&] {
        static const char* const names[] = {"time", "values", "turns"};
        static const capi::Signature sig{"run", names, 3, 3};
        PyObject* given[3];
        capi::parse_args(sig, args, nargs, kwnames, given);
        EngineState& s = state_of(self);
        if (s.running)
            capi::raise(PyExc_RuntimeError, "Engine.run is running already");
        if (s.stopped)
            capi::raise(PyExc_RuntimeError, "this run stopped after an error; start a new one");
        const capi::DoubleView time(given[0], "double", capi::Access::write_contiguous);
        const DoubleTable values(given[1], "double", capi::Access::write_contiguous);
        const IntTable turns(given[2], "int32", capi::Access::write_contiguous);
        const RecordTables tables = tables_of(time, values, turns, *s.transient);
        Outcome outcome;
        const BusyModels busy(s.models); // refuses before anything starts
        s.running = true;
        try {
            outcome = run_loop(s, tables);
        } catch (...) {
            s.running = false;
            s.stopped = true;
            throw;
        }
        s.running = false;
        if (outcome == Outcome::interrupted) {
            s.stopped = true;
            capi::raise_pending();
        }
        s.stopped = outcome == Outcome::failed;
        const long code = outcome == Outcome::finished      ? 0
                          : outcome == Outcome::tables_full ? 1
                          : outcome == Outcome::step_limit  ? 3
                                                            : 2;
        return capi::Ref::steal(PyLong_FromLong(code));
    });
}

// Seconds of `floor` (a member of Transient) repeated `arg` times, or None.
PyObject* measure_floor(PyObject* self, PyObject* arg, const char* name,
                        double (Transient::*floor)(int32_t)) {
    return capi::boundary(name, kFile, [&] {
        EngineState& s = state_of(self);
        const int32_t repeats = capi::to_int32(arg);
        if (repeats < 1)
            capi::raise(PyExc_ValueError, "repeats must be positive");
        if (s.running)
            capi::raise(PyExc_RuntimeError, "Engine.run is running");
        const double seconds = (*s.transient.*floor)(repeats);
        if (seconds < 0)
            return capi::Ref::borrow(Py_None);
        return capi::Ref::steal(PyFloat_FromDouble(seconds));
    });
}

PyObject* engine_floor(PyObject* self, PyObject* arg) {
    return measure_floor(self, arg, "loxant.NativeEngine.Engine.linear_algebra_floor",
                         &Transient::linear_algebra_floor);
}

PyObject* engine_solve_floor(PyObject* self, PyObject* arg) {
    return measure_floor(self, arg, "loxant.NativeEngine.Engine.solve_floor",
                         &Transient::solve_floor);
}

// ---- attributes -------------------------------------------------------------------

int set_item(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr)
        return -1;
    const int status = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return status;
}

PyObject* get_stats(PyObject* self, void*) {
    return capi::boundary("loxant.NativeEngine.Engine.stats", kFile, [&] {
        const Transient& t = *state_of(self).transient;
        const Stats& st = t.stats();
        capi::Ref d = capi::Ref::steal(PyDict_New());
        const std::pair<const char*, long long> counts[] = {
            {"steps", st.steps},
            {"rejected", st.rejected},
            {"iterations", st.iterations},
            {"matrix_builds", st.matrix_builds},
            {"max_iterations", st.max_iterations},
            {"factorisations", t.solver().factorisations()},
            {"refactorisations", t.solver().refactorisations()},
            {"solves", st.solves},
        };
        for (const auto& [key, value] : counts)
            if (set_item(d.get(), key, PyLong_FromLongLong(value)) < 0)
                capi::raise_pending();
        if (set_item(d.get(), "kernel_seconds", PyFloat_FromDouble(st.kernel_seconds)) < 0 ||
            set_item(d.get(), "solver_seconds", PyFloat_FromDouble(st.solver_seconds)) < 0)
            capi::raise_pending();
        if (st.settle_steps > 0 &&
            (set_item(d.get(), "settle_steps", PyLong_FromLongLong(st.settle_steps)) < 0 ||
             set_item(d.get(), "settle_motion", PyFloat_FromDouble(st.settle_motion)) < 0))
            capi::raise_pending();
        return d;
    });
}

PyObject* get_recorded(PyObject* self, void*) {
    return capi::boundary("loxant.NativeEngine.Engine.recorded", kFile, [&] {
        return capi::Ref::steal(PyLong_FromLongLong(state_of(self).transient->recorded()));
    });
}

PyObject* get_time(PyObject* self, void*) {
    return capi::boundary("loxant.NativeEngine.Engine.time", kFile, [&] {
        return capi::Ref::steal(PyFloat_FromDouble(state_of(self).transient->time()));
    });
}

// (time, step, reason, singular, iterations) of the step that failed, or None.
PyObject* get_failure(PyObject* self, void*) {
    return capi::boundary("loxant.NativeEngine.Engine.failure", kFile, [&] {
        const EngineState& s = state_of(self);
        const Failure& f = s.transient->failure();
        if (!s.stopped || f.reason[0] == 0)
            return capi::Ref::borrow(Py_None);
        capi::Ref culprits =
            capi::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(f.non_finite_models.size())));
        for (size_t k = 0; k < f.non_finite_models.size(); ++k) {
            capi::Ref index = capi::Ref::steal(PyLong_FromLong(f.non_finite_models[k]));
            PyTuple_SET_ITEM(culprits.get(), static_cast<Py_ssize_t>(k), index.release());
        }
        return capi::Ref::steal(Py_BuildValue("(ddsOiO)", f.time, f.step, f.reason,
                                              f.singular ? Py_True : Py_False, f.iterations,
                                              culprits.get()));
    });
}

// waveform_values(desc, times, out): out[k] = the waveform at times[k], as the
// loop evaluates it.
PyObject* waveform_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return capi::boundary_none("loxant.NativeEngine.waveform_values", kFile, [&] {
        static const char* const names[] = {"desc", "times", "out"};
        static const capi::Signature sig{"waveform_values", names, 3, 3};
        PyObject* given[3];
        capi::parse_args(sig, args, nargs, kwnames, given);
        const std::unique_ptr<Waveform> waveform = Waveform::parse(given[0]);
        const capi::DoubleView times(given[1], "double", capi::Access::read);
        const capi::DoubleView out(given[2], "double", capi::Access::write);
        check_length("out", out.size(), times.size());
        for (Py_ssize_t k = 0; k < times.size(); ++k)
            out.strided()[k] = waveform->evaluate(times.strided()[k]);
    });
}

template <class F> PyCFunction as_cfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef kMethods[] = {
    {"run", as_cfunction(engine_run), METH_FASTCALL | METH_KEYWORDS,
     "run(time, values, turns)\n--\n\nSteps on, recording into the given tables; returns 0 "
     "when t_stop is reached, 1 when the tables are full (call again with larger ones holding "
     "the rows recorded so far), 2 when a step failed (see failure), 3 when the step limit "
     "(option max_steps) is reached."},
    {"linear_algebra_floor", engine_floor, METH_O,
     "linear_algebra_floor(repeats)\n--\n\nSeconds of one klu_refactor + klu_solve of the last "
     "matrix factored (mean of repeats), or None before the first factorisation."},
    {"solve_floor", engine_solve_floor, METH_O,
     "solve_floor(repeats)\n--\n\nSeconds of one klu_solve with the factorisation held (mean "
     "of repeats), or None before the first factorisation."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"stats", get_stats, nullptr, "counters of the run", nullptr},
    {"recorded", get_recorded, nullptr, "rows recorded so far", nullptr},
    {"time", get_time, nullptr, "time of the last accepted step", nullptr},
    {"failure", get_failure, nullptr,
     "(time, step, reason, singular, iterations, non-finite models) or None", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char* kDoc =
    "Engine(models, Ap, Ai, A0, arrays, sources, channels, turn_channels, options)\n"
    "--\n\n"
    "One transient run over element models of loxant.CircuitKernel, their InitModel done\n"
    "against `arrays` (NodePhase, NodeVoltage, NodeDVoltage, ElementPhase, ElementVoltage,\n"
    "ElementCurrent, ElementN); A0 holds the static matrix over the pattern (Ap, Ai).";

PyMethodDef kFunctions[] = {
    {"waveform_values", as_cfunction(waveform_values), METH_FASTCALL | METH_KEYWORDS,
     "waveform_values(desc, times, out)\n--\n\nWrites the value of the waveform described by "
     "desc (see loxant.native.waveform_spec) at each of times into out."},
    {nullptr, nullptr, 0, nullptr},
};

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

} // namespace

void add_engine_type(PyObject* module) {
    import_engine_api();
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(engine_new)},
        {Py_tp_init, reinterpret_cast<void*>(engine_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
        {Py_tp_methods, kMethods},
        {Py_tp_getset, kGetSet},
        {Py_tp_doc, const_cast<char*>(kDoc)},
        {0, nullptr},
    };
    PyType_Spec type_spec{"loxant.NativeEngine.Engine", sizeof(EngineObject), 0, Py_TPFLAGS_DEFAULT,
                          slots};
    capi::Ref type = capi::Ref::steal(PyType_FromSpec(&type_spec));
    if (PyModule_AddObject(module, "Engine", type.get()) < 0)
        capi::raise_pending();
    type.release();
    if (PyModule_AddFunctions(module, kFunctions) < 0)
        capi::raise_pending();
}

} // namespace loxant::engine
