"""Random forms of the reader's newer checks: .tran flags, output paths,
continuation lines, waveform times and zero-ohm resistors.  Each reads in
bounded time, or is refused once with file and line; what is read means what
the plain form means."""

import os
import re
import warnings

from bounded import time_limit
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from loxant import Netlist, NetlistError
from loxant.netlist import NetlistWarning
from loxant.units import to_si

FUZZ = settings(
    max_examples=60, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)
BASE = "* fuzz\nI1 0 1 pwl(0 0 5p 100u)\nR1 1 0 5\n"


def read(text, **options):
    with warnings.catch_warnings(), time_limit(20.0):
        warnings.simplefilter("ignore", NetlistWarning)
        return Netlist.from_string(text, **options)


@FUZZ
@given(st.lists(st.sampled_from(["DST", "UIC", "dst", "uic", "Dst"]), max_size=5))
def test_tran_flags_in_any_number_and_order(flags):
    tran = read(BASE + ".tran 0.1p 5p " + " ".join(flags) + "\n").tran
    assert tran.settle == (not any(f.upper() == "DST" for f in flags))


part = st.sampled_from(["..", ".", "a", "b", "out.csv", ""])


@FUZZ
@given(
    parts=st.lists(part, min_size=1, max_size=6),
    absolute=st.booleans(),
    card=st.sampled_from([".file", ".iv"]),
)
def test_output_paths_stay_in_the_folder_or_are_refused(parts, absolute, card, tmp_path_factory):
    folder = tmp_path_factory.mktemp("net")
    path = os.path.join(str(folder) if absolute else "", *parts) or "x"
    line = f".file {path}" if card == ".file" else f".model m jj(rtype=0)\n.iv m 1m {path}"
    text = BASE + ".tran 0.1p 5p\n" + line + "\n.print v(1)\n"
    where = os.path.abspath(os.path.join(str(folder), path))
    inside = os.path.commonpath([where, str(folder)]) == str(folder)
    previous = os.getcwd()
    os.chdir(folder)  # relative paths are taken from the current folder
    try:
        read(text, base_dir=str(folder))
        assert inside, path
    except NetlistError as exc:
        assert "unless allowed" in exc.message and exc.line == (5 if card == ".file" else 6), exc
        assert not inside or ".." in os.path.normpath(path).split(os.sep), path
        read(text, base_dir=str(folder), allow_outside=True)
    finally:
        os.chdir(previous)


@FUZZ
@given(st.lists(st.integers(0, 6), max_size=8))
def test_continuation_lines_read_as_one_line(breaks):
    words = "I2 0 2 pwl(0 0 1p 10u 2p 20u 3p 30u)".replace("(", " ( ").replace(")", " ) ").split()
    lines, current = [], []
    for k, word in enumerate(words):
        current.append(word)
        if k in breaks and k + 1 < len(words):
            lines.append(" ".join(current))
            current = []
    lines.append(" ".join(current))
    text = BASE + "\n+ ".join(lines) + "\nR2 2 0 1\n.tran 0.1p 5p\n"
    ours, plain = read(text).circuit(), read(BASE + " ".join(words) + "\nR2 2 0 1\n").circuit()
    assert ours["I2"].waveform(3.0) == plain["I2"].waveform(3.0)


@FUZZ
@given(st.lists(st.sampled_from([0, 1, 2, 5, 201, 300, 1000]), min_size=2, max_size=5))
def test_decreasing_times_are_quoted_as_written(times):
    points = " ".join(f"{t}p {k}u" for k, t in enumerate(times))
    try:
        read(f"* fuzz\nI1 0 1 pwl({points})\nR1 1 0 5\n.tran 0.1p 5p\n")
        assert times == sorted(times)
    except NetlistError as exc:
        after, before = re.search(r"\((.+) follows (.+)\)", exc.message).groups()
        pair = (to_si(after.replace(" ", ""), "s"), to_si(before.replace(" ", ""), "s"))
        assert any(
            abs(pair[0] - a * 1e-12) < 1e-24 and abs(pair[1] - b * 1e-12) < 1e-24
            for b, a in zip(times, times[1:])
            if a < b
        ), exc.message


@FUZZ
@given(st.lists(st.sampled_from(["0", "0.0", "1", "0p", "2"]), min_size=1, max_size=6))
def test_zero_ohm_resistors_are_shorts_warned_of_once(values):
    cards = "".join(f"R{k + 2} {k + 1} {k + 2} {v}\n" for k, v in enumerate(values))
    text = f"* fuzz\nI1 0 1 pwl(0 0 5p 100u)\n{cards}R99 {len(values) + 1} 0 5\n.tran 0.1p 5p\n"
    with warnings.catch_warnings(record=True) as caught, time_limit(20.0):
        warnings.simplefilter("always", NetlistWarning)
        net = Netlist.from_string(text)
    said = [w for w in caught if "read as a short" in str(w.message)]
    assert len(said) == (1 if any(float(to_si(v, "ohm")) == 0 for v in values) else 0)
    kinds = {e.name: e.kind for e in net.circuit().circuit.elements}
    for k, v in enumerate(values):
        assert (kinds[f"R{k + 2}"] == "resistor") == (to_si(v, "ohm") != 0)
