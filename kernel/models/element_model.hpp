// The element model object, its operation table, and the description from
// which every model class is registered: constructor and InitModel arguments,
// bound lxglobals arrays, parameters and read-only attributes.
#pragma once

#include "capi/buffer.hpp"
#include "capi/ref.hpp"
#include "kernel/step.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace loxant {

using DoubleArray = capi::Strided<double>;

struct ElementModelObject;

// A linear two-terminal element whose current is conductance (q_i - q_j), q
// being the node phases, voltages or voltage derivatives of the present
// iterate; terminals are unknown numbers, 0 for ground.
enum class BranchQuantity : int32_t { phase, voltage, voltage_deriv };
struct LinearBranch {
    int32_t i, j;
    BranchQuantity quantity;
    double conductance;
};

// The five element operations, called by the kernels through the table of the
// object's class, and what a time loop may ask besides to keep its matrix.
// They check nothing, report nothing and call nothing of Python.
//
// A model without Admitance2 has a current that is affine in the phases within
// a step, with A0 + A1 as its derivative: a loop may then update its share of
// the right-hand side from a correction instead of calling RHSCurrent again.
struct ElementOps {
    void (*admitance0)(ElementModelObject* self, DoubleArray a0) noexcept;
    void (*admitance1)(ElementModelObject* self, DoubleArray a1, const StepContext& ctx) noexcept;
    void (*admitance2)(ElementModelObject* self, DoubleArray a2, const StepContext& ctx) noexcept;
    void (*rhs_current)(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept;
    void (*values)(ElementModelObject* self, const StepContext& ctx) noexcept;
    // Values advances the model's own state (a held piece, a line's history,
    // the next noise value), so it must run after every accepted step.
    bool keeps_state = false;
    // Called after Values: true when the model's Admitance2 terms changed by
    // more than their smooth dependence on the phases since the last call (a
    // piecewise law entered another piece), so a factorisation kept from an
    // earlier step no longer holds them.  Null for a model whose terms never
    // jump.
    bool (*terms_changed)(ElementModelObject* self) noexcept = nullptr;
    // Of a model that keeps state: the part of Values that steps it, from the
    // accepted phases and voltages in ctx (phases, voltages), writing nothing
    // to the element arrays; a loop may call it instead of Values for an
    // element nobody records.  Null: Values is the only way to step it.
    void (*advance)(ElementModelObject* self, const StepContext& ctx) noexcept = nullptr;
    // Of a model whose RHSCurrent is that of one LinearBranch (and nothing
    // else): writes it, so that a loop may sum such currents in one pass over
    // flat arrays.  Null for every other model.
    void (*linear_branch)(const ElementModelObject* self, LinearBranch& out) noexcept = nullptr;
    // Of a block of elements: their element indices and how many there are,
    // so that a loop can tell whether it records any of them (reach.eindex is
    // the largest).  Null for a single element, whose index is reach.eindex.
    const int32_t* (*element_indices)(const ElementModelObject* self,
                                      Py_ssize_t* count) noexcept = nullptr;
    // Of a junction: the part of Values that reports phase, voltage and turns,
    // without the current (its law is the costly part), for a loop that
    // records none of its current.  It steps no state: a model that keeps
    // one is stepped by its advance as well.  Null: Values reports all.
    void (*report_phase)(ElementModelObject* self, const StepContext& ctx) noexcept = nullptr;
    // Of a model with phase terms whose current is that of two terminals: adds
    // to `b` the residual its current leaves at the present estimates, which
    // are those of its last RHSCurrent (or rhs_change) plus `correction` (per
    // unknown, ground excluded), against the g of its last Admitance1 and
    // Admitance2, the kept matrix's share.  Null: a chord iteration sums the
    // residual from RHSCurrent and the kept matrix instead.
    void (*rhs_change)(ElementModelObject* self, DoubleArray b, const double* correction,
                       const StepContext& ctx) noexcept = nullptr;
    // RHSCurrent and rhs_change over models[0 .. count), all of this table's
    // class, in that order: one call for a run of like models, whose law the
    // compiler then sees through.  Null: a loop calls the single operation.
    void (*rhs_current_each)(ElementModelObject* const* models, size_t count, DoubleArray b,
                             const StepContext& ctx) noexcept = nullptr;
    void (*rhs_change_each)(ElementModelObject* const* models, size_t count, DoubleArray b,
                            const double* correction, const StepContext& ctx) noexcept = nullptr;
    // Whether the model's RHSCurrent does its advance and terms_changed when a
    // loop asks (StepContext::take_accepted), so that a loop may defer them
    // from an acceptance to the next step's first evaluation: one pass over
    // the models instead of two.
    bool advances_when_evaluated = false;
    // Of a block whose elements' currents are each that of one LinearBranch:
    // writes element k's (k below the count element_indices gives), so that a
    // loop may sum them in the same flat pass as single elements'.
    void (*linear_branch_at)(const ElementModelObject* self, Py_ssize_t k,
                             LinearBranch& out) noexcept = nullptr;
};

// The lxglobals arrays a model may bind, with their attribute names.
enum SharedArray : int {
    NodePhase,
    NodeVoltage,
    NodeDVoltage,
    ElementPhase,
    ElementVoltage,
    ElementCurrent,
    ElementN,
    ElementInc,
    ElementDec,
    kSharedArrayCount
};

// Raw data pointers into the bound lxglobals arrays; null until InitModel.
struct SharedPointers {
    double* node_phases;
    double* node_voltages;
    double* node_dvoltages;
    double* elem_phases;
    double* elem_voltages;
    double* elem_currents;
    int32_t* elem_n;
    uint8_t* elem_inc;
    uint8_t* elem_dec;
};

// What an element's operations touch, recomputed whenever its unknowns or
// positions change, so that the kernels can refuse out-of-range indices before
// any element stamps.
struct Reach {
    int32_t max_unknown;  // highest unknown number used; 0 when none
    int32_t max_position; // highest value-array position stamped; -1 when none
    int32_t eindex;       // element index; -1 for a class without one
    bool malformed;       // a negative number or position, or a branch unknown 0
    bool binds_arrays;    // Values writes through the bound pointers
};

// One lxglobals array as a model bound it: the array (kept alive by the
// model), its data pointer and length at InitModel.
struct BoundArray {
    PyObject* array;
    void* data;
    Py_ssize_t length;

