"""The package stays in layers: tools/importgraph finds no circle, no import
from a lower layer to a higher one, and no package import inside a function."""

import importlib.machinery
import importlib.util
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

TOOL = Path(__file__).resolve().parents[2] / "tools" / "importgraph"


def _tool():
    loader = importlib.machinery.SourceFileLoader("importgraph", str(TOOL))
    module_spec = importlib.util.spec_from_loader("importgraph", loader)
    module = importlib.util.module_from_spec(module_spec)
    loader.exec_module(module)
    return module


def test_the_package_is_in_layers():
    run = subprocess.run([sys.executable, str(TOOL)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert "loxant.simulation.run -> " in run.stdout


def _package(tmp_path, files):
    root = tmp_path / "loxant"
    for name, text in {"__init__.py": "", **files}.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
    return root


@pytest.mark.parametrize(
    "files, fault",
    [
        # the simulation layer reaching up to the circuit builders
        (
            {"circuit.py": "", "simulation/__init__.py": "from ..circuit import Circuit\n"},
            "imports loxant.circuit from the higher layer 'circuit builders'",
        ),
        # a circle inside one layer
        (
            {"units.py": "from . import nodes\n", "nodes.py": "from .units import PHI0\n"},
            "circle of imports: loxant.nodes, loxant.units",
        ),
        # the circle dodged by an import inside a method
        (
            {
                "circuit.py": "def simulate():\n    from .simulation import simulate\n",
                "simulation/__init__.py": "",
            },
            "loxant.circuit:2 imports loxant.simulation inside a function",
        ),
        ({"stray.py": ""}, "loxant.stray: no layer names it"),
    ],
)
def test_faults_are_found(tmp_path, files, fault):
    tool = _tool()
    _, faults = tool.check(tool.read_imports(_package(tmp_path, files)))
    assert any(fault in f for f in faults), faults


def test_imports_resolve_to_modules():
    tool = _tool()
    root = Path(__file__).resolve().parents[2] / "python" / "loxant"
    graph = tool.read_imports(root)
    targets = {t for edges in graph.values() for t, _, _ in edges}
    assert targets <= set(graph), targets - set(graph)
    assert "version" in {t for t, _, _ in graph["cli"]}
    assert "simulation.options" in {t for t, _, _ in graph["cli.run"]}
