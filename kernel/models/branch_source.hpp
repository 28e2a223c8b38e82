// What the phase and voltage sources share: terminals i, j and a branch
// unknown q carrying the source current, the +-1 incidence stamp of that
// branch, and the readout with turn counting.
#pragma once

#include "kernel/models/element_model.hpp"

namespace loxant {

struct BranchSource {
    int32_t i, j, q, eindex;
    int32_t ind_iq, ind_jq, ind_qi, ind_qj;
};

// Row i gets +I_q, row j gets -I_q, and the branch row reads phi_i - phi_j.
inline void stamp_branch(DoubleArray a, const BranchSource& b) noexcept {
    if (b.i != 0) {
        a[b.ind_iq] += 1.0;
        a[b.ind_qi] += 1.0;
    }
    if (b.j != 0) {
        a[b.ind_jq] -= 1.0;
        a[b.ind_qj] -= 1.0;
    }
}

// The current is the branch unknown as the driver left it in NodePhase; the
// phase across the source turns like a junction's and is counted the same way.
inline void report_branch_source(const SharedPointers& p, const BranchSource& b,
                                 const StepContext& ctx) noexcept {
    const int32_t e = b.eindex;
    p.elem_currents[e] = p.node_phases[b.q - 1];
    read_out(p, b.i, b.j, e);
    count_turns(p, e, ctx);
}

inline std::vector<SharedArray> branch_source_arrays() {
    return {NodePhase,      NodeVoltage, ElementPhase, ElementVoltage,
            ElementCurrent, ElementN,    ElementInc,   ElementDec};
}

// Fields of a class whose model embeds a BranchSource as member `b`.
template <class Model> std::vector<TerminalField> branch_source_terminals() {
    const size_t base = offsetof(Model, b);
    return {{"i", base + offsetof(BranchSource, i), false},
            {"j", base + offsetof(BranchSource, j), false},
            {"q", base + offsetof(BranchSource, q), true}};
}

template <class Model> size_t branch_source_eindex() {
    return offsetof(Model, b) + offsetof(BranchSource, eindex);
}

template <class Model> std::vector<PositionField> branch_source_positions() {
    const size_t base = offsetof(Model, b);
    enum { i, j, q };
    return {{"ind_iq", base + offsetof(BranchSource, ind_iq), i, q},
            {"ind_jq", base + offsetof(BranchSource, ind_jq), j, q},
            {"ind_qi", base + offsetof(BranchSource, ind_qi), q, i},
            {"ind_qj", base + offsetof(BranchSource, ind_qj), q, j}};
}

} // namespace loxant
