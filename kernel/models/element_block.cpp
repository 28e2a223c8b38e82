// The block classes: construction from int32 arrays, SetParameters and
// InitModel from float64 and int32 arrays, each checked whole before anything
// is stored, and the summary of every element's reach that the kernels and the
// engine check.
#include "kernel/models/element_block.hpp"

#include "capi/args.hpp"
#include "capi/buffer.hpp"
#include "capi/errors.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace loxant {

namespace {

constexpr const char* kFile = "kernel/models/element_block.cpp";
constexpr int kPositions = 4; // ind_ii, ind_ij, ind_ji, ind_jj
const char* const kPositionNames[kPositions] = {"ind_ii", "ind_ij", "ind_ji", "ind_jj"};
// Bytes per element: the value, two terminals, the element index, four positions.
constexpr size_t kElementBytes = sizeof(double) + (3 + kPositions) * sizeof(int32_t);

using IntView = capi::BufferView<int32_t, 1>;
using RealView = capi::BufferView<double, 1>;

struct RegisteredKind {
    const BlockKind* kind;
    PyTypeObject* type = nullptr;
    std::string type_name;
    std::string pickle_message;
    std::vector<PyMethodDef> methods;
    std::vector<PyGetSetDef> getset;
};

std::vector<const BlockKind*>& pending_kinds() {
    static std::vector<const BlockKind*> kinds;
    return kinds;
}

std::vector<std::unique_ptr<RegisteredKind>>& registered_kinds() {
    static std::vector<std::unique_ptr<RegisteredKind>> kinds;
    return kinds;
}

// Only block types have the methods and slots that ask.
const RegisteredKind& kind_of(PyObject* self) {
    for (PyTypeObject* type = Py_TYPE(self); type != nullptr; type = type->tp_base)
        for (const auto& reg : registered_kinds())
            if (reg->type == type)
                return *reg;
    return *registered_kinds().front();
}

ElementBlockObject& block(PyObject* self) {
    return *reinterpret_cast<ElementBlockObject*>(self);
}

// A one-dimensional array of T given as `what`; refused with a message naming
// it where it exports no buffer.
template <class T>
capi::BufferView<T, 1> array_arg(const char* kind, const char* what, PyObject* obj,
                                 const char* type_name) {
    if (!PyObject_CheckBuffer(obj))
        capi::raise_format(PyExc_TypeError, "%s needs %s as an array of %s, not %.200s", kind, what,
                           type_name, Py_TYPE(obj)->tp_name);
    return capi::BufferView<T, 1>(obj, type_name, capi::Access::read);
}

// Whether position k of an element with terminals i and j is ever stamped.
bool stamped(int32_t i, int32_t j, int k) {
    const int32_t row = k < 2 ? i : j, col = k % 2 == 0 ? i : j;
    return row != 0 && col != 0;
}

// ---- construction -----------------------------------------------------------------

void release_storage(ElementModelObject* self) {
    auto& b = *reinterpret_cast<ElementBlockObject*>(self);
    PyMem_Free(b.storage);
    b.storage = nullptr;
    b.a = BlockArrays{0, nullptr, nullptr, nullptr, nullptr, nullptr};
}

void allocate(ElementBlockObject& b, Py_ssize_t n) {
    if (static_cast<size_t>(n) > PY_SSIZE_T_MAX / kElementBytes)
        throw std::bad_alloc();
    // One byte at least, so that an initialised block of no elements has storage.
    void* storage = PyMem_Malloc(std::max<size_t>(1, static_cast<size_t>(n) * kElementBytes));
    if (storage == nullptr)
        throw std::bad_alloc();
    b.storage = storage;
    auto* ints = reinterpret_cast<int32_t*>(static_cast<double*>(storage) + n);
    b.a = BlockArrays{n, static_cast<double*>(storage), ints, ints + n, ints + 2 * n, ints + 3 * n};
}

void check_not_negative(const char* name, const char* array, const IntView& view) {
    for (Py_ssize_t e = 0; e < view.size(); ++e)
        if (view.strided()[e] < 0)
            capi::raise_format(PyExc_ValueError, "%s element %zd has %s %d: must be >= 0", name, e,
                               array, view.strided()[e]);
}

// The reach of every element in one: highest unknown, position and element
// index, as a single model reports its own.
void summarise(ElementBlockObject& b) {
    Reach reach{0, -1, -1, false, true};
    const BlockArrays& a = b.a;
    b.where_unknown = b.where_eindex = 0;
    for (Py_ssize_t e = 0; e < a.count; ++e) {
        const int32_t high = std::max(a.i[e], a.j[e]);
        if (high > reach.max_unknown)
            reach.max_unknown = high, b.where_unknown = e;
        if (a.eindex[e] > reach.eindex)
            reach.eindex = a.eindex[e], b.where_eindex = e;
        for (int k = 0; k < kPositions; ++k)
            if (stamped(a.i[e], a.j[e], k))
                reach.max_position = std::max(reach.max_position, a.positions[kPositions * e + k]);
    }
    b.base.book->reach = reach;
    touch_models();
}

int block_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    const RegisteredKind& reg = kind_of(self);
    return capi::boundary_int(qualified(reg.kind->name, "__init__"), kFile, [&] {
        static const char* const names[] = {"i", "j", "eindex"};
        static const capi::Signature sig{"__init__", names, 3, 3};
        PyObject* given[3];
        capi::parse_args(sig, args, kwargs, given);
        ElementBlockObject& b = block(self);
        // Running loops hold the arrays: they are never reallocated.
        if (b.storage != nullptr)
            capi::raise_format(PyExc_RuntimeError,
                               "%s is initialised once: make a new block instead", reg.kind->name);
        const char* name = reg.kind->name;
        const IntView i = array_arg<int32_t>(name, "i", given[0], "int32");
        const IntView j = array_arg<int32_t>(name, "j", given[1], "int32");
        const IntView e = array_arg<int32_t>(name, "eindex", given[2], "int32");
        if (i.size() != j.size() || i.size() != e.size())
            capi::raise_format(PyExc_ValueError,
                               "%s needs i, j and eindex of one length (got %zd, %zd and %zd)",
                               reg.kind->name, i.size(), j.size(), e.size());
        check_not_negative(reg.kind->name, "unknown i", i);
        check_not_negative(reg.kind->name, "unknown j", j);
        check_not_negative(reg.kind->name, "eindex", e);
        const Py_ssize_t n = i.size();
        allocate(b, n);
        const double one = reg.kind->stored != nullptr ? reg.kind->stored(1.0, 0) : 1.0;
        for (Py_ssize_t k = 0; k < n; ++k) {
            b.a.i[k] = i.strided()[k];
            b.a.j[k] = j.strided()[k];
            b.a.eindex[k] = e.strided()[k];
            b.a.value[k] = one;
        }
        std::fill(b.a.positions, b.a.positions + kPositions * n, 0);
        summarise(b);
    });
}

