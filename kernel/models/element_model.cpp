// ElementModel and the machinery every model class shares: allocation with the
// class's operation table, constructor arguments, InitModel's array binding,
// SetParameters item access and pickling.
#include "kernel/models/element_model.hpp"

#include "capi/args.hpp"
#include "capi/convert.hpp"
#include "capi/errors.hpp"
#include "kernel/module_state.hpp"

#include <structmember.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarraytypes.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <utility>

namespace loxant {

namespace {

constexpr const char* kFile = "kernel/models/element_model.cpp";
constexpr long kLayoutChecksum = 0xd41d8cd;

const ElementOps kNoOps = {no_admitance0, no_admitance, no_admitance, no_admitance, no_values};

struct ArrayInfo {
    const char* attribute; // on lxglobals
    const char* field;     // pointer field named in messages
    bool per_unknown;      // indexed by unknown - 1, else by eindex
};

const std::array<ArrayInfo, kSharedArrayCount> kArrayInfo = {{
    {"NodePhase", "node_phases", true},
    {"NodeVoltage", "node_voltages", true},
    {"NodeDVoltage", "node_dvoltages", true},
    {"ElementPhase", "elem_phases", false},
    {"ElementVoltage", "elem_voltages", false},
    {"ElementCurrent", "elem_currents", false},
    {"ElementN", "elem_n", false},
    {"ElementInc", "elem_inc", false},
    {"ElementDec", "elem_dec", false},
}};

// A registered class with everything its type object points to, kept for the
// life of the process.
struct RegisteredClass {
    const ModelClass* cls;
    PyTypeObject* type = nullptr;
    std::string type_name;
    std::string pickle_message;
    std::vector<const char*> init_names;
    std::vector<const char*> position_names;
    std::vector<PyMemberDef> members;
    std::vector<PyMethodDef> methods;
    std::vector<PyGetSetDef> getset;
};

std::vector<const ModelClass*>& pending_classes() {
    static std::vector<const ModelClass*> classes;
    return classes;
}

std::vector<std::unique_ptr<RegisteredClass>>& registered() {
    static std::vector<std::unique_ptr<RegisteredClass>> classes;
    return classes;
}

PyTypeObject* g_element_model = nullptr;

// A subtype made by make_element_subtype.
struct ExtraType {
    PyTypeObject* type;
    const ElementOps* ops;
    void (*release)(ElementModelObject* self);
};

std::vector<ExtraType>& extra_types() {
    static std::vector<ExtraType> types;
    return types;
}

const ExtraType* extra_type_of(PyTypeObject* type) {
    for (; type != nullptr; type = type->tp_base)
        for (const ExtraType& extra : extra_types())
            if (extra.type == type)
                return &extra;
    return nullptr;
}

const RegisteredClass* registration_of(PyTypeObject* type) {
    for (; type != nullptr; type = type->tp_base)
        for (const auto& reg : registered())
            if (reg->type == type)
                return reg.get();
    return nullptr;
}

const RegisteredClass& registration_of_instance(PyObject* self) {
    return *registration_of(Py_TYPE(self));
}

int32_t& int_field(ElementModelObject* self, size_t offset) {
    return *reinterpret_cast<int32_t*>(reinterpret_cast<char*>(self) + offset);
}

void update_reach(ElementModelObject* self, const ModelClass& cls) {
    Reach reach{0, -1, -1, false, !cls.arrays.empty()};
    std::vector<int32_t> unknowns;
    for (const TerminalField& f : cls.terminals) {
        int32_t value = int_field(self, f.offset);
        unknowns.push_back(value);
        reach.malformed |= value < 0 || (f.branch && value == 0);
        reach.max_unknown = std::max(reach.max_unknown, value);
    }
    reach.eindex = int_field(self, cls.eindex_offset);
    reach.malformed |= reach.eindex < 0;
    for (const PositionField& f : cls.positions) {
        if (f.row < 0 || unknowns[f.row] == 0 || unknowns[f.col] == 0)
            continue;
        int32_t position = int_field(self, f.offset);
        reach.malformed |= position < 0;
        reach.max_position = std::max(reach.max_position, position);
    }
    self->book->reach = reach;
    touch_models();
}

// ---- allocation --------------------------------------------------------------

// The latest binding of each array set, so that the next model binding the
// same arrays shares it.  Not an owner: a binding goes with its last model.
ArrayBinding* g_latest_binding[1u << kSharedArrayCount];

void release_binding(const ArrayBinding* held) {
    auto* binding = const_cast<ArrayBinding*>(held);
    if (!binding->bound || --binding->users > 0)
        return;
    if (g_latest_binding[binding->mask] == binding)
        g_latest_binding[binding->mask] = nullptr;
    // Dropping an array can run Python code, so the binding is gone first.
    std::array<PyObject*, kSharedArrayCount> refs;
    std::copy(std::begin(binding->refs), std::end(binding->refs), refs.begin());
    PyMem_Free(binding);
    for (PyObject* ref : refs)
        Py_XDECREF(ref);
}

PyObject* model_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* obj = type->tp_alloc(type, 0); // zero-filled
    if (obj == nullptr)
        return nullptr;
    auto* self = reinterpret_cast<ElementModelObject*>(obj);
    self->book = static_cast<ModelBookkeeping*>(PyMem_Calloc(1, sizeof(ModelBookkeeping)));
    if (self->book == nullptr) {
        Py_DECREF(obj);
        return PyErr_NoMemory();
    }
    const RegisteredClass* reg = registration_of(type);
    const ExtraType* extra = reg == nullptr ? extra_type_of(type) : nullptr;
    self->ops = reg != nullptr ? reg->cls->ops : extra != nullptr ? extra->ops : &kNoOps;
    // A subtype outside the registered classes writes the arrays it binds.
    self->book->binding = unbound();
    self->book->reach = Reach{0, -1, -1, false, extra != nullptr};
    if (reg != nullptr)
        update_reach(self, *reg->cls);
    return obj;
}

void release_bound_arrays(ElementModelObject* self) {
    if (self->book == nullptr)
        return;
    release_binding(std::exchange(self->book->binding, unbound()));
}

void model_dealloc(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    auto* self = reinterpret_cast<ElementModelObject*>(obj);
    const RegisteredClass* reg = registration_of(type);
    if (reg != nullptr && reg->cls->release != nullptr)
        reg->cls->release(self);
    const ExtraType* extra = reg == nullptr ? extra_type_of(type) : nullptr;
    if (extra != nullptr && extra->release != nullptr)
        extra->release(self);
    release_bound_arrays(self);
    PyMem_Free(self->book);
    type->tp_free(obj);
    Py_DECREF(type);
}

// ---- ElementModel ----------------------------------------------------------------

int element_model_init(PyObject*, PyObject* args, PyObject* kwargs) {
    return capi::boundary_int("loxant.CircuitKernel.ElementModel.__init__", kFile, [&] {
        static const capi::Signature sig{"__init__", nullptr, 0, 0};
        capi::parse_args(sig, args, kwargs, nullptr);
    });
}

// The instance __dict__, or null when there is none.  Only AttributeError
// means "none": any other error of the lookup propagates.
capi::Ref instance_dict(PyObject* self) {
    capi::Ref dict = capi::Ref::steal_or_null(PyObject_GetAttrString(self, "__dict__"));
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            capi::raise_pending();
        PyErr_Clear();
    }
    return dict;
}

