// InductorModel: a linear inductor between i and j; InductorBlock: N of them.
//
//   I = (phi_i - phi_j) / L; the model keeps g = 1/L, taken once in
//   SetParameters, and only multiplies by it.  The term is constant, hence A0.
//   Admitance0: g at ii, jj (+) and ij, ji (-)
//   RHSCurrent: B[i-1] -= I, B[j-1] += I with phi = ctx.phases
//   Values:     current from NodePhase; phase and voltage i - j
#include "kernel/models/element_block.hpp"

#include "capi/convert.hpp"

namespace loxant {
namespace {

// The law of one inductor, for the single model and the block alike; both
// store g = 1/L.
struct InductorLaw {
    static constexpr BranchQuantity kQuantity = BranchQuantity::phase;
    static double conductance(double inv_inductance) noexcept { return inv_inductance; }
    static double constant_term(double inv_inductance) noexcept { return inv_inductance; }
    static double current(const StepContext& ctx, int32_t i, int32_t j,
                          double inv_inductance) noexcept {
        return across(ctx.phases, i, j) * inv_inductance;
    }
    static void values(const SharedPointers& p, int32_t i, int32_t j, int32_t e,
                       double inv_inductance) noexcept {
        // With i grounded the current is -(phi_j g): -0.0 where phi_j is 0.
        p.elem_currents[e] = i == 0 ? -(across(p.node_phases, j, 0) * inv_inductance)
                                    : across(p.node_phases, i, j) * inv_inductance;
        read_out(p, i, j, e);
    }
};

struct Inductor {
    ElementModelObject base;
    TwoTerminal t;
    double inv_inductance;
};

void admitance0(ElementModelObject* self, DoubleArray a0) noexcept {
    const Inductor& m = as<Inductor>(self);
    stamp(a0, m.t, InductorLaw::constant_term(m.inv_inductance));
}

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    const Inductor& m = as<Inductor>(self);
    stamp_current(b, m.t.i, m.t.j, InductorLaw::current(ctx, m.t.i, m.t.j, m.inv_inductance));
}

void values(ElementModelObject* self, const StepContext&) noexcept {
    const Inductor& m = as<Inductor>(self);
    InductorLaw::values(self->book->arrays(), m.t.i, m.t.j, m.t.eindex, m.inv_inductance);
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
    out = {m.t.i, m.t.j, InductorLaw::kQuantity, InductorLaw::conductance(m.inv_inductance)};
}

const ElementOps kOps = {admitance0, no_admitance, no_admitance, rhs_current,  values,
                         false,      nullptr,      nullptr,      linear_branch};

const std::vector<SharedArray> kArrays = {NodePhase, NodeVoltage, ElementPhase, ElementVoltage,
                                          ElementCurrent};

const ModelClass kClass = {
    "InductorModel",
    "InductorModel(i, j, eindex): linear inductor; SetParameters([L]), L != 0.",
    sizeof(Inductor),
    &kOps,
    two_terminals<Inductor>(),
    two_terminal_eindex<Inductor>(),
    two_terminal_positions<Inductor>(),
    kArrays,
    {{"inv_inductance", offsetof(Inductor, inv_inductance)}},
    set_defaults,
    set_parameters,
    {},
    {},
};

// 1.0 / L, as Python's float division gives it; L = 0 is refused as Python
// refuses it.
double inverse(double inductance, Py_ssize_t e) {
    if (inductance == 0.0)
        capi::raise_format(PyExc_ZeroDivisionError, "InductorBlock element %zd has L = 0", e);
    return 1.0 / inductance;
}

const ElementOps kBlockOps =
    block_ops<InductorLaw>(BlockOps<InductorLaw>::admitance0, no_admitance);

const BlockKind kBlock = {
    "InductorBlock",
    "InductorBlock(i, j, eindex): N linear inductors from int32 arrays; SetParameters(L), "
    "L != 0, and InitModel(positions), both arrays; stores 1/L as inv_inductance.",
    "inv_inductance",
    &kBlockOps,
    kArrays,
    inverse,
};

const bool kRegistered = register_model_class(&kClass) && register_block_kind(&kBlock);

} // namespace
} // namespace loxant
