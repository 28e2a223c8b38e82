// loxant.NativeEngine.Engine: checks everything a run will touch, then hands
// the loop plain pointers.  The models come from loxant.CircuitKernel, whose
// capsule says how to recognise them; the engine holds a reference to each
// model and a buffer export of each shared array, so neither can go away or
// be resized while the engine exists.
#include "engine/engine_object.hpp"

#include "capi/args.hpp"
#include "capi/convert.hpp"
#include "capi/errors.hpp"
#include "engine/engine_state.hpp"
#include "solver/compressed_pattern.hpp"

#include <algorithm>
#include <memory>
#include <unordered_set>

namespace loxant::engine {

namespace {

constexpr const char* kFile = "engine/engine_object.cpp";

// Models driven by a running engine: two runs must not share one.
std::unordered_set<const ElementModelObject*>& busy_models() {
    static std::unordered_set<const ElementModelObject*> models;
    return models;
}

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

// ---- construction ---------------------------------------------------------------

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
          generation_(engine_api().model_generation()) {}
    // Python code may have called InitModel on a model of the run: then every
    // model is checked again, as at set-up.
    bool models_still_fit() override {
        if (engine_api().model_generation() == generation_)
            return true;
        if (released_ != nullptr)
            PyEval_RestoreThread(released_);
        bool ok = capi::guarded("loxant.NativeEngine.Engine.run", kFile, [&] {
            for (size_t k = 0; k < state_.models.size(); ++k)
                check_model(state_.model_refs[k].get(), static_cast<Py_ssize_t>(k), n_, nnz_,
                            state_);
        });
        generation_ = engine_api().model_generation();
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

Outcome settle_and_run(EngineState& s, Transient& t, const RecordTables& tables, Host& host) {
    if (!s.started) {
        s.started = true;
        const Outcome settled = t.settle(host);
        if (settled != Outcome::finished)
            return settled;
        t.record_start(tables);
    }
    return t.run(tables, host);
}

// The models are left as stepping them at each acceptance leaves them.
Outcome start_and_run(EngineState& s, Transient& t, const RecordTables& tables, Host& host) {
    const Outcome outcome = settle_and_run(s, t, tables, host);
    t.catch_up();
    return outcome;
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
        return capi::Ref::steal(PyLong_FromLong(static_cast<long>(outcome)));
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

int set_recorded(PyObject* self, PyObject* value, void*) {
    return capi::boundary_int("loxant.NativeEngine.Engine.recorded", kFile, [&] {
        Transient& t = *state_of(self).transient;
        const long long rows = value == nullptr ? -1 : PyLong_AsLongLong(value);
        if (rows == -1 && PyErr_Occurred())
            capi::raise_pending();
        if (rows < 0 || rows > t.recorded())
            capi::raise_format(PyExc_ValueError, "recorded may only fall, to 0..%lld, got %lld",
                               static_cast<long long>(t.recorded()), rows);
        t.keep_rows(rows);
    });
}

PyObject* get_rest_steps(PyObject* self, void*) {
    return capi::boundary("loxant.NativeEngine.Engine.rest_steps", kFile, [&] {
        return capi::Ref::steal(PyLong_FromLongLong(state_of(self).transient->rest_steps()));
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

// (kind, junction, index, time, value, phase) of what the stop rule found
// failed, or None.
PyObject* get_stop_report(PyObject* self, void*) {
    return capi::boundary("loxant.NativeEngine.Engine.stop_report", kFile, [&] {
        const StopReport& r = state_of(self).transient->stop_rule().report();
        if (r.kind == StopKind::none)
            return capi::Ref::borrow(Py_None);
        return capi::Ref::steal(Py_BuildValue("(iiiddd)", static_cast<int>(r.kind), r.junction,
                                              r.index, r.time, r.value, r.phase));
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
     "run(time, values, turns)\n--\n\nSteps on, recording into the given tables; returns "
     "FINISHED when t_stop is reached, TABLES_FULL when the tables are full (call again with "
     "larger ones holding the rows recorded so far), FAILED when a step failed (see failure), "
     "STEP_LIMIT when the step limit (option max_steps) is reached, RULE_FAILED when the "
     "stop rule found the run failed (see stop_report)."},
    {"linear_algebra_floor", engine_floor, METH_O,
     "linear_algebra_floor(repeats)\n--\n\nSeconds of one refactorisation and solve, as the "
     "loop does them, of the last matrix factored (mean of repeats), or None before the first "
     "factorisation."},
    {"solve_floor", engine_solve_floor, METH_O,
     "solve_floor(repeats)\n--\n\nSeconds of one klu_solve with the factorisation held (mean "
     "of repeats), or None before the first factorisation."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"stats", get_stats, nullptr, "counters of the run", nullptr},
    {"recorded", get_recorded, set_recorded,
     "rows recorded so far; set lower to keep only the first rows (the next row is written "
     "after them)",
     nullptr},
    {"time", get_time, nullptr, "time of the last accepted step", nullptr},
    {"rest_steps", get_rest_steps, nullptr,
     "steps of the start-up period taken at rest without computing them (see option skip_rest)",
     nullptr},
    {"failure", get_failure, nullptr,
     "(time, step, reason, singular, iterations, non-finite models) or None", nullptr},
    {"stop_report", get_stop_report, nullptr,
     "(kind, junction, index, time, value, phase) of the stop rule's finding, or None", nullptr},
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
     "desc (see loxant.native.waveform_description) at each of times into out."},
    {nullptr, nullptr, 0, nullptr},
};

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
    add_run_constants(module);
}

} // namespace loxant::engine