[[noreturn]] void raise_incompatible_checksum(PyObject* checksum) {
    capi::Ref pickle = capi::Ref::steal(PyImport_ImportModule("pickle"));
    capi::Ref error = capi::get_attr(pickle.get(), "PickleError");
    capi::Ref text = capi::Ref::steal(PyObject_Str(checksum));
    PyErr_Format(error.get(), "Incompatible checksums (%U vs 0xd41d8cd = ())", text.get());
    throw capi::PythonError{};
}

PyObject* element_model_reduce(PyObject* self, PyObject*) {
    return capi::boundary("loxant.CircuitKernel.ElementModel.__reduce__", kFile, [&] {
        capi::Ref checksum = capi::Ref::steal(PyLong_FromLong(kLayoutChecksum));
        capi::Ref dict = instance_dict(self);
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
        capi::Ref function_ref = lookup_global("_unpickle_ElementModel");
        PyObject* function = function_ref.get();
        if (dict && dict.get() != Py_None)
            return capi::Ref::steal(
                Py_BuildValue("O(OOO)(O)", function, type, checksum.get(), Py_None, dict.get()));
        return capi::Ref::steal(Py_BuildValue("O(OO())", function, type, checksum.get()));
    });
}

// Restores a pickled state: a tuple (or None) whose first item, if any,
// updates the instance __dict__.
void set_state(PyObject* self, PyObject* state) {
    if (state != Py_None && !PyTuple_Check(state))
        capi::raise_format(PyExc_TypeError, "Expected %.16s, got %.200s", "tuple",
                           Py_TYPE(state)->tp_name);
    if (state == Py_None || PyTuple_GET_SIZE(state) == 0)
        return;
    capi::Ref dict = instance_dict(self);
    if (!dict)
        return;
    capi::Ref update = capi::get_attr(dict.get(), "update");
    capi::Ref done = capi::Ref::steal(
        PyObject_CallFunctionObjArgs(update.get(), PyTuple_GET_ITEM(state, 0), nullptr));
}

