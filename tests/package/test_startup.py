"""What a process loads before it does anything: ``import loxant`` and the
``loxant`` command load NumPy only when they need it, the public names resolve
to the objects their modules define, and the command starts NumPy with one BLAS
thread.  Each case runs in a fresh interpreter, whose modules are its own."""

import os
import subprocess
import sys
import textwrap

import pytest

DECK = """\
* two junctions, their bias and a load
.model jj1 jj(rtype=1, vg=2.8mV, cap=0.07pF, r0=160, rn=16, icrit=0.1mA)
I1 0 1 pulse(0 600u 10p 2p 2p 3p)
L1 1 2 2p
B1 2 0 jj1 area=2.5
IB1 0 2 pwl(0 0 5p 175u)
R1 2 0 100
.tran 0.025p 40p
.print p(B1)
.end
"""

#: modules no plain run needs
HEAVY = ("pandas", "dask", "distributed", "matplotlib", "scipy", "loxant.analysis")


def _fresh(code, *args, **environment):
    """The standard output of ``code`` run in a new interpreter."""
    env = {k: v for k, v in os.environ.items() if k != "OPENBLAS_NUM_THREADS"}
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        capture_output=True,
        text=True,
        env={**env, **environment},
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_the_package_loads_numpy_on_first_use_of_what_needs_it():
    code = """
        import sys
        import loxant
        loxant.__version__, loxant.CircuitError
        before = "numpy" in sys.modules
        reader = loxant.netlist.reader  # a submodule, not imported yet, as an attribute
        print(before, "numpy" in sys.modules, reader.__name__)
    """
    assert _fresh(code) == "False True loxant.netlist.reader"


def test_a_run_through_the_command_loads_no_analysis(tmp_path):
    deck, out = tmp_path / "deck.cir", tmp_path / "out.csv"
    deck.write_text(DECK)
    code = f"""
        import sys
        from loxant.__main__ import entry
        sys.argv = ["loxant", "run", "-q", sys.argv[1], "-o", sys.argv[2]]
        status = entry()
        heavy = {HEAVY!r}
        print(status, sorted(m for m in sys.modules if m.split(".")[0] in heavy or m.startswith(heavy)))
    """
    assert _fresh(code, deck, out) == "0 []"
    assert out.read_text().startswith('time,"P(B1)"')


def test_public_names_are_their_modules_objects():
    """Each name of ``loxant.__all__`` is the object the module defining it holds
    (``simulate`` is the front door, not the simulation layer's), ``import *``
    gives every name, and an unknown name is an AttributeError."""
    code = """
        import loxant
        from loxant import analysis, circuit, errors, frontdoor, netlist, physical
        from loxant import simulation, units, version, waveforms
        homes = (analysis, circuit, errors, frontdoor, netlist, physical, simulation, units,
                 version, waveforms)
        fresh = {}
        exec("from loxant import *", fresh)
        for name in loxant.__all__:
            owners = [m for m in homes if name in getattr(m, "__all__", dir(m))]
            assert owners and getattr(loxant, name) is getattr(owners[0], name), name
            assert fresh[name] is getattr(loxant, name), name
        assert loxant.simulate is frontdoor.simulate is not simulation.simulate
        assert loxant.netlist.reader.read_netlist is loxant.read_netlist
        assert set(loxant.__all__) <= set(dir(loxant))
        try:
            loxant.no_such_name
        except AttributeError as exc:
            print(exc)
    """
    assert _fresh(code) == "module 'loxant' has no attribute 'no_such_name'"


@pytest.mark.skipif(
    not os.path.isdir("/proc/self/task") or (os.cpu_count() or 1) < 2,
    reason="counts the process's threads; one processor starts no BLAS threads anyway",
)
@pytest.mark.parametrize("user_setting, threads", [(None, 1), ("2", 2)])
def test_the_command_starts_numpy_with_one_blas_thread_unless_told(user_setting, threads):
    code = """
        import os
        import loxant.__main__
        print(len(os.listdir("/proc/self/task")))
    """
    environment = {} if user_setting is None else {"OPENBLAS_NUM_THREADS": user_setting}
    assert _fresh(code, **environment) == str(threads)
