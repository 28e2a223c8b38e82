// The kernels: collect the element models into a table, then walk it in
// lxglobals.ElementList order and call the element operations with the arrays
// and the step data read from SimulationParameters.
//
// Every Python-visible input is read and validated, and every index the
// elements will use is checked against the arrays, before the first element
// is called; the element loops themselves call nothing of Python.
#include "kernel/kernels.hpp"

#include "capi/args.hpp"
#include "capi/buffer.hpp"
#include "capi/convert.hpp"
#include "capi/errors.hpp"
#include "kernel/models/element_model.hpp"
#include "kernel/module_state.hpp"
#include "kernel/step.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarraytypes.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace loxant {

namespace {

constexpr const char* kFile = "kernel/kernels.cpp";

// Owned references to the models, so that dropping the netlist cannot leave
// the table pointing at freed objects.
class ModelTable {
  public:
    // At process exit the interpreter is gone: the references are left to the
    // operating system, since releasing one can run Python code.
    ~ModelTable() {
        if (Py_IsInitialized())
            release(std::move(models_));
    }
    // The new table is in place, and marked changed, before the old models are
    // released: their finalizers may call the kernels.
    // Installs the new models and returns the old ones, still referenced.
    std::vector<PyObject*> exchange(std::vector<PyObject*>&& models) {
        std::vector<PyObject*> old = std::exchange(models_, std::move(models));
        touch_models();
        return old;
    }
    Py_ssize_t size() const { return static_cast<Py_ssize_t>(models_.size()); }
    ElementModelObject* operator[](Py_ssize_t k) const {
        return reinterpret_cast<ElementModelObject*>(models_[k]);
    }

    static void release(std::vector<PyObject*> models) {
        for (PyObject* model : models)
            Py_DECREF(model);
    }

  private:
    std::vector<PyObject*> models_;
};

ModelTable g_elements;
ModelTable g_sources;

// ---- reading the shared state ---------------------------------------------------

capi::Ref sp_attr(const char* name) {
    return capi::get_attr(lookup_global("SP").get(), name);
}
capi::Ref lx_attr(const char* name) {
    return capi::get_attr(lookup_global("lxglobals").get(), name);
}

int32_t count_of(const char* name) {
    int32_t count = capi::to_int32(lx_attr(name).get());
    if (count < 0)
        capi::raise_format(PyExc_ValueError, "lxglobals.%s must not be negative (got %d)", name,
                           count);
    return count;
}

int32_t nthreads() {
    return capi::to_int32(lookup_global("NTHREADS").get());
}

double first_item(const char* name) {
    capi::Ref sequence = sp_attr(name);
    return capi::to_double(capi::get_item_by_key(sequence.get(), 0).get());
}

double sp_double(const char* name) {
    return capi::to_double(sp_attr(name).get());
}

// A float64 view taken when its array is checked, at the start of a kernel,
// and renewed after the kernel's last Python call if that code reallocated,
// resized, restrided or write-protected the array (NumPy's resize with
// refcheck=False frees the old data at once).
class KernelView {
  public:
    KernelView() = default;
    KernelView(PyObject* obj, capi::Access access)
        : obj_(capi::Ref::borrow(obj)), access_(access), view_(obj, "FLOAT_t", access) {}

    // The array is known to be an ndarray: its fields are read directly.
    void renew() {
        if (!view_.held())
            return;
        auto* a = reinterpret_cast<PyArrayObject*>(obj_.get());
        const bool same = PyArray_NDIM(a) == 1 && PyArray_DATA(a) == view_.data() &&
                          PyArray_DIMS(a)[0] == view_.size() &&
                          PyArray_STRIDES(a)[0] == view_.stride(0) &&
                          (!capi::writes(access_) || PyArray_ISWRITEABLE(a));
        if (!same)
            view_ = capi::DoubleView(obj_.get(), "FLOAT_t", access_);
    }
    const capi::DoubleView& get() const noexcept { return view_; }
    bool held() const noexcept { return view_.held(); }

