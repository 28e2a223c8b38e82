// CapacitorModel: a linear capacitor between i and j; CapacitorBlock: N of them.
//
//   I = C (dV_i - dV_j), with dV the estimate of the voltage derivative, whose
//   weight on the present phase is coeff_ddt; that weight changes with the
//   step, hence A1.
//   Admitance1: g = C coeff_ddt at ii, jj (+) and ij, ji (-)
//   RHSCurrent: B[i-1] -= I, B[j-1] += I with dV = ctx.voltages_deriv
//   Values:     current from NodeDVoltage; phase and voltage i - j
#include "kernel/models/element_block.hpp"

namespace loxant {
namespace {

// The law of one capacitor, for the single model and the block alike.
struct CapacitorLaw {
    static constexpr BranchQuantity kQuantity = BranchQuantity::voltage_deriv;
    static double conductance(double capacitance) noexcept { return capacitance; }
    static double step_term(double capacitance, const StepContext& ctx) noexcept {
        return capacitance * ctx.coeff_ddt;
    }
    static double current(const StepContext& ctx, int32_t i, int32_t j,
                          double capacitance) noexcept {
        return across(ctx.voltages_deriv, i, j) * capacitance;
    }
    static void values(const SharedPointers& p, int32_t i, int32_t j, int32_t e,
                       double capacitance) noexcept {
        // With i grounded the current is -(dV_j C): -0.0 where dV_j is 0.
        p.elem_currents[e] = i == 0 ? -(across(p.node_dvoltages, j, 0) * capacitance)
                                    : capacitance * across(p.node_dvoltages, i, j);
        read_out(p, i, j, e);
    }
};

struct Capacitor {
    ElementModelObject base;
    TwoTerminal t;
    double capacitance;
};

void admitance1(ElementModelObject* self, DoubleArray a1, const StepContext& ctx) noexcept {
    const Capacitor& m = as<Capacitor>(self);
    stamp(a1, m.t, CapacitorLaw::step_term(m.capacitance, ctx));
}

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    const Capacitor& m = as<Capacitor>(self);
    stamp_current(b, m.t.i, m.t.j, CapacitorLaw::current(ctx, m.t.i, m.t.j, m.capacitance));
}

void values(ElementModelObject* self, const StepContext&) noexcept {
    const Capacitor& m = as<Capacitor>(self);
    CapacitorLaw::values(self->book->arrays(), m.t.i, m.t.j, m.t.eindex, m.capacitance);
}

void set_defaults(ElementModelObject* self) {
    as<Capacitor>(self).capacitance = 1.0;
}

void set_parameters(ElementModelObject* self, const Params& params) {
    as<Capacitor>(self).capacitance = params.real(0);
}

void linear_branch(const ElementModelObject* self, LinearBranch& out) noexcept {
    const Capacitor& m = *reinterpret_cast<const Capacitor*>(self);
    out = {m.t.i, m.t.j, CapacitorLaw::kQuantity, CapacitorLaw::conductance(m.capacitance)};
}

const ElementOps kOps = {no_admitance0, admitance1, no_admitance, rhs_current,  values,
                         false,         nullptr,    nullptr,      linear_branch};

const std::vector<SharedArray> kArrays = {NodePhase,    NodeVoltage,    NodeDVoltage,
                                          ElementPhase, ElementVoltage, ElementCurrent};

const ModelClass kClass = {
    "CapacitorModel",
    "CapacitorModel(i, j, eindex): linear capacitor; SetParameters([C]).",
    sizeof(Capacitor),
    &kOps,
    two_terminals<Capacitor>(),
    two_terminal_eindex<Capacitor>(),
    two_terminal_positions<Capacitor>(),
    kArrays,
    {{"capacitance", offsetof(Capacitor, capacitance)}},
    set_defaults,
    set_parameters,
    {},
    {},
};

const ElementOps kBlockOps =
    block_ops<CapacitorLaw>(no_admitance0, BlockOps<CapacitorLaw>::admitance1);

const BlockKind kBlock = {
    "CapacitorBlock",
    "CapacitorBlock(i, j, eindex): N linear capacitors from int32 arrays; SetParameters(C), "
    "InitModel(positions), both arrays.",
    "capacitance",
    &kBlockOps,
    kArrays,
    nullptr,
};

const bool kRegistered = register_model_class(&kClass) && register_block_kind(&kBlock);

} // namespace
} // namespace loxant
