// InductorModel: a linear inductor between i and j.
//
//   I = (phi_i - phi_j) / L; the model keeps g = 1/L, taken once in
//   SetParameters, and only multiplies by it.  The term is constant, hence A0.
//   Admitance0: g at ii, jj (+) and ij, ji (-)
//   RHSCurrent: B[i-1] -= I, B[j-1] += I with phi = ctx.phases
//   Values:     current from NodePhase; phase and voltage i - j
#include "kernel/models/element_model.hpp"

#include "capi/convert.hpp"

namespace loxant {
namespace {

struct Inductor {
    ElementModelObject base;
    TwoTerminal t;
    double inv_inductance;
};

void admitance0(ElementModelObject* self, DoubleArray a0) noexcept {
    const Inductor& m = as<Inductor>(self);
    stamp(a0, m.t, m.inv_inductance);
}

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    const Inductor& m = as<Inductor>(self);
    stamp_current(b, m.t.i, m.t.j, across(ctx.phases, m.t.i, m.t.j) * m.inv_inductance);
}

void values(ElementModelObject* self, const StepContext&) noexcept {
    const Inductor& m = as<Inductor>(self);
    const SharedPointers& p = self->book->arrays;
    // With i grounded the current is -(phi_j g): -0.0 where phi_j is 0.
    p.elem_currents[m.t.eindex] = m.t.i == 0
                                      ? -(across(p.node_phases, m.t.j, 0) * m.inv_inductance)
                                      : across(p.node_phases, m.t.i, m.t.j) * m.inv_inductance;
    read_out(p, m.t.i, m.t.j, m.t.eindex);
}

void set_defaults(ElementModelObject* self) {
    as<Inductor>(self).inv_inductance = 1.0;
}

// 1.0 / L with Python's division, so L = 0 is ZeroDivisionError and an item of
// another numeric type divides by its own rules.
void set_parameters(ElementModelObject* self, const Params& params) {
    capi::Ref inductance = params.item(0);
    capi::Ref one = capi::Ref::steal(PyFloat_FromDouble(1.0));
    capi::Ref inverse = capi::Ref::steal(PyNumber_TrueDivide(one.get(), inductance.get()));
    as<Inductor>(self).inv_inductance = capi::to_double(inverse.get());
}

void linear_branch(const ElementModelObject* self, LinearBranch& out) noexcept {
    const Inductor& m = *reinterpret_cast<const Inductor*>(self);
    out = {m.t.i, m.t.j, BranchQuantity::phase, m.inv_inductance};
}

const ElementOps kOps = {admitance0, no_admitance, no_admitance, rhs_current,  values,
                         false,      nullptr,      nullptr,      linear_branch};

const ModelClass kClass = {
    "InductorModel",
    "InductorModel(i, j, eindex): linear inductor; SetParameters([L]), L != 0.",
    sizeof(Inductor),
    &kOps,
    two_terminals<Inductor>(),
    two_terminal_eindex<Inductor>(),
    two_terminal_positions<Inductor>(),
    {NodePhase, NodeVoltage, ElementPhase, ElementVoltage, ElementCurrent},
    {{"inv_inductance", offsetof(Inductor, inv_inductance)}},
    set_defaults,
    set_parameters,
    {},
    {},
};

const bool kRegistered = register_model_class(&kClass);

} // namespace
} // namespace loxant