  private:
    capi::Ref obj_;
    capi::Access access_ = capi::Access::read;
    capi::DoubleView view_;
};

// A value array or right-hand side given as an argument: writable, strided.
KernelView argument_view(PyObject* obj, const char* name) {
    capi::check_arg_type(obj, module_state().ndarray, name, false);
    return KernelView(obj, capi::Access::write);
}

// A per-unknown vector of SimulationParameters, read through a raw pointer.
KernelView state_view(const capi::Ref& obj) {
    capi::check_value_type(obj.get(), module_state().ndarray);
    return KernelView(obj.get(), capi::Access::read_contiguous);
}

// The phase and derivative vectors of the present iterate.
struct StateVectors {
    KernelView phases, phases_prev, voltages, voltages_deriv, voltages_prev;

    Py_ssize_t shortest() const {
        Py_ssize_t n = std::min({phases.get().size(), phases_prev.get().size(),
                                 voltages.get().size(), voltages_deriv.get().size()});
        return voltages_prev.held() ? std::min(n, voltages_prev.get().size()) : n;
    }
    // Call only after the last Python call of the kernel.
    void renew() {
        for (KernelView* v : {&phases, &phases_prev, &voltages, &voltages_deriv, &voltages_prev})
            v->renew();
    }
};

StateVectors read_state(bool with_previous_voltages) {
    StateVectors s;
    capi::Ref x = sp_attr("X");
    capi::Ref xind = sp_attr("Xind");
    s.phases = state_view(capi::Ref::steal(PyObject_GetItem(x.get(), xind.get())));
    capi::Ref one = capi::Ref::steal(PyLong_FromLong(1));
    capi::Ref previous = capi::Ref::steal(PyNumber_Subtract(xind.get(), one.get()));
    s.phases_prev = state_view(capi::Ref::steal(PyObject_GetItem(x.get(), previous.get())));
    s.voltages = state_view(sp_attr("DX"));
    s.voltages_deriv = state_view(sp_attr("DDX"));
    if (with_previous_voltages)
        s.voltages_prev = state_view(sp_attr("DXprev"));
    return s;
}

// The numbers of the step context, read through Python.
StepContext step_values() {
    StepContext ctx{};
    ctx.coeff_dt = first_item("InterpCoeffDt");
    ctx.coeff_ddt = first_item("InterpCoeffDDt");
    ctx.smooth_factor = sp_double("InitialSmoothFactor");
    ctx.time_step = first_item("TimeSteps");
    ctx.junction_history_held = sp_double("JunctionHistoryHeld") != 0.0;
    return ctx;
}

void point_at(StepContext& ctx, const StateVectors& s) {
    ctx.phases = s.phases.get().data();
    ctx.phases_prev = s.phases_prev.get().data();
    ctx.voltages = s.voltages.get().data();
    ctx.voltages_deriv = s.voltages_deriv.get().data();
    ctx.voltages_prev = s.voltages_prev.held() ? s.voltages_prev.get().data() : nullptr;
}

// ---- checking the table before any element is called --------------------------------

// The value arrays an element's operations stamp into.
enum ValueArray : int { kA0, kA1, kA2, kValueArrayCount };

bool stamps(const ElementModelObject* m, ValueArray which) {
    switch (which) {
    case kA0:
        return m->ops->admitance0 != no_admitance0;
    case kA1:
        return m->ops->admitance1 != no_admitance;
    default:
        return m->ops->admitance2 != no_admitance;
    }
}

const char* const kValueArrayNames[kValueArrayCount] = {"A0", "A1", "A2"};

// The extremes over the whole table, recomputed only when a model or the
// table changed since the last kernel call.
struct TableSummary {
    uint64_t generation = 0;
    Py_ssize_t checked = -1; // number of entries summarised
    int32_t max_unknown = 0;
    int32_t max_position[kValueArrayCount] = {-1, -1, -1}; // per value array
    bool malformed = false;
    bool values_unsafe = false; // some model's Values would write outside its arrays
    // Every distinct binding of the models, checked on each call that runs Values.
    std::vector<BoundArray> bindings;
};

TableSummary g_summary;

bool values_unsafe(const ElementModelObject* m) {
    const ModelBookkeeping& book = *m->book;
    if (!book.reach.binds_arrays)
        return false;
    return !book.bound() || book.reach.max_unknown > book.binding->unknowns ||
           book.reach.eindex >= book.binding->elements;
}

void add_bindings(std::vector<BoundArray>& all, const ElementModelObject* m) {
    for (const BoundArray& binding : bindings_of(m))
        if (std::find(all.begin(), all.end(), binding) == all.end())
            all.push_back(binding);
}

const TableSummary& summary(Py_ssize_t nelem) {
    if (g_summary.generation == model_generation() && g_summary.checked == nelem)
        return g_summary;
    TableSummary s;
    s.generation = model_generation();
    s.checked = nelem;
    for (Py_ssize_t k = 0; k < nelem; ++k) {
        const ElementModelObject* m = g_elements[k];
        const Reach& r = m->book->reach;
        s.max_unknown = std::max(s.max_unknown, r.max_unknown);
        for (int a = 0; a < kValueArrayCount; ++a)
            if (stamps(m, static_cast<ValueArray>(a)))
                s.max_position[a] = std::max(s.max_position[a], r.max_position);
        s.malformed |= r.malformed;
        s.values_unsafe |= values_unsafe(m);
        add_bindings(s.bindings, m);
    }
    g_summary = std::move(s);
    return g_summary;
}

// What a kernel call provides: -1 where it does not apply.
struct Extents {
    Py_ssize_t unknowns = -1;                              // shortest per-unknown vector
    Py_ssize_t positions[kValueArrayCount] = {-1, -1, -1}; // entries of A0, A1, A2
    bool values = false;                                   // the call runs Values
};

bool positions_fit(const ElementModelObject* m, const Extents& e, ValueArray* failing) {
    const int32_t p = m->book->reach.max_position;
    for (int a = 0; a < kValueArrayCount; ++a) {
        if (e.positions[a] >= 0 && stamps(m, static_cast<ValueArray>(a)) && p >= e.positions[a]) {
            *failing = static_cast<ValueArray>(a);
            return false;
        }
    }
    return true;
}

[[noreturn]] void raise_for_model(Py_ssize_t k, const Extents& e) {
    PyObject* obj = reinterpret_cast<PyObject*>(g_elements[k]);
    const ElementModelObject* m = g_elements[k];
    const char* name = short_type_name(obj);
    const Reach& r = m->book->reach;
    if (r.malformed)
        capi::raise_format(PyExc_IndexError,
                           "%s at element %zd has a negative unknown, position or eindex, or a "
                           "branch unknown 0",
                           name, k);
    if (e.unknowns >= 0 && r.max_unknown > e.unknowns)
        capi::raise_format(PyExc_IndexError,
                           "%s at element %zd uses unknown %d but the arrays hold %zd unknowns",
                           name, k, r.max_unknown, e.unknowns);
    ValueArray failing = kA0;
    if (!positions_fit(m, e, &failing))
        capi::raise_format(PyExc_IndexError,
                           "%s at element %zd stamps position %d but the value arrays hold %zd "
                           "entries in %s",
                           name, k, r.max_position, e.positions[failing],
                           kValueArrayNames[failing]);
    if (!m->book->bound())
        capi::raise_format(PyExc_RuntimeError,
                           "%s at element %zd has no arrays bound: call InitModel first", name, k);
    capi::raise_format(PyExc_IndexError,
                       "%s at element %zd no longer fits the lxglobals arrays it bound: call "
                       "InitModel again",
                       name, k);
}

bool fits(const ElementModelObject* m, const Extents& e) {
    const Reach& r = m->book->reach;
    ValueArray failing = kA0;
    return !r.malformed && (e.unknowns < 0 || r.max_unknown <= e.unknowns) &&
           positions_fit(m, e, &failing) &&
           !(e.values && (values_unsafe(m) || !bindings_current(m)));
}

bool summary_fits(const TableSummary& s, const Extents& e) {
    if (s.malformed || (e.unknowns >= 0 && s.max_unknown > e.unknowns))
        return false;
    for (int a = 0; a < kValueArrayCount; ++a)
        if (e.positions[a] >= 0 && s.max_position[a] >= e.positions[a])
            return false;
    if (!e.values)
        return true;
    // A bound array reallocated or resized in place since InitModel.
    return !s.values_unsafe && std::all_of(s.bindings.begin(), s.bindings.end(),
                                           [](const BoundArray& b) { return b.current(); });
}

// Call after the last Python call of the kernel: nothing may change the
// arrays between this check and the element loop.
void check_table(Py_ssize_t nelem, const Extents& e) {
    if (nelem > g_elements.size())
        capi::raise_format(PyExc_IndexError,
                           "lxglobals.TotalElements is %zd but InitElementModels() collected %zd "
                           "element models",
                           nelem, g_elements.size());
    if (summary_fits(summary(nelem), e))
        return;
    for (Py_ssize_t k = 0; k < nelem; ++k)
        if (!fits(g_elements[k], e))
            raise_for_model(k, e);
}

// ---- InitElementModels ------------------------------------------------------------

void store_rhs_helper(int32_t nth) {
    capi::Ref np = lookup_global("np");
    capi::Ref zeros = capi::get_attr(np.get(), "zeros");
    capi::Ref shape = capi::Ref::steal(Py_BuildValue("(iN)", nth, lx_attr("TotalNodes").release()));
    capi::Ref kwargs = capi::Ref::steal(PyDict_New());
    capi::Ref float64 = capi::get_attr(np.get(), "float64");
    if (PyDict_SetItemString(kwargs.get(), "dtype", float64.get()) < 0)
        capi::raise_pending();
    capi::Ref args = capi::Ref::steal(PyTuple_Pack(1, shape.get()));
    capi::Ref helper = capi::Ref::steal(PyObject_Call(zeros.get(), args.get(), kwargs.get()));
    if (PyObject_SetAttrString(module_state().module, "RHSHelper", helper.get()) < 0)
        capi::raise_pending();
}

// Collects item k's `model` of the named list, looked up afresh for every item.
std::vector<PyObject*> collect_models(const char* list_name, int32_t count) {
    // Grown item by item: the count is not trusted to size anything.
    std::vector<PyObject*> models;
    try {
        for (int32_t k = 0; k < count; ++k) {
            capi::Ref list = lx_attr(list_name);
            capi::Ref element = capi::get_item_by_key(list.get(), k);
            capi::Ref model = capi::get_attr(element.get(), "model");
            if (!PyObject_TypeCheck(model.get(), element_model_type()))
                capi::raise_format(PyExc_TypeError,
                                   "lxglobals.%s[%d].model is not an element model (got %.200s)",
                                   list_name, k, Py_TYPE(model.get())->tp_name);
            models.push_back(model.release());
        }
    } catch (...) {
        for (PyObject* model : models)
            Py_DECREF(model);
        throw;
    }
    return models;
}

PyObject* init_element_models(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return capi::boundary_none("loxant.CircuitKernel.InitElementModels", kFile, [&] {
        capi::parse_none("InitElementModels", args, nargs, kwnames);
        int32_t nsource = count_of("TotalSourceElements");
        int32_t nelem = count_of("TotalElements");
        int32_t nth = nthreads();
        store_rhs_helper(nth);
        // Installed only once both are complete, so a failure leaves both
        // previous tables.
        std::vector<PyObject*> sources = collect_models("SourceElementList", nsource);
        std::vector<PyObject*> elements;
        try {
            elements = collect_models("ElementList", nelem);
        } catch (...) {
            ModelTable::release(std::move(sources));
            throw;
        }
        std::vector<PyObject*> old_sources = g_sources.exchange(std::move(sources));
        std::vector<PyObject*> old_elements = g_elements.exchange(std::move(elements));
        ModelTable::release(std::move(old_sources));
        ModelTable::release(std::move(old_elements));
    });
}

// ---- BuildStaticMatrix ---------------------------------------------------------------

void refresh_parameters() {
    bool sources_only = false;
    if (capi::truth(lx_attr("OptimizeSimulation").get())) {
        capi::Ref now = lx_attr("CurrentTime");
        capi::Ref ramp = sp_attr("INITIAL_RAMP");
        capi::Ref later = capi::Ref::steal(PyObject_RichCompare(now.get(), ramp.get(), Py_GT));
        sources_only = capi::truth(later.get());
    }
    capi::Ref list = lx_attr(sources_only ? "SourceElementList" : "ElementList");
    capi::Ref iterator = capi::Ref::steal(PyObject_GetIter(list.get()));
    while (capi::Ref element = capi::Ref::steal_or_null(PyIter_Next(iterator.get())))
        capi::call_method(element.get(), "UpdateParameters");
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration))
            capi::raise_pending();
        PyErr_Clear();
    }
}