Py_ssize_t block_length(PyObject* self) {
    return block(self).a.count;
}

// ---- SetParameters ------------------------------------------------------------------

PyObject* set_parameters(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    const RegisteredKind& reg = kind_of(self);
    return capi::boundary_none(qualified(reg.kind->name, "SetParameters"), kFile, [&] {
        PyObject* values = capi::parse_one("SetParameters", args, nargs, kwnames);
        const RealView view = array_arg<double>(reg.kind->name, "values", values, "float64");
        BlockArrays& a = block(self).a;
        if (view.size() != a.count)
            capi::raise_format(PyExc_ValueError, "%s of %zd elements got %zd parameters",
                               reg.kind->name, a.count, view.size());
        // all converted first: a bad value is refused before any is stored
        std::vector<double> stored(static_cast<size_t>(a.count));
        for (Py_ssize_t e = 0; e < a.count; ++e) {
            const double given = view.strided()[e];
            stored[static_cast<size_t>(e)] =
                reg.kind->stored != nullptr ? reg.kind->stored(given, e) : given;
        }
        std::copy(stored.begin(), stored.end(), a.value);
    });
}

// ---- InitModel ----------------------------------------------------------------------

// Refuses an element that does not fit a bound array, naming it.
void check_fits(const ElementModelObject* self, SharedArray which, Py_ssize_t length) {
    auto& b = *reinterpret_cast<ElementBlockObject*>(const_cast<ElementModelObject*>(self));
    const Reach& reach = self->book->reach;
    const char* name = short_type_name(reinterpret_cast<PyObject*>(&b.base));
    if (shared_array_per_unknown(which) && reach.max_unknown > length)
        capi::raise_format(PyExc_IndexError,
                           "%s element %zd uses unknown %d but lxglobals.%s has only %zd entries",
                           name, b.where_unknown, reach.max_unknown, shared_array_attribute(which),
                           length);
    if (!shared_array_per_unknown(which) && reach.eindex >= length)
        capi::raise_format(
            PyExc_IndexError, "%s element %zd has eindex %d but lxglobals.%s has only %zd entries",
            name, b.where_eindex, reach.eindex, shared_array_attribute(which), length);
}