PyObject* element_model_setstate(PyObject* self, PyObject* state) {
    return capi::boundary_none("loxant.CircuitKernel.ElementModel.__setstate__", kFile,
                               [&] { set_state(self, state); });
}

PyObject* unpickle(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return capi::boundary("loxant.CircuitKernel._unpickle_ElementModel", kFile, [&] {
        static const char* const names[] = {"type", "checksum", "state"};
        static const capi::Signature sig{"_unpickle_ElementModel", names, 3, 3};
        PyObject* given[3];
        capi::parse_args(sig, args, nargs, kwnames, given);
        capi::Ref expected = capi::Ref::steal(PyLong_FromLong(kLayoutChecksum));
        int same = PyObject_RichCompareBool(given[1], expected.get(), Py_EQ);
        if (same < 0)
            capi::raise_pending();
        if (!same)
            raise_incompatible_checksum(given[1]);
        capi::Ref obj = capi::Ref::steal(PyObject_CallMethod(
            reinterpret_cast<PyObject*>(g_element_model), "__new__", "O", given[0]));
        if (given[2] != Py_None)
            set_state(obj.get(), given[2]);
        return obj;
    });
}

PyMethodDef kElementModelMethods[] = {
    {"__reduce__", element_model_reduce, METH_NOARGS, nullptr},
    {"__setstate__", element_model_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- concrete classes: constructor ----------------------------------------------

int model_init(PyObject* obj, PyObject* args, PyObject* kwargs) {
    const RegisteredClass& reg = registration_of_instance(obj);
    return capi::boundary_int(qualified(reg.cls->name, "__init__"), kFile, [&] {
        const ModelClass& cls = *reg.cls;
        const Py_ssize_t n = static_cast<Py_ssize_t>(reg.init_names.size());
        capi::Signature sig{"__init__", reg.init_names.data(), n, n};
        std::vector<PyObject*> given(n);
        capi::parse_args(sig, args, kwargs, given.data());
        std::vector<int32_t> values(n);
        for (Py_ssize_t k = 0; k < n; ++k)
            values[k] = capi::to_int32(given[k]);
        auto* self = reinterpret_cast<ElementModelObject*>(obj);
        for (size_t k = 0; k < cls.terminals.size(); ++k)
            int_field(self, cls.terminals[k].offset) = values[k];
        int_field(self, cls.eindex_offset) = values.back();
        cls.set_defaults(self);
        update_reach(self, cls);
    });
}

// ---- InitModel ----------------------------------------------------------------

// One lxglobals array fetched and validated, not yet stored in the model.
struct FetchedArray {
    capi::Ref array;
    void* data = nullptr;
    Py_ssize_t length = 0;
};

void** pointer_slot(SharedPointers& p, SharedArray which) noexcept {
    void** const slots[kSharedArrayCount] = {
        reinterpret_cast<void**>(&p.node_phases),    reinterpret_cast<void**>(&p.node_voltages),
        reinterpret_cast<void**>(&p.node_dvoltages), reinterpret_cast<void**>(&p.elem_phases),
        reinterpret_cast<void**>(&p.elem_voltages),  reinterpret_cast<void**>(&p.elem_currents),
        reinterpret_cast<void**>(&p.elem_n),         reinterpret_cast<void**>(&p.elem_inc),
        reinterpret_cast<void**>(&p.elem_dec)};
    return slots[which];
}

bool binds_fetched(const ArrayBinding& b, const std::array<FetchedArray, kSharedArrayCount>& f,
                   unsigned mask) noexcept {
    if (b.mask != mask)
        return false;
    for (int k = 0; k < kSharedArrayCount; ++k)
        if ((mask >> k & 1u) && (b.refs[k] != f[k].array.get() || b.data[k] != f[k].data ||
                                 b.lengths[k] != f[k].length))
            return false;
    return true;
}

// A binding of the fetched arrays `which`: the latest one of that set when it
// holds the same arrays at the same place and length, else a new one, which
// takes the fetched references.
const ArrayBinding* share_binding(std::array<FetchedArray, kSharedArrayCount>& fetched,
                                  const std::vector<SharedArray>& which, Py_ssize_t unknowns,
                                  Py_ssize_t elements) {
    unsigned mask = 0;
    for (SharedArray k : which)
        mask |= 1u << k;
    ArrayBinding*& latest = g_latest_binding[mask];
    if (latest != nullptr && binds_fetched(*latest, fetched, mask)) {
        ++latest->users;
        return latest;
    }
    auto* b = static_cast<ArrayBinding*>(PyMem_Calloc(1, sizeof(ArrayBinding)));
    if (b == nullptr)
        throw std::bad_alloc();
    b->unknowns = unknowns;
    b->elements = elements;
    b->mask = mask;
    b->bound = true;
    b->users = 1;
    for (SharedArray k : which) {
        *pointer_slot(b->arrays, k) = fetched[k].data;
        b->data[k] = fetched[k].data;
        b->lengths[k] = fetched[k].length;
        b->refs[k] = fetched[k].array.release();
    }
    latest = b;
    return b;
}

template <class T> FetchedArray fetch_typed(PyObject* array, const char* type_name) {
    capi::BufferView<T, 1> view(array, type_name, capi::Access::write_contiguous);
    return FetchedArray{capi::Ref::borrow(array), view.data(), view.size()};
}

FetchedArray fetch_array(PyObject* lxglobals, SharedArray which) {
    capi::Ref array = capi::get_attr(lxglobals, kArrayInfo[which].attribute);
    capi::check_value_type(array.get(), module_state().ndarray);
    switch (which) {
    case ElementN:
        return fetch_typed<int32_t>(array.get(), "INT_t");
    case ElementInc:
    case ElementDec:
        return fetch_typed<uint8_t>(array.get(), "UINT8_t");
    default:
        return fetch_typed<double>(array.get(), "FLOAT_t");
    }
}

void check_fits(const ElementModelObject* self, const ModelClass& cls, SharedArray which,
                Py_ssize_t length) {
    const ArrayInfo& info = kArrayInfo[which];
    const Reach& reach = self->book->reach;
    if (reach.malformed)
        capi::raise_format(PyExc_IndexError,
                           "%s has a negative unknown, position or eindex, or a branch "
                           "unknown 0",
                           cls.name);
    if (info.per_unknown && reach.max_unknown > length)
        capi::raise_format(PyExc_IndexError,
                           "%s uses unknown %d but lxglobals.%s has only %zd entries", cls.name,
                           reach.max_unknown, info.attribute, length);
    if (!info.per_unknown && reach.eindex >= length)
        capi::raise_format(PyExc_IndexError,
                           "%s has eindex %d but lxglobals.%s has only %zd entries", cls.name,
                           reach.eindex, info.attribute, length);
}

void store_positions(ElementModelObject* self, const RegisteredClass& reg, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
    const ModelClass& cls = *reg.cls;
    const Py_ssize_t n = static_cast<Py_ssize_t>(reg.position_names.size());
    capi::Signature sig{"InitModel", reg.position_names.data(), n, n};
    std::vector<PyObject*> given(n);
    capi::parse_args(sig, args, nargs, kwnames, given.data());
    // Each position is stored as soon as it converts.
    for (Py_ssize_t k = 0; k < n; ++k) {
        int32_t value = capi::to_int32(given[k]);
        int_field(self, cls.positions[k].offset) = value;
        update_reach(self, cls);
    }
}

template <class Check>
void bind_checked(ElementModelObject* self, const std::vector<SharedArray>& arrays,
                  const Check& check) {
    std::array<FetchedArray, kSharedArrayCount> fetched;
    capi::Ref lxglobals_ref = lookup_global("lxglobals");
    PyObject* lxglobals = lxglobals_ref.get();
    Py_ssize_t unknowns = PY_SSIZE_T_MAX, elements = PY_SSIZE_T_MAX;
    for (SharedArray which : arrays) {
        fetched[which] = fetch_array(lxglobals, which);
        check(which, fetched[which].length);
        Py_ssize_t& shortest = kArrayInfo[which].per_unknown ? unknowns : elements;
        shortest = std::min(shortest, fetched[which].length);
    }
    // All arrays passed: the model takes them in one go.
    const ArrayBinding* old =
        std::exchange(self->book->binding, share_binding(fetched, arrays, unknowns, elements));
    touch_models();
    // The arrays bound before are released last, when dropping one can run
    // Python code that finds this model bound to the new ones.
    release_binding(old);
}

void bind_arrays(ElementModelObject* self, const ModelClass& cls) {
    bind_checked(self, cls.arrays, [&](SharedArray which, Py_ssize_t length) {
        check_fits(self, cls, which, length);
    });
}

PyObject* init_model(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const RegisteredClass& reg = registration_of_instance(obj);
    return capi::boundary_none(qualified(reg.cls->name, "InitModel"), kFile, [&] {
        auto* self = reinterpret_cast<ElementModelObject*>(obj);
        store_positions(self, reg, args, nargs, kwnames);
        bind_arrays(self, *reg.cls);
    });
}

// ---- SetParameters and pickling refusal -------------------------------------------

PyObject* set_parameters(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    const RegisteredClass& reg = registration_of_instance(obj);
    return capi::boundary_none(qualified(reg.cls->name, "SetParameters"), kFile, [&] {
        PyObject* params = capi::parse_one("SetParameters", args, nargs, kwnames);
        reg.cls->set_parameters(reinterpret_cast<ElementModelObject*>(obj), Params(params));
    });
}

PyObject* refuse_pickling(PyObject* obj, const char* method) {
    const RegisteredClass& reg = registration_of_instance(obj);
    return capi::boundary_none(qualified(reg.cls->name, method), kFile,
                               [&] { capi::raise(PyExc_TypeError, reg.pickle_message.c_str()); });
}

PyObject* model_reduce(PyObject* obj, PyObject*) {
    return refuse_pickling(obj, "__reduce__");
}
PyObject* model_setstate(PyObject* obj, PyObject*) {
    return refuse_pickling(obj, "__setstate__");
}

// ---- registration ----------------------------------------------------------------

std::string pickle_message(const std::vector<SharedArray>& arrays) {
    std::vector<std::string> fields;
    for (SharedArray which : arrays)
        if (which != ElementInc && which != ElementDec)
            fields.push_back(std::string("self.") + kArrayInfo[which].field);
    std::sort(fields.begin(), fields.end());
    std::string message;
    for (const std::string& f : fields)
        message += (message.empty() ? "" : ",") + f;
    return message + " cannot be converted to a Python object for pickling";
}

void describe(RegisteredClass& reg) {
    const ModelClass& cls = *reg.cls;
    reg.type_name = std::string("loxant.CircuitKernel.") + cls.name;
    reg.pickle_message = pickle_message(cls.arrays);
    for (const TerminalField& f : cls.terminals) {
        reg.init_names.push_back(f.name);
        reg.members.push_back(
            {f.name, T_INT, static_cast<Py_ssize_t>(f.offset), READONLY, nullptr});
    }
    reg.init_names.push_back("eindex");
    reg.members.push_back(
        {"eindex", T_INT, static_cast<Py_ssize_t>(cls.eindex_offset), READONLY, nullptr});
    for (const PositionField& f : cls.positions) {
        reg.position_names.push_back(f.name);
        reg.members.push_back(
            {f.name, T_INT, static_cast<Py_ssize_t>(f.offset), READONLY, nullptr});
    }
    for (const DoubleField& f : cls.parameters)
        reg.members.push_back(
            {f.name, T_DOUBLE, static_cast<Py_ssize_t>(f.offset), READONLY, nullptr});
    reg.members.push_back({nullptr, 0, 0, 0, nullptr});
    reg.methods = {
        {"InitModel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(init_model)),
         METH_FASTCALL | METH_KEYWORDS,
         "Store the matrix positions and bind the lxglobals arrays."},
        {"SetParameters",
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_parameters)),
         METH_FASTCALL | METH_KEYWORDS, "Set the parameters from a sequence."},
        {"__reduce__", model_reduce, METH_NOARGS, nullptr},
        {"__setstate__", model_setstate, METH_O, nullptr},
    };
    reg.methods.insert(reg.methods.end(), cls.extra_methods.begin(), cls.extra_methods.end());
    reg.methods.push_back({nullptr, nullptr, 0, nullptr});
    reg.getset = cls.extra_getset;
    reg.getset.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
}

