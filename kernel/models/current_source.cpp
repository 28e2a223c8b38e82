// CurrentSourceModel: an independent current source between i and j.
//
//   s = source_current * smooth_factor
//   RHSCurrent: i = 0: B[j-1] += s;  j = 0: B[i-1] += s;  else B[i-1] += s, B[j-1] -= s
//               (with one terminal grounded the value is added at the live node,
//               whichever terminal is ground; with both grounded, nowhere)
//   Values:     current s; phase and voltage i - j
//   No matrix terms; the positions are stored but never used.
#include "kernel/models/element_model.hpp"

namespace loxant {
namespace {

struct CurrentSource {
    ElementModelObject base;
    TwoTerminal t;
    double source_current;
};

void rhs_current(ElementModelObject* self, DoubleArray b, const StepContext& ctx) noexcept {
    const CurrentSource& m = as<CurrentSource>(self);
    const double s = m.source_current * ctx.smooth_factor;
    if (m.t.i == 0) {
        if (m.t.j != 0)
            b[m.t.j - 1] += s;
    } else if (m.t.j == 0) {
        b[m.t.i - 1] += s;
    } else {
        b[m.t.i - 1] += s;
        b[m.t.j - 1] -= s;
    }
}

void values(ElementModelObject* self, const StepContext& ctx) noexcept {
    const CurrentSource& m = as<CurrentSource>(self);
    const SharedPointers& p = self->book->arrays();
    p.elem_currents[m.t.eindex] = m.source_current * ctx.smooth_factor;
    read_out(p, m.t.i, m.t.j, m.t.eindex);
}

void set_defaults(ElementModelObject* self) {
    as<CurrentSource>(self).source_current = 0.0;
}

void set_parameters(ElementModelObject* self, const Params& params) {
    as<CurrentSource>(self).source_current = params.real(0);
}

const ElementOps kOps = {no_admitance0, no_admitance, no_admitance, rhs_current, values};

const ModelClass kClass = {
    "CurrentSourceModel",
    "CurrentSourceModel(i, j, eindex): independent current source; SetParameters([I]).",
    sizeof(CurrentSource),
    &kOps,
    two_terminals<CurrentSource>(),
    two_terminal_eindex<CurrentSource>(),
    two_terminal_positions<CurrentSource>(false),
    {NodePhase, NodeVoltage, ElementPhase, ElementVoltage, ElementCurrent},
    {{"source_current", offsetof(CurrentSource, source_current)}},
    set_defaults,
    set_parameters,
    {},
    {},
};

const bool kRegistered = register_model_class(&kClass);

} // namespace
} // namespace loxant