PyObject* build_static_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return capi::boundary_none("loxant.CircuitKernel.BuildStaticMatrix", kFile, [&] {
        PyObject* a0 = capi::parse_one("BuildStaticMatrix", args, nargs, kwnames);
        KernelView view = argument_view(a0, "A0");
        int32_t nelem = count_of("TotalElements");
        first_item("InterpCoeffDt");
        first_item("InterpCoeffDDt");
        nthreads();
        refresh_parameters();
        view.renew(); // the elements' UpdateParameters() may have moved A0
        Extents extents;
        extents.positions[kA0] = view.get().size();
        check_table(nelem, extents);
        const DoubleArray a = view.get().strided();
        for (int32_t k = 0; k < nelem; ++k)
            g_elements[k]->ops->admitance0(g_elements[k], a);
    });
}

// ---- BuildMatrix and UpdateMatrix ---------------------------------------------------

// The arguments' views are taken; a1 is empty for UpdateMatrix.
void assemble(KernelView& a1, KernelView& a2, KernelView& b) {
    StateVectors state = read_state(true);
    int32_t nelem = count_of("TotalElements");
    nthreads();
    StepContext ctx = step_values();
    // No Python code runs from here on.
    for (KernelView* v : {&a1, &a2, &b})
        v->renew();
    state.renew();
    point_at(ctx, state);
    Extents extents;
    extents.unknowns = std::min(state.shortest(), b.get().size());
    if (a1.held())
        extents.positions[kA1] = a1.get().size();
    extents.positions[kA2] = a2.get().size();
    check_table(nelem, extents);
    const DoubleArray va2 = a2.get().strided(), vb = b.get().strided();
    if (a1.held()) {
        const DoubleArray va1 = a1.get().strided();
        for (int32_t k = 0; k < nelem; ++k) {
            ElementModelObject* m = g_elements[k];
            m->ops->admitance1(m, va1, ctx);
            m->ops->admitance2(m, va2, ctx);
            m->ops->rhs_current(m, vb, ctx);
        }
    } else {
        for (int32_t k = 0; k < nelem; ++k) {
            ElementModelObject* m = g_elements[k];
            m->ops->admitance2(m, va2, ctx);
            m->ops->rhs_current(m, vb, ctx);
        }
    }
}