PyTypeObject* make_type(const char* name, size_t basicsize, std::vector<PyType_Slot> slots,
                        PyObject* bases) {
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(model_new)});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(model_dealloc)});
    slots.push_back({0, nullptr});
    PyType_Spec type_spec{name, static_cast<int>(basicsize), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots.data()};
    PyObject* type = PyType_FromSpecWithBases(&type_spec, bases);
    if (type == nullptr)
        capi::raise_pending();
    return reinterpret_cast<PyTypeObject*>(type);
}

void add_type(PyObject* module, const char* name, PyTypeObject* type) {
    Py_INCREF(type);
    if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
        Py_DECREF(type);
        capi::raise_pending();
    }
}

void add_element_model(PyObject* module) {
    static const char* doc = "Base of every element model: five native operations that do nothing.";
    g_element_model = make_type("loxant.CircuitKernel.ElementModel", sizeof(ElementModelObject),
                                {{Py_tp_init, reinterpret_cast<void*>(element_model_init)},
                                 {Py_tp_methods, kElementModelMethods},
                                 {Py_tp_doc, const_cast<char*>(doc)}},
                                nullptr);
    add_type(module, "ElementModel", g_element_model);
}

void add_model_class(PyObject* module, RegisteredClass& reg) {
    describe(reg);
    capi::Ref bases = capi::Ref::steal(PyTuple_Pack(1, g_element_model));
    reg.type = make_type(reg.type_name.c_str(), reg.cls->basicsize,
                         {{Py_tp_init, reinterpret_cast<void*>(model_init)},
                          {Py_tp_methods, reg.methods.data()},
                          {Py_tp_members, reg.members.data()},
                          {Py_tp_getset, reg.getset.data()},
                          {Py_tp_doc, const_cast<char*>(reg.cls->doc)}},
                         bases.get());
    // The parameter table, for a test to hold the Python declarations to it.
    capi::Ref names =
        capi::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(reg.cls->parameters.size())));
    if (!names)
        capi::raise_pending();
    for (size_t k = 0; k < reg.cls->parameters.size(); ++k) {
        PyObject* name = PyUnicode_FromString(reg.cls->parameters[k].name);
        if (name == nullptr)
            capi::raise_pending();
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), name);
    }
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(reg.type), "parameter_names",
                               names.get()) < 0)
        capi::raise_pending();
    add_type(module, reg.cls->name, reg.type);
}

