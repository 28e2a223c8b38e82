"""Import, re-import and the module's globals."""

import importlib
import subprocess
import sys
import textwrap

import pytest

import loxant.CircuitKernel as ck


def run_fresh(code):
    """Runs code in a new interpreter, so module state starts clean."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_reimport_gives_the_same_module_and_functions():
    build_matrix = ck.BuildMatrix
    del sys.modules["loxant.CircuitKernel"]
    again = importlib.import_module("loxant.CircuitKernel")
    assert again is ck
    importlib.reload(ck)
    assert ck.BuildMatrix is build_matrix
    assert ck.ElementModel is again.ElementModel


def test_globals_are_bound_in_order_at_import():
    out = run_fresh(
        """
        import loxant.CircuitKernel as ck, numpy, warnings
        from loxant import SimulationParameters, lxglobals, lxconfig
        names = [n for n in vars(ck) if n in ("np", "SP", "lxglobals", "lxconfig",
                                             "RHSHelper", "NTHREADS")]
        print(names)
        print(ck.np is numpy, ck.SP is SimulationParameters, ck.lxglobals is lxglobals,
              ck.lxconfig is lxconfig, ck.RHSHelper, ck.NTHREADS, ck.__test__)
        """
    )
    assert out.splitlines() == [
        "['np', 'SP', 'lxglobals', 'lxconfig', 'RHSHelper', 'NTHREADS']",
        "True True True True None 4 {}",
    ]


def test_import_raises_no_warning():
    out = run_fresh(
        """
        import warnings
        warnings.simplefilter("error")
        import loxant.CircuitKernel, loxant.SparseDirect
        print("ok")
        """
    )
    assert out.strip() == "ok"


def test_model_classes_derive_from_element_model():
    model_classes = [
        obj for name, obj in vars(ck).items() if isinstance(obj, type) and name.endswith("Model")
    ]
    assert ck.ElementModel in model_classes and len(model_classes) > 2
    for cls in model_classes:
        assert cls.__module__ == "loxant.CircuitKernel"
        if cls is not ck.ElementModel:
            assert cls.__bases__ == (ck.ElementModel,)
        assert not hasattr(cls.__new__(cls), "__dict__")


def test_a_second_interpreter_cannot_load_the_module():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    # The package imports NumPy, which refuses sub-interpreters itself, so the
    # sub-interpreter creates the extension module straight from its file.
    out = run_fresh(
        f"""
        import loxant.CircuitKernel as ck
        import {interpreters.__name__} as interpreters
        interp = interpreters.create()
        code = (
            "import importlib.util\\n"
            "found = importlib.util.spec_from_file_location('loxant.CircuitKernel', %r)\\n"
            "try:\\n"
            "    importlib.util.module_from_spec(found)\\n"
            "except ImportError as error:\\n"
            "    print(error)\\n"
        ) % ck.__file__
        interpreters.run_string(interp, code)
        """
    )
    assert "Interpreter change detected" in out
