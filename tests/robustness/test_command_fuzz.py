"""Random command lines of ``loxant run``: every one ends with a status of 0, 1
or 2 and at most a message per netlist, never a traceback or an internal error."""

import io
import os
import sys

import pytest
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

from loxant.cli import main

GOOD = "* RC\nR1 1 0 1\nC1 1 0 1p\nI1 0 1 pwl(0 0 2p 1m)\n.tran 0.1p 10p\n.print v(1) i(R1)\n"
NETLISTS = {
    "good.cir": GOOD,
    "junction.cir": (
        ".model jm jj(rtype=1, icrit=0.1m, cap=0.07p, rn=16, r0=160)\n"
        "B1 1 0 jm area=2.16\nRS 1 2 3.2\nLS 2 0 1p\nI1 0 1 pwl(0 0 5p 0.3m)\n.tran 0.1p 20p\n"
    ),
    "noisy.cir": GOOD.replace(".tran", ".temp 4.2\n.neb 500G\n.tran"),
    "broken.cir": "R1 1 0 q(\n.tran 1p 2p\n",
    "empty.cir": "",
    "late.cir": GOOD.replace(".tran 0.1p 10p", ".tran 0.1p 10p 5p 100p"),
}
FILES = [*NETLISTS, "missing.cir", "sub/", "-"]
OUTPUTS = ["out/", ".csv", ".raw", "x.csv", "x.dat", "none/x.csv", ".", "out", ".x-y", ""]
TIMES = ["2p", "5ps", "0", "-1p", "fast", "1e9", "nan", "1e-30", "2e-12"]
PLOTS = ["p.png", "p.xyz", "p", "none/p.png"]

FUZZ = settings(
    max_examples=60,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=list(HealthCheck),
    phases=[Phase.explicit, Phase.reuse, Phase.generate],
)


@st.composite
def command_lines(draw):
    files = draw(st.lists(st.sampled_from(FILES), min_size=0, max_size=3))
    argv = ["run", *files]
    if draw(st.booleans()):
        argv += ["-o", draw(st.sampled_from(OUTPUTS))]
    if draw(st.booleans()):
        argv += ["--dt-max", draw(st.sampled_from(TIMES))]
    if draw(st.booleans()):
        argv.append("--adaptive")
    if draw(st.integers(0, 4)) == 0:
        argv += ["--plot", draw(st.sampled_from(PLOTS))]
    argv.append("-q")
    return argv


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    root = tmp_path_factory.mktemp("commands")
    for name, text in NETLISTS.items():
        (root / name).write_text(text)
    (root / "sub").mkdir()
    (root / "out").mkdir()
    return root


@FUZZ
@given(argv=command_lines())
def test_no_command_line_ends_in_a_traceback(workdir, argv):
    stdin, stdout, stderr = sys.stdin, sys.stdout, sys.stderr
    err = io.StringIO()
    previous = os.getcwd()
    try:
        os.chdir(workdir)
        sys.stdin, sys.stdout, sys.stderr = io.StringIO(GOOD), io.StringIO(), err
        try:
            status = main(argv)
        except SystemExit as exc:  # argparse: usage errors and help
            status = exc.code
    finally:
        sys.stdin, sys.stdout, sys.stderr = stdin, stdout, stderr
        os.chdir(previous)
    text = err.getvalue()
    assert status in (0, 1, 2), (argv, text)
    assert "Traceback" not in text and "internal error" not in text, (argv, text)
    files = [a for a in argv[1:] if a in FILES]
    assert len(text.strip().splitlines()) <= 3 * max(len(files), 1) + 2, (argv, text)


# ---- output paths: two outputs of one command never share a file ---------------------

PATH_NETLISTS = {
    "x.cir": GOOD,
    "a/x.cir": GOOD,
    "b/x.cir": GOOD.replace("1m)", "2m)"),
    "a/y.cir": GOOD + ".file x.csv\n.print v(1)\n",
    "b/y.cir": GOOD + ".file out/x.csv\n.print v(1)\n",
    "iv.cir": GOOD + ".model m jj(rtype=0)\n.iv m 1m x.csv\n",
}
PATH_FILES = [*PATH_NETLISTS, "a/../x.cir", "./a/x.cir"]
PATH_OUTPUTS = ["out/", "new/deeper/", ".csv", ".dat", "x.csv", "a/x.cir", "out/x.csv", "x.png"]


@st.composite
def output_command_lines(draw):
    files = draw(st.lists(st.sampled_from(PATH_FILES), min_size=1, max_size=4))
    argv = ["run", *files]
    if draw(st.booleans()):
        argv += ["-o", draw(st.sampled_from(PATH_OUTPUTS))]
    if draw(st.integers(0, 3)) == 0:
        argv += ["--plot", draw(st.sampled_from(["x.png", "x.csv", "out/x.png"]))]
    argv.append("-q")
    return argv


@pytest.fixture
def path_workdir(tmp_path):
    for name, text in PATH_NETLISTS.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    (tmp_path / "out").mkdir()
    return tmp_path


@FUZZ
@given(argv=output_command_lines())
def test_no_two_outputs_of_a_command_share_a_file(path_workdir, monkeypatch, argv):
    pytest.importorskip("matplotlib")
    import loxant.analysis.iv
    import loxant.cli.run
    import loxant.output

    written = []
    real_write = loxant.output.write_atomically

    def recording(path, write, **options):
        written.append(os.path.realpath(path))
        return real_write(path, write, **options)

    for module in (loxant.output, loxant.cli.run):
        monkeypatch.setattr(module, "write_atomically", recording)
    real_plot = loxant.cli.run.plot
    monkeypatch.setattr(
        loxant.cli.run,
        "plot",
        lambda path, *a: (written.append(os.path.realpath(path)), real_plot(path, *a)),
    )
    # a quick .iv curve: its shape is not what is tested here
    monkeypatch.setattr(loxant.analysis.iv, "iv_curve", _small_curve)
    monkeypatch.chdir(path_workdir)
    for name, text in PATH_NETLISTS.items():  # as written, whatever an example before did
        (path_workdir / name).write_text(text)
    before = dict(PATH_NETLISTS)
    err = io.StringIO()
    monkeypatch.setattr(sys, "stdout", io.StringIO())
    monkeypatch.setattr(sys, "stderr", err)
    try:
        status = main(argv)
    except SystemExit as exc:
        status = exc.code
    text = err.getvalue()
    assert status in (0, 1, 2), (argv, text)
    assert "Traceback" not in text and "internal error" not in text, (argv, text)
    assert len(written) == len(set(written)), (argv, written, text)
    files = argv[1 : next(k for k, a in enumerate(argv) if a.startswith("-"))]
    given = {os.path.realpath(a) for a in files}
    for name in PATH_NETLISTS:  # the command's own netlists are never written
        if os.path.realpath(path_workdir / name) in given:
            assert (path_workdir / name).read_text() == before[name], argv
    assert not list(path_workdir.rglob("*.part")), argv  # nothing half-written left


def _small_curve(model, max_current, **_):
    import pandas as pd

    return pd.DataFrame({"current": [0.0, 1e-3], "voltage": [0.0, 0.0], "direction": ["up"] * 2})