// Classes appear in the module in this order, whatever order their files
// registered in.
const char* const kClassOrder[] = {
    "InductorModel",      "InductorImpedanceModel", "ResistorModel",      "CapacitorModel",
    "CurrentSourceModel", "PhaseSourceModel",       "VoltageSourceModel", "JunctionModel",
    "JunctionRSJNModel",  "JunctionRSJPHModel",     "JunctionTJMModel",   "MutualInductanceModel",
};

int class_rank(const ModelClass* cls) {
    for (size_t k = 0; k < std::size(kClassOrder); ++k)
        if (std::strcmp(kClassOrder[k], cls->name) == 0)
            return static_cast<int>(k);
    return static_cast<int>(std::size(kClassOrder));
}

} // namespace

PyTypeObject* make_element_subtype(const char* name, size_t basicsize, const ElementOps* ops,
                                   void (*release)(ElementModelObject* self),
                                   std::vector<PyType_Slot> slots) {
    capi::Ref bases = capi::Ref::steal(PyTuple_Pack(1, g_element_model));
    PyTypeObject* type = make_type(name, basicsize, std::move(slots), bases.get());
    extra_types().push_back({type, ops, release});
    return type;
}

void add_type_to_module(PyObject* module, const char* name, PyTypeObject* type) {
    add_type(module, name, type);
}