    // False once the array was reallocated or resized in place (NumPy's
    // resize(..., refcheck=False) does both) or reshaped.
    bool current() const noexcept;
    bool operator==(const BoundArray& other) const noexcept {
        return array == other.array && data == other.data && length == other.length;
    }
};

// The lxglobals arrays a set of models bound, with what keeps them alive.
// Every model that bound the same arrays, at the same place and length,
// shares one: a circuit holds one per array set, not one per model.
struct ArrayBinding {
    SharedPointers arrays;             // read by Values only
    Py_ssize_t unknowns;               // shortest bound per-unknown array
    Py_ssize_t elements;               // shortest bound per-element array
    unsigned mask;                     // bit k: array k is bound
    bool bound;                        // false only in unbound()
    Py_ssize_t users;                  // the models that hold it
    PyObject* refs[kSharedArrayCount]; // keep the bound arrays alive
    void* data[kSharedArrayCount];     // their data pointers at InitModel
    Py_ssize_t lengths[kSharedArrayCount];
};

// The binding of a model before InitModel: no arrays, every pointer null.
const ArrayBinding* unbound() noexcept;

// The bookkeeping of the Python-callable entry points, kept apart from the
// object so that the fields the matrix and right-hand-side operations read
// stay close together in memory.
struct ModelBookkeeping {
    const ArrayBinding* binding; // unbound() until InitModel
    Reach reach;