PyObject* build_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return capi::boundary_none("loxant.CircuitKernel.BuildMatrix", kFile, [&] {
        static const char* const names[] = {"A1", "A2", "B"};
        static const capi::Signature sig{"BuildMatrix", names, 3, 3};
        PyObject* given[3];
        capi::parse_args(sig, args, nargs, kwnames, given);
        KernelView a1 = argument_view(given[0], "A1");
        KernelView a2 = argument_view(given[1], "A2");
        KernelView b = argument_view(given[2], "B");
        assemble(a1, a2, b);
    });
}

PyObject* update_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return capi::boundary_none("loxant.CircuitKernel.UpdateMatrix", kFile, [&] {
        static const char* const names[] = {"A2", "B"};
        static const capi::Signature sig{"UpdateMatrix", names, 2, 2};
        PyObject* given[2];
        capi::parse_args(sig, args, nargs, kwnames, given);
        KernelView none;
        KernelView a2 = argument_view(given[0], "A2");
        KernelView b = argument_view(given[1], "B");
        assemble(none, a2, b);
    });
}

// ---- UpdateRHS and UpdateValues ---------------------------------------------------------

PyObject* update_rhs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return capi::boundary_none("loxant.CircuitKernel.UpdateRHS", kFile, [&] {
        PyObject* b_arg = capi::parse_one("UpdateRHS", args, nargs, kwnames);
        KernelView b = argument_view(b_arg, "B");
        StateVectors state = read_state(false);
        capi::Ref helper = lookup_global("RHSHelper");
        if (helper.get() != Py_None) {
            capi::check_value_type(helper.get(), module_state().ndarray);
            capi::BufferView<double, 2> checked(helper.get(), "FLOAT_t", capi::Access::read);
        }
        int32_t nelem = count_of("TotalElements");
        nthreads();
        StepContext ctx = step_values();
        // No Python code runs from here on.
        b.renew();
        state.renew();
        point_at(ctx, state);
        Extents extents;
        extents.unknowns = std::min(state.shortest(), b.get().size());
        check_table(nelem, extents);
        const DoubleArray vb = b.get().strided();
        for (int32_t k = 0; k < nelem; ++k)
            g_elements[k]->ops->rhs_current(g_elements[k], vb, ctx);
    });
}