const char* shared_array_attribute(SharedArray which) {
    return kArrayInfo[which].attribute;
}

bool shared_array_per_unknown(SharedArray which) {
    return kArrayInfo[which].per_unknown;
}

void bind_shared_arrays(ElementModelObject* self, const std::vector<SharedArray>& which,
                        void (*check)(const ElementModelObject* self, SharedArray which,
                                      Py_ssize_t length)) {
    bind_checked(self, which,
                 [&](SharedArray array, Py_ssize_t length) { check(self, array, length); });
}

std::string pickle_refusal(const std::vector<SharedArray>& arrays) {
    return pickle_message(arrays);
}

capi::Ref Params::item(Py_ssize_t k) const {
    if (PyList_Check(sequence_)) {
        if (k >= PyList_GET_SIZE(sequence_))
            capi::raise(PyExc_IndexError, "list index out of range");
        return capi::Ref::borrow(PyList_GET_ITEM(sequence_, k));
    }
    if (PyTuple_Check(sequence_)) {
        if (k >= PyTuple_GET_SIZE(sequence_))
            capi::raise(PyExc_IndexError, "tuple index out of range");
        return capi::Ref::borrow(PyTuple_GET_ITEM(sequence_, k));
    }
    return capi::get_item_by_key(sequence_, k);
}

