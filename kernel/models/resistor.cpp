// ResistorModel: a linear resistor between i and j; ResistorBlock: N of them.
//
//   I = (V_i - V_j) / R, with V the voltage estimate, whose weight on the
//   present phase is coeff_dt; that weight changes with the step, hence A1.
//   Admitance1: g = coeff_dt / R at ii, jj (+) and ij, ji (-)
//   RHSCurrent: B[i-1] -= I, B[j-1] += I with V = ctx.voltages
//   Values:     current (V_i - V_j) / R from NodeVoltage; phase and voltage i - j
//   R = 0 is accepted: the terms become infinities or NaN.
#include "kernel/models/element_block.hpp"

namespace loxant {
namespace {

// The law of one resistor, for the single model and the block alike.
struct ResistorLaw {
    static constexpr BranchQuantity kQuantity = BranchQuantity::voltage;
    static double conductance(double resistance) noexcept { return 1.0 / resistance; }
    static double step_term(double resistance, const StepContext& ctx) noexcept {
        return ctx.coeff_dt / resistance;
    }
    static double current(const StepContext& ctx, int32_t i, int32_t j,
                          double resistance) noexcept {
        return across(ctx.voltages, i, j) / resistance;
    }
    static void values(const SharedPointers& p, int32_t i, int32_t j, int32_t e,
                       double resistance) noexcept {
        p.elem_currents[e] = across(p.node_voltages, i, j) / resistance;
        read_out(p, i, j, e);
    }
};

struct Resistor {
    ElementModelObject base;
    TwoTerminal t;
    double resistance;
};

void admitance1(ElementModelObject* self, DoubleArray a1, const StepContext& ctx) noexcept {
    const Resistor& m = as<Resistor>(self);
    stamp(a1, m.t, ResistorLaw::step_term(m.resistance, ctx));
}

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    const Resistor& m = as<Resistor>(self);
    stamp_current(b, m.t.i, m.t.j, ResistorLaw::current(ctx, m.t.i, m.t.j, m.resistance));
}

void values(ElementModelObject* self, const StepContext&) noexcept {
    const Resistor& m = as<Resistor>(self);
    ResistorLaw::values(self->book->arrays(), m.t.i, m.t.j, m.t.eindex, m.resistance);
}

void set_defaults(ElementModelObject* self) {
    as<Resistor>(self).resistance = 1.0;
}

void set_parameters(ElementModelObject* self, const Params& params) {
    as<Resistor>(self).resistance = params.real(0);
}

void linear_branch(const ElementModelObject* self, LinearBranch& out) noexcept {
    const Resistor& m = *reinterpret_cast<const Resistor*>(self);
    out = {m.t.i, m.t.j, ResistorLaw::kQuantity, ResistorLaw::conductance(m.resistance)};
}

const ElementOps kOps = {no_admitance0, admitance1, no_admitance, rhs_current,  values,
                         false,         nullptr,    nullptr,      linear_branch};

const std::vector<SharedArray> kArrays = {NodePhase, NodeVoltage, ElementPhase, ElementVoltage,
                                          ElementCurrent};

const ModelClass kClass = {
    "ResistorModel",
    "ResistorModel(i, j, eindex): linear resistor; SetParameters([R]).",
    sizeof(Resistor),
    &kOps,
    two_terminals<Resistor>(),
    two_terminal_eindex<Resistor>(),
    two_terminal_positions<Resistor>(),
    kArrays,
    {{"resistance", offsetof(Resistor, resistance)}},
    set_defaults,
    set_parameters,
    {},
    {},
};

const ElementOps kBlockOps =
    block_ops<ResistorLaw>(no_admitance0, BlockOps<ResistorLaw>::admitance1);

const BlockKind kBlock = {
    "ResistorBlock",
    "ResistorBlock(i, j, eindex): N linear resistors from int32 arrays; SetParameters(R), "
    "InitModel(positions), both arrays.",
    "resistance",
    &kBlockOps,
    kArrays,
    nullptr,
};

const bool kRegistered = register_model_class(&kClass) && register_block_kind(&kBlock);

} // namespace
} // namespace loxant