PyObject* update_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return capi::boundary_none("loxant.CircuitKernel.UpdateValues", kFile, [&] {
        capi::parse_none("UpdateValues", args, nargs, kwnames);
        int32_t nelem = count_of("TotalElements");
        nthreads();
        StepContext ctx{};
        ctx.smooth_factor = sp_double("InitialSmoothFactor");
        ctx.time_step = first_item("TimeSteps");
        ctx.phase_hysteresis = sp_double("PHASE_HISTERESIS");
        Extents extents;
        extents.values = true;
        check_table(nelem, extents);
        for (int32_t k = 0; k < nelem; ++k)
            g_elements[k]->ops->values(g_elements[k], ctx);
    });
}

template <class F> PyCFunction as_cfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef kKernelMethods[] = {
    {"InitElementModels", as_cfunction(init_element_models), METH_FASTCALL | METH_KEYWORDS,
     "Collect the models of lxglobals.ElementList into the kernels' table and allocate "
     "RHSHelper."},
    {"BuildStaticMatrix", as_cfunction(build_static_matrix), METH_FASTCALL | METH_KEYWORDS,
     "Refresh element parameters, then add every element's time-invariant terms to A0."},
    {"BuildMatrix", as_cfunction(build_matrix), METH_FASTCALL | METH_KEYWORDS,
     "Add step-dependent terms to A1, phase-dependent terms to A2 and currents to B."},
    {"UpdateMatrix", as_cfunction(update_matrix), METH_FASTCALL | METH_KEYWORDS,
     "Add phase-dependent terms to A2 and currents to B."},
    {"UpdateRHS", as_cfunction(update_rhs), METH_FASTCALL | METH_KEYWORDS,
     "Add the element currents to the right-hand side B."},
    {"UpdateValues", as_cfunction(update_values), METH_FASTCALL | METH_KEYWORDS,
     "Write every element's phase, voltage, current and turn count into lxglobals."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

PyMethodDef* kernel_method_defs() {
    return kKernelMethods;
}

} // namespace loxant