    bool bound() const noexcept { return binding->bound; }
    const SharedPointers& arrays() const noexcept { return binding->arrays; }
};

// Instances are zero-filled by the allocator; `book` is allocated with them.
struct ElementModelObject {
    PyObject_HEAD const ElementOps* ops;
    ModelBookkeeping* book;
};

template <class Model> inline Model& as(ElementModelObject* self) noexcept {
    return *reinterpret_cast<Model*>(self);
}

// Reads a model's parameter sequence: lists and tuples directly, any other
// object through obj[k].  A missing item is IndexError.
class Params {
  public:
    explicit Params(PyObject* sequence) : sequence_(sequence) {}
    capi::Ref item(Py_ssize_t k) const;
    double real(Py_ssize_t k) const;

  private:
    PyObject* sequence_;
};

struct TerminalField {
    const char* name;
    size_t offset; // of an int32_t in the model
    bool branch;   // a branch unknown, never ground
};

struct PositionField {
    const char* name;
    size_t offset; // of an int32_t in the model
    int row;       // index into the terminals of the entry's row; -1: stored, never stamped
    int col;       // the same for the column
};

struct DoubleField {
    const char* name;
    size_t offset; // of a double in the model
};

// Everything the generic entry points need to know about one model class.
struct ModelClass {
    const char* name; // "ResistorModel"
    const char* doc;
    size_t basicsize;
    const ElementOps* ops;
    std::vector<TerminalField> terminals; // constructor arguments before eindex
    size_t eindex_offset;
    std::vector<PositionField> positions; // InitModel arguments, in order
    std::vector<SharedArray> arrays;      // bound by InitModel, in this order
    std::vector<DoubleField> parameters;  // exposed as read-only attributes
    void (*set_defaults)(ElementModelObject* self);
    void (*set_parameters)(ElementModelObject* self, const Params& params);
    std::vector<PyMethodDef> extra_methods; // besides InitModel and SetParameters
    std::vector<PyGetSetDef> extra_getset;
    // Frees what set_defaults or set_parameters allocated; called once, when
    // the object goes.  Null for a model that holds nothing outside itself.
    void (*release)(ElementModelObject* self) = nullptr;
};

// Called from a static initialiser in each model's file.
bool register_model_class(const ModelClass* cls);

// A subtype of ElementModel outside the registered classes (the blocks): its
// instances are allocated with bookkeeping and the table `ops`, as the
// registered ones are, and `release` frees what they hold besides.
PyTypeObject* make_element_subtype(const char* name, size_t basicsize, const ElementOps* ops,
                                   void (*release)(ElementModelObject* self),
                                   std::vector<PyType_Slot> slots);
void add_type_to_module(PyObject* module, const char* name, PyTypeObject* type);

// The lxglobals attribute of a shared array, and whether it is indexed by
// unknown - 1 (else by element index).
const char* shared_array_attribute(SharedArray which);
bool shared_array_per_unknown(SharedArray which);

// Fetches the lxglobals arrays `which`, calling check(which, length) after
// each, and stores their pointers in the model's bookkeeping only when every
// one passed.  The arrays bound before are released last.
void bind_shared_arrays(ElementModelObject* self, const std::vector<SharedArray>& which,
                        void (*check)(const ElementModelObject* self, SharedArray which,
                                      Py_ssize_t length));

// The TypeError text of a model that holds raw pointers into these arrays.
std::string pickle_refusal(const std::vector<SharedArray>& arrays);

// Creates ElementModel and every registered class in the module.
void add_model_classes(PyObject* module);

PyTypeObject* element_model_type();
PyMethodDef* unpickle_method_def();          // the module's unpickling function
const ModelClass* class_of(PyObject* model); // null for a bare ElementModel
const char* short_type_name(PyObject* obj);

// The arrays a model bound, and whether all of them are still where and as
// long as they were at InitModel.
std::vector<BoundArray> bindings_of(const ElementModelObject* model);
bool bindings_current(const ElementModelObject* model) noexcept;

// Counts every change of a model's unknowns, positions or bindings, so the
// kernels re-check their table only after something changed.
uint64_t model_generation();
void touch_models();

// Qualified name for traceback entries: "loxant.CircuitKernel.<Class>.<method>".
std::string qualified(const char* class_name, const char* method);

// ---------------------------------------------------------------------------
// Shared stamping patterns.  A terminal numbered 0 is ground: it has no row,
// column or array entry, and its value counts as 0 in a difference.

struct TwoTerminal {
    int32_t i, j, eindex;
    int32_t ind_ii, ind_ij, ind_ji, ind_jj;
};

// Conductance-like term g between i and j at the positions ind (ii, ij, ji,
// jj); nothing when both are ground.
inline void stamp(DoubleArray a, int32_t i, int32_t j, const int32_t* ind, double g) noexcept {
    if (i == 0) {
        if (j != 0)
            a[ind[3]] += g;
    } else if (j == 0) {
        a[ind[0]] += g;
    } else {
        a[ind[0]] += g;
        a[ind[1]] -= g;
        a[ind[2]] -= g;
        a[ind[3]] += g;
    }
}

inline void stamp(DoubleArray a, const TwoTerminal& t, double g) noexcept {
    const int32_t ind[4] = {t.ind_ii, t.ind_ij, t.ind_ji, t.ind_jj};
    stamp(a, t.i, t.j, ind, g);
}

// Current c flowing from i to j through the element, drawn out of i into j.
inline void stamp_current(DoubleArray b, int32_t i, int32_t j, double c) noexcept {
    if (i != 0)
        b[i - 1] -= c;
    if (j != 0)
        b[j - 1] += c;
}

// u_i - u_j of a per-unknown vector.
inline double across(const double* u, int32_t i, int32_t j) noexcept {
    return (i != 0 ? u[i - 1] : 0.0) - (j != 0 ? u[j - 1] : 0.0);
}

// Writes the element's phase and voltage difference from the node arrays.
inline void read_out(const SharedPointers& p, int32_t i, int32_t j, int32_t e) noexcept {
    p.elem_phases[e] = across(p.node_phases, i, j);
    p.elem_voltages[e] = across(p.node_voltages, i, j);
}

// Counts whole 2*pi turns of the phase just written at e.
inline void count_turns(const SharedPointers& p, int32_t e, const StepContext& ctx) noexcept {
    CountPhaseSlips(p.elem_phases[e], ctx.phase_hysteresis, p.elem_n[e], p.elem_inc[e],
                    p.elem_dec[e]);
}

inline void no_admitance0(ElementModelObject*, DoubleArray) noexcept {}
inline void no_admitance(ElementModelObject*, DoubleArray, const StepContext&) noexcept {}
inline void no_values(ElementModelObject*, const StepContext&) noexcept {}

// Fields of a class whose model embeds a TwoTerminal as member `t`.
template <class Model> std::vector<TerminalField> two_terminals() {
    const size_t base = offsetof(Model, t);
    return {{"i", base + offsetof(TwoTerminal, i), false},
            {"j", base + offsetof(TwoTerminal, j), false}};
}

template <class Model> size_t two_terminal_eindex() {
    return offsetof(Model, t) + offsetof(TwoTerminal, eindex);
}

// `stamped` false: positions are stored but never used.
template <class Model> std::vector<PositionField> two_terminal_positions(bool stamped = true) {
    const size_t base = offsetof(Model, t);
    const int r_i = stamped ? 0 : -1, r_j = stamped ? 1 : -1;
    return {{"ind_ii", base + offsetof(TwoTerminal, ind_ii), r_i, r_i},
            {"ind_ij", base + offsetof(TwoTerminal, ind_ij), r_i, r_j},
            {"ind_ji", base + offsetof(TwoTerminal, ind_ji), r_j, r_i},
            {"ind_jj", base + offsetof(TwoTerminal, ind_jj), r_j, r_j}};
}

} // namespace loxant
