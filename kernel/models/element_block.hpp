// Blocks: N elements of one linear two-terminal kind held as arrays in one
// model object, whose operations loop over the elements.  Each kind writes its
// law once, as a struct of inline functions that its single model and its
// block both call.
#pragma once

#include "kernel/models/element_model.hpp"

namespace loxant {

// The arrays of a block, carved from one allocation: per element its
// terminals (unknown numbers, 0 for ground), element index, four value-array
// positions (ind_ii, ind_ij, ind_ji, ind_jj of element e at 4e) and the
// kind's stored parameter.
struct BlockArrays {
    Py_ssize_t count;
    double* value;
    int32_t* i;
    int32_t* j;
    int32_t* eindex;
    int32_t* positions;
};

struct ElementBlockObject {
    ElementModelObject base;
    BlockArrays a;
    void* storage;            // null until __init__
    Py_ssize_t where_unknown; // the element with the highest unknown
    Py_ssize_t where_eindex;  // the element with the highest element index
};

inline const BlockArrays& block_of(const ElementModelObject* self) noexcept {
    return reinterpret_cast<const ElementBlockObject*>(self)->a;
}

const int32_t* block_element_indices(const ElementModelObject* self, Py_ssize_t* count) noexcept;

// The operations of a block of the kind whose law is Law:
//   Law::constant_term(value)           the term stamped into A0
//   Law::step_term(value, ctx)          the term stamped into A1
//   Law::current(ctx, i, j, value)      the current from i to j
//   Law::values(arrays, i, j, e, value) what Values writes of element e
//   Law::kQuantity, Law::conductance(value)  the element as a LinearBranch
// A kind's table names only the ones its law has.
template <class Law> struct BlockOps {
    static void admitance0(ElementModelObject* self, DoubleArray a0) noexcept {
        const BlockArrays& b = block_of(self);
        for (Py_ssize_t e = 0; e < b.count; ++e)
            stamp(a0, b.i[e], b.j[e], b.positions + 4 * e, Law::constant_term(b.value[e]));
    }
    static void admitance1(ElementModelObject* self, DoubleArray a1,
                           const StepContext& ctx) noexcept {
        const BlockArrays& b = block_of(self);
        for (Py_ssize_t e = 0; e < b.count; ++e)
            stamp(a1, b.i[e], b.j[e], b.positions + 4 * e, Law::step_term(b.value[e], ctx));
    }
    static void rhs_current(ElementModelObject* self, DoubleArray out,
                            const StepContext& ctx) noexcept {
        const BlockArrays& b = block_of(self);
        for (Py_ssize_t e = 0; e < b.count; ++e)
            stamp_current(out, b.i[e], b.j[e], Law::current(ctx, b.i[e], b.j[e], b.value[e]));
    }
    static void values(ElementModelObject* self, const StepContext&) noexcept {
        const BlockArrays& b = block_of(self);
        const SharedPointers& p = self->book->arrays();
        for (Py_ssize_t e = 0; e < b.count; ++e)
            Law::values(p, b.i[e], b.j[e], b.eindex[e], b.value[e]);
    }
    static void linear_branch_at(const ElementModelObject* self, Py_ssize_t k,
                                 LinearBranch& out) noexcept {
        const BlockArrays& b = block_of(self);
        out = {b.i[k], b.j[k], Law::kQuantity, Law::conductance(b.value[k])};
    }
};

// The table of a block of the kind whose law is Law, with its A0 and A1
// operations (no_admitance0 / no_admitance where the law has none).
template <class Law>
constexpr ElementOps block_ops(void (*admitance0)(ElementModelObject*, DoubleArray) noexcept,
                               void (*admitance1)(ElementModelObject*, DoubleArray,
                                                  const StepContext&) noexcept) {
    ElementOps ops{admitance0, admitance1, no_admitance, BlockOps<Law>::rhs_current,
                   BlockOps<Law>::values};
    ops.element_indices = block_element_indices;
    ops.linear_branch_at = BlockOps<Law>::linear_branch_at;
    return ops;
}

// Everything the block entry points need to know about one kind.
struct BlockKind {
    const char* name; // "ResistorBlock"
    const char* doc;
    const char* parameter; // the stored values' attribute, as the single model names it
    const ElementOps* ops;
    std::vector<SharedArray> arrays; // bound by InitModel, in this order
    // The stored value of a given parameter; raises for one the kind refuses
    // (element e, for the message).  Null: stored as given.
    double (*stored)(double given, Py_ssize_t e);
};

// Called from a static initialiser in each kind's file.
bool register_block_kind(const BlockKind* kind);

// Creates every registered block class in the module.
void add_block_classes(PyObject* module);

} // namespace loxant