// The positions given, checked: a stamped one may not be negative.
std::vector<int32_t> read_positions(const char* name, const BlockArrays& a, PyObject* given) {
    const IntView view = array_arg<int32_t>(name, "positions", given, "int32");
    if (view.size() != kPositions * a.count)
        capi::raise_format(PyExc_ValueError,
                           "%s of %zd elements needs %zd positions (4 per element), got %zd", name,
                           a.count, kPositions * a.count, view.size());
    std::vector<int32_t> positions(static_cast<size_t>(view.size()));
    for (Py_ssize_t e = 0; e < a.count; ++e)
        for (int k = 0; k < kPositions; ++k) {
            const int32_t p = view.strided()[kPositions * e + k];
            if (p < 0 && stamped(a.i[e], a.j[e], k))
                capi::raise_format(PyExc_ValueError, "%s element %zd has %s %d: must be >= 0", name,
                                   e, kPositionNames[k], p);
            positions[static_cast<size_t>(kPositions * e + k)] = p;
        }
    return positions;
}

PyObject* init_model(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const RegisteredKind& reg = kind_of(self);
    return capi::boundary_none(qualified(reg.kind->name, "InitModel"), kFile, [&] {
        PyObject* given = capi::parse_one("InitModel", args, nargs, kwnames);
        ElementBlockObject& b = block(self);
        std::vector<int32_t> positions = read_positions(reg.kind->name, b.a, given);
        bind_shared_arrays(&b.base, reg.kind->arrays, check_fits);
        std::copy(positions.begin(), positions.end(), b.a.positions);
        summarise(b);
    });
}

// ---- read-only copies of the arrays and pickling refusal -----------------------------

// What a getter copies out: offset of the pointer in BlockArrays, items per
// element, struct format.
struct ArrayField {
    size_t offset;
    Py_ssize_t per_element;
    const char* format;
};

const ArrayField kFields[] = {
    {offsetof(BlockArrays, i), 1, "i"},      {offsetof(BlockArrays, j), 1, "i"},
    {offsetof(BlockArrays, eindex), 1, "i"}, {offsetof(BlockArrays, positions), kPositions, "i"},
    {offsetof(BlockArrays, value), 1, "d"},
};