double Params::real(Py_ssize_t k) const {
    return capi::to_double(item(k).get());
}

bool register_model_class(const ModelClass* cls) {
    pending_classes().push_back(cls);
    return true;
}

void add_model_classes(PyObject* module) {
    add_element_model(module);
    std::vector<const ModelClass*> classes = pending_classes();
    std::stable_sort(classes.begin(), classes.end(), [](const ModelClass* a, const ModelClass* b) {
        return class_rank(a) < class_rank(b);
    });
    for (const ModelClass* cls : classes) {
        registered().push_back(std::make_unique<RegisteredClass>());
        registered().back()->cls = cls;
        add_model_class(module, *registered().back());
    }
}

PyTypeObject* element_model_type() {
    return g_element_model;
}

namespace {
uint64_t g_generation = 1;
}
uint64_t model_generation() {
    return g_generation;
}
void touch_models() {
    ++g_generation;
}

PyMethodDef* unpickle_method_def() {
    static PyMethodDef def = {"_unpickle_ElementModel",
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unpickle)),
                              METH_FASTCALL | METH_KEYWORDS,
                              "Rebuild a pickled ElementModel (type, checksum, state)."};
    return &def;
}

const ModelClass* class_of(PyObject* model) {
    const RegisteredClass* reg = registration_of(Py_TYPE(model));
    return reg != nullptr ? reg->cls : nullptr;
}

const char* short_type_name(PyObject* obj) {
    const char* name = Py_TYPE(obj)->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot != nullptr ? dot + 1 : name;
}

// Read from the array's own fields, calling nothing of Python: InitModel
// checked that it is an ndarray.
bool BoundArray::current() const noexcept {
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    return PyArray_NDIM(a) == 1 && PyArray_DATA(a) == data && PyArray_DIMS(a)[0] == length;
}

const ArrayBinding* unbound() noexcept {
    static const ArrayBinding none{};
    return &none;
}

std::vector<BoundArray> bindings_of(const ElementModelObject* model) {
    std::vector<BoundArray> bindings;
    const ArrayBinding& b = *model->book->binding;
    for (int k = 0; k < kSharedArrayCount; ++k)
        if (b.refs[k] != nullptr)
            bindings.push_back({b.refs[k], b.data[k], b.lengths[k]});
    return bindings;
}

bool bindings_current(const ElementModelObject* model) noexcept {
    const ArrayBinding& b = *model->book->binding;
    for (int k = 0; k < kSharedArrayCount; ++k)
        if (b.refs[k] != nullptr && !BoundArray{b.refs[k], b.data[k], b.lengths[k]}.current())
            return false;
    return true;
}

std::string qualified(const char* class_name, const char* method) {
    return std::string("loxant.CircuitKernel.") + class_name + "." + method;
}

} // namespace loxant
