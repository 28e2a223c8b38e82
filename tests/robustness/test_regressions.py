"""Faults the fuzzing and leak runs found, each pinned by a case that a release
build shows without a sanitizer: writes outside the arrays, Python code run by
finalizers in the middle of a table or binding update, and the end of the
process."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from circuit_bench import HAS_TJM, ModuleSnapshot, attempt

import loxant.CircuitKernel as ck
from harness import Element, Harness
from loxant import lxglobals


@pytest.fixture(autouse=True)
def untouched_modules():
    with ModuleSnapshot():
        yield


def run_fresh(code, **environment):
    """Runs code in a new interpreter; returns (exit code, stderr)."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=dict(os.environ, OPENBLAS_NUM_THREADS="1", **environment),
    )
    return result.returncode, result.stderr


# ---- elements grounded at both ends ---------------------------------------------------

TWO_TERMINAL = [
    ("InductorModel", [1.0]),
    ("ResistorModel", [1.0]),
    ("CapacitorModel", [1.0]),
    ("JunctionModel", [1.0, 1.0, 1.0]),
    ("JunctionRSJNModel", [1.0, 1.0, 1.0, 2.0, 1.0]),
    ("JunctionRSJPHModel", [1.0, 1.0, 1.0, 0.5]),
    ("CurrentSourceModel", [1.0]),
] + ([("JunctionTJMModel", [None, 1.0, 1.0])] if HAS_TJM else [])


@pytest.mark.parametrize("name, params", TWO_TERMINAL)
@pytest.mark.parametrize("ind_jj", [0, 6])
def test_element_grounded_at_both_ends_writes_nothing(name, params, ind_jj):
    """Ground has no row, column or entry: such an element stamps nowhere, not
    at ind_jj (here inside or past the value arrays) nor before B."""
    h = Harness(2)
    model = getattr(ck, name)(0, 0, 0)
    model.SetParameters(params)
    model.InitModel(0, 0, 0, ind_jj)
    h.add(model)
    # Each argument is a window into a larger array whose rest must stay 0.
    under = [np.zeros(10) for _ in range(4)]
    a0, a1, a2 = (u[1:5] for u in under[:3])
    b = under[3][1:3]
    ck.BuildStaticMatrix(a0)
    ck.BuildMatrix(a1, a2, b)
    ck.UpdateMatrix(a2, b)
    ck.UpdateRHS(b)
    ck.UpdateValues()
    for u in under:
        assert not u.any()


def test_counts_beyond_the_list_are_index_errors_not_allocations():
    """TotalElements is read before the list: a huge count with a short list
    is an IndexError, even where the count's worth of table cannot be had."""
    if "asan" in os.environ.get("LD_PRELOAD", "") or not sys.platform.startswith("linux"):
        pytest.skip("needs an address-space limit, which the sanitizer cannot run under")
    code, err = run_fresh(
        """
        import resource
        import loxant.CircuitKernel as ck
        from loxant import lxglobals
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
        class E:
            model = ck.ElementModel()
        lxglobals.TotalNodes = 1
        lxglobals.ElementList = lxglobals.SourceElementList = [E()]
        for name in ("TotalElements", "TotalSourceElements"):
            lxglobals.TotalElements = lxglobals.TotalSourceElements = 1
            setattr(lxglobals, name, 2**31 - 1)
            try:
                ck.InitElementModels()
            except IndexError:
                pass
        """
    )
    assert code == 0, err


# ---- finalizers that run Python code in the middle of an update -------------------------


def test_finalizer_run_by_replacing_the_table_sees_only_the_new_one():
    """Dropping the old table's last references runs their finalizers; a kernel
    called from one must find the new table complete and checked, never the
    old, half-released one."""
    h = Harness(3)
    under = np.zeros(4)
    b = under[:2]  # B reaches unknowns 1 and 2 only
    seen = []

    class Finalized(ck.CurrentSourceModel):
        def __del__(self):
            b[:] = 0.0
            seen.append(attempt(ck.UpdateRHS, b))

    for node in (1, 2):
        model = Finalized(node, 0, node - 1)
        model.SetParameters([1.0])
        model.InitModel(0, 0, 0, 0)
        h.add(model)
    del model
    newcomers = [ck.CurrentSourceModel(1, 0, 0), ck.CurrentSourceModel(3, 0, 1)]
    for model in newcomers:  # the second lies beyond b and must be refused
        model.SetParameters([5.0])
        model.InitModel(0, 0, 0, 0)
    ck.UpdateRHS(b)  # the checks of the old table are fresh now
    h.elements.clear()
    lxglobals.ElementList = [Element(model) for model in newcomers]
    ck.InitElementModels()
    assert len(seen) == 2
    assert all(isinstance(error, IndexError) for error in seen), seen
    assert not under.any()


def test_finalizer_run_by_rebinding_sees_the_new_arrays():
    """InitModel drops its hold on the arrays it bound before; if that runs a
    finalizer, the model is already bound to the new arrays."""
    h = Harness(2)
    model = ck.JunctionModel(1, 0, 0)
    model.SetParameters([1.0, 1.0, 1.0])
    model.InitModel(0, 0, 0, 0)
    h.add(model)
    phases = []

    class Finalized(np.ndarray):
        def __del__(self):
            ck.UpdateValues()
            phases.append(lxglobals.ElementPhase[0])

    # Bound last and dropped last: every other array is released before it.
    lxglobals.ElementDec = np.zeros(4, np.uint8).view(Finalized)
    model.InitModel(0, 0, 0, 0)
    for name in ("ElementPhase", "ElementVoltage", "ElementCurrent", "ElementDec"):
        setattr(lxglobals, name, np.zeros(4, getattr(lxglobals, name).dtype))
    lxglobals.NodePhase[:] = 0.25
    model.InitModel(0, 0, 0, 0)
    assert phases == [0.25]


def test_process_ends_cleanly_with_models_in_the_table():
    """The table outlives the interpreter: at exit it must not release its
    models without one (a Python subclass instance would abort the process)."""
    tests = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    code, err = run_fresh(
        """
        import loxant.CircuitKernel as ck
        from harness import Harness

        class Sub(ck.ResistorModel):
            pass

        h = Harness(2)
        for model in (Sub(1, 0, 0), ck.JunctionModel(1, 2, 1)):
            model.InitModel(0, 1, 2, 3)
            h.add(model)
        """,
        PYTHONPATH=os.pathsep.join([tests, os.environ.get("PYTHONPATH", "")]),
    )
    assert code == 0, err