PyObject* get_array(PyObject* self, void* closure) {
    return capi::boundary("loxant.CircuitKernel.block.__get__", kFile, [&] {
        const auto& field = *static_cast<const ArrayField*>(closure);
        const BlockArrays& a = block(self).a;
        const void* data =
            *reinterpret_cast<void* const*>(reinterpret_cast<const char*>(&a) + field.offset);
        const Py_ssize_t item = field.format[0] == 'd' ? 8 : 4;
        capi::Ref bytes = capi::Ref::steal(
            PyBytes_FromStringAndSize(data != nullptr ? static_cast<const char*>(data) : "",
                                      a.count * field.per_element * item));
        capi::Ref view = capi::Ref::steal(PyMemoryView_FromObject(bytes.get()));
        return capi::Ref::steal(PyObject_CallMethod(view.get(), "cast", "s", field.format));
    });
}

PyObject* refuse_pickling(PyObject* self, const char* method) {
    const RegisteredKind& reg = kind_of(self);
    return capi::boundary_none(qualified(reg.kind->name, method), kFile,
                               [&] { capi::raise(PyExc_TypeError, reg.pickle_message.c_str()); });
}

PyObject* block_reduce(PyObject* self, PyObject*) {
    return refuse_pickling(self, "__reduce__");
}
PyObject* block_setstate(PyObject* self, PyObject*) {
    return refuse_pickling(self, "__setstate__");
}

// ---- registration -------------------------------------------------------------------

template <class F> PyCFunction as_cfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

void add_block_class(PyObject* module, RegisteredKind& reg) {
    const BlockKind& kind = *reg.kind;
    reg.type_name = std::string("loxant.CircuitKernel.") + kind.name;
    reg.pickle_message = pickle_refusal(kind.arrays);
    reg.methods = {
        {"InitModel", as_cfunction(init_model), METH_FASTCALL | METH_KEYWORDS,
         "Store the int32 positions (ind_ii, ind_ij, ind_ji, ind_jj of each element in turn) "
         "and bind the lxglobals arrays."},
        {"SetParameters", as_cfunction(set_parameters), METH_FASTCALL | METH_KEYWORDS,
         "Copy the float64 parameters, one per element."},
        {"__reduce__", block_reduce, METH_NOARGS, nullptr},
        {"__setstate__", block_setstate, METH_O, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    const char* names[] = {"i", "j", "eindex", "positions", kind.parameter};
    for (size_t k = 0; k < std::size(kFields); ++k)
        reg.getset.push_back({names[k], get_array, nullptr, "A copy (memoryview) of the array.",
                              const_cast<ArrayField*>(&kFields[k])});
    reg.getset.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    reg.type = make_element_subtype(reg.type_name.c_str(), sizeof(ElementBlockObject), kind.ops,
                                    release_storage,
                                    {{Py_tp_init, reinterpret_cast<void*>(block_init)},
                                     {Py_sq_length, reinterpret_cast<void*>(block_length)},
                                     {Py_tp_methods, reg.methods.data()},
                                     {Py_tp_getset, reg.getset.data()},
                                     {Py_tp_doc, const_cast<char*>(kind.doc)}});
    add_type_to_module(module, kind.name, reg.type);
}

} // namespace

const int32_t* block_element_indices(const ElementModelObject* self, Py_ssize_t* count) noexcept {
    const BlockArrays& a = block_of(self);
    *count = a.count;
    return a.eindex;
}

bool register_block_kind(const BlockKind* kind) {
    pending_kinds().push_back(kind);
    return true;
}

void add_block_classes(PyObject* module) {
    std::vector<const BlockKind*> kinds = pending_kinds();
    // The module's order does not depend on the order the files registered in.
    std::sort(kinds.begin(), kinds.end(), [](const BlockKind* a, const BlockKind* b) {
        return std::strcmp(a->name, b->name) < 0;
    });
    for (const BlockKind* kind : kinds) {
        registered_kinds().push_back(std::make_unique<RegisteredKind>());
        registered_kinds().back()->kind = kind;
        add_block_class(module, *registered_kinds().back());
    }
}

} // namespace loxant
