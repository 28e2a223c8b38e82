"""Every input the reader takes is bounded: each fault class below is refused (or
read) in bounded time, with a NetlistError that names file, line and the limit,
and quotes no more than a short piece of the offending text."""

import io
import os
import re
import socket
import subprocess
import sys
import threading
import time
import warnings

import pytest

from loxant.netlist import Netlist, NetlistError, NetlistWarning, expand, read_netlist
from loxant.netlist.errors import clip
from loxant.netlist.expand import MAX_EXPANSION_BYTES, Expander, expansion_size
from loxant.netlist.records import Parser
from loxant.netlist.tokens import read_string

#: generous: each case takes well under a second when nothing runs away
TIMEOUT = 60.0
WHERE = re.compile(r"^[^\n]+:\d+: ")


def doubling(levels):
    """Subcircuits each holding two of the one before: 2**levels resistors."""
    lines = ["* doubling", ".subckt S0 a", "R1 a 0 1", ".ends"]
    for k in range(1, levels + 1):
        lines += [f".subckt S{k} a", f"X1 S{k - 1} a", f"X2 S{k - 1} a", ".ends"]
    return "\n".join(lines + [f"X1 S{levels} 1", "I1 0 1 1m", ".tran 1p 2p"]) + "\n"


def chain_of_cells(depth):
    lines = ["* nesting", ".subckt C0 a", "R1 a 0 1", ".ends"]
    for k in range(1, depth + 1):
        lines += [f".subckt C{k} a", f"X1 C{k - 1} a", ".ends"]
    return "\n".join(lines + [f"X1 C{depth} 1", "I1 0 1 1m"]) + "\n"


def include_chain(tmp_path, count):
    for k in range(count):
        body = f".include inc{k + 1}.cir\n" if k + 1 < count else "R1 1 0 1\nI1 0 1 1m\n"
        (tmp_path / f"inc{k}.cir").write_text(body)
    return "* chain\n.include inc0.cir\n"


def big_file(tmp_path):
    path = tmp_path / "big.cir"
    with open(path, "wb") as stream:
        stream.truncate(65 * 2**20)  # sparse: nothing is written
    return str(path)


def write(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


# (name, source: text, or a function of tmp_path giving text or a path, expected
#  message fragment or None when the netlist reads)
CASES = [
    ("expansion", lambda _: doubling(24), "more than 4 GiB"),
    ("nesting", lambda _: chain_of_cells(150), "nested more than 100 deep"),
    ("includes", lambda p: include_chain(p, 22), "includes nested more than 20 deep"),
    ("dev zero", lambda _: "* t\n.include /dev/zero\n", "not a regular file"),
    ("directory", lambda p: str(p), "not a regular file (a directory)"),
    ("size", big_file, "exceeds 64 MiB"),
    ("deep expression", lambda _: "* t\nR1 1 0 " + "(" * 30000 + "\n", "nested too deeply"),
    ("long name", lambda _: "* t\n" + "Q" * 30000 + " 1 0 1\n", "unknown element letter"),
    ("no elements", lambda _: "* t\n.tran 1p 2p\n", "the netlist has no elements"),
    ("nul", lambda p: write(p, "nul.cir", b"* t\nR1 1 0 1\x00\n"), "a NUL character"),
    ("prints", lambda _: "* t\nI1 0 1 1m\nR1 1 0 1\n" + ".print v(1)\n" * 2000, None),
    ("params", lambda _: "* t\n" + params(20000) + "I1 0 1 1m\nR1 1 0 {P19999}\n", None),
    ("T first", lambda _: "T1 1 0 2 0 td=1p z0=5\nR1 1 0 5\nR2 2 0 5\n", None),
    ("latin-1", lambda p: write(p, "l1.cir", b"* caf\xe9\nI1 0 1 1m\nR1 1 0 1\n"), None),
    ("utf-16", lambda p: write(p, "u16.cir", "* t\nI1 0 1 1m\nR1 1 0 1\n".encode("utf-16")), None),
    ("continuations", lambda _: continued(40000), None),
    ("DST UIC", lambda _: "* t\nI1 0 1 1m\nR1 1 0 1\n.tran 0.1p 100p DST UIC\n", None),
    ("DST DST", lambda _: "* t\nI1 0 1 1m\nR1 1 0 1\n.tran 0.1p 100p DST DST\n", None),
]


def continued(count):
    """A PWL source written over ``count`` continuation lines."""
    points = "".join(f"+ {k + 1}p 1u\n" for k in range(count))
    return f"* t\nI1 0 1 pwl(0 0\n{points}+ )\nR1 1 0 1\n"


def params(count):
    lines = [f".param P{k}=P{k - 1}+1" for k in range(count - 1, 0, -1)]
    return "\n".join(lines + [".param P0=0"]) + "\n"


def read(source):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", NetlistWarning)
        if "\n" in source:
            return Netlist.from_string(source)
        return read_netlist(source)


def bounded(function, *args, timeout=TIMEOUT):
    """``function(*args)``, which must end within ``timeout`` seconds: its result
    or exception."""
    outcome = {}

    def run():
        try:
            outcome["result"] = function(*args)
        except Exception as exc:  # handed to the test to check
            outcome["error"] = exc

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(timeout)
    assert not worker.is_alive(), f"still running after {timeout} s"
    return outcome.get("result"), outcome.get("error")


@pytest.mark.parametrize(("name", "source", "message"), CASES, ids=[c[0] for c in CASES])
def test_every_input_is_bounded(name, source, message, tmp_path):
    if name == "dev zero" and not os.path.exists("/dev/zero"):
        pytest.skip("no /dev/zero here")
    previous = os.getcwd()
    os.chdir(tmp_path)
    try:
        result, error = bounded(read, source(tmp_path))
    finally:
        os.chdir(previous)
    if message is None:
        assert error is None, str(error)
        assert result.probes in ([], ["V(1)"])
        return
    assert isinstance(error, NetlistError), repr(error)
    assert message in error.message
    # a file that cannot be opened has no line to name
    assert WHERE.match(str(error)) or name == "directory", str(error)
    assert len(str(error)) < 400  # quotes are short, however long the line


@pytest.mark.parametrize(
    ("flags", "settle"),
    [
        ("", True),
        ("UIC", True),
        ("DST", False),
        ("DST UIC", False),
        ("UIC DST", False),
        ("DST DST", False),
    ],
)
def test_tran_flags_end_the_card_in_any_order(flags, settle):
    text = f"* t\nI1 0 1 1m\nR1 1 0 1\n.tran 0.1p 100p 0 0.1p {flags}\n"
    _, error = bounded(Netlist.from_string, text, timeout=10.0)
    assert error is None, error
    tran = Netlist.from_string(text).tran
    assert tran.settle is settle and tran[:2] == (0.1e-12, 100e-12)


def test_decoding_is_reported_and_utf16_is_read(tmp_path):
    latin = write(tmp_path, "l1.cir", b"* caf\xe9\nI1 0 1 1m\nR1 1 0 1\n")
    with pytest.warns(NetlistWarning, match=r"l1.cir:1: not UTF-8 \(byte 0xe9\); read as latin-1"):
        read_netlist(latin)
    wide = write(tmp_path, "u16.cir", "* t\nI1 0 1 1m\nR1 1 0 1\n".encode("utf-16-be"))
    with open(wide, "rb+") as stream:  # a big-endian mark in front
        data = stream.read()
        stream.seek(0)
        stream.write(b"\xfe\xff" + data)
    assert len(read_netlist(wide).circuit().circuit) == 2


def test_a_stream_is_bounded_and_decoded_like_a_file():
    latin = io.BytesIO(b"* caf\xe9\nI1 0 1 1m\nR1 1 0 1\n")
    with pytest.warns(NetlistWarning, match="<stdin>:1: not UTF-8"):
        assert Netlist.from_stream(latin).file == "<stdin>"

    class Endless(io.RawIOBase):
        def readable(self):
            return True

        def readinto(self, buffer):
            buffer[:] = b"*" * len(buffer)
            return len(buffer)

    _, error = bounded(Netlist.from_stream, io.BufferedReader(Endless()))
    assert isinstance(error, NetlistError) and "exceeds 64 MiB" in error.message


def test_runs_without_an_analysis_or_beyond_the_step_limit_name_the_line():
    net = Netlist.from_string("* t\nI1 0 1 1m\nR1 1 0 1\n")
    with pytest.raises(NetlistError, match=r"^<string>:3: the netlist has no .tran analysis"):
        net.simulate()
    net = Netlist.from_string("* t\nI1 0 1 1m\nR1 1 0 1\n.tran 1f 1\n")
    with pytest.raises(NetlistError, match=r"^<string>:4: .*steps"):
        net.simulate()


def special_file(kind, tmp_path):
    """A path to a file that is not a regular one; the socket (an object to
    close) kept with it."""
    if kind == "fifo":
        os.mkfifo(tmp_path / "fifo")
        return str(tmp_path / "fifo"), None
    if kind == "socket":
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(str(tmp_path / "sock"))
        return str(tmp_path / "sock"), listener
    if kind == "directory":
        (tmp_path / "folder").mkdir()
        return str(tmp_path / "folder"), None
    if not os.path.exists(kind):
        pytest.skip(f"no {kind} here")
    return kind, None


SPECIAL = {
    "fifo": "a FIFO",
    "socket": "a socket",
    "directory": "a directory",
    "/dev/zero": "a character device",
    "/dev/null": "a character device",
}


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs here")
@pytest.mark.parametrize("how", ["netlist", "include", "cus"])
@pytest.mark.parametrize("kind", list(SPECIAL))
def test_files_that_are_not_regular_are_refused_at_once_and_said_once(kind, how, tmp_path):
    path, keep = special_file(kind, tmp_path)
    card = {"include": f".include {path}", "cus": f"I1 0 1 cus({path} 1p 1 0)"}.get(how)
    if card is not None:
        source = str(tmp_path / "top.cir")
        with open(source, "w") as stream:
            stream.write(f"* t\n{card}\nR1 1 0 1\n.tran 1p 2p\n")
    try:
        _, error = bounded(read, path if card is None else source, timeout=10.0)
    finally:
        if keep is not None:
            keep.close()
    assert isinstance(error, NetlistError), repr(error)
    # said once: the place, the refusal with its reason, the line quoted
    reason = f"not a regular file ({SPECIAL[kind]})"
    if how == "netlist":
        assert str(error) == f"{path}: cannot read: {reason}"
    else:
        verb = "include" if how == "include" else "read"
        quoted = f"{clip(path)}: {reason}\n    {clip(card)}"
        assert str(error) == f"{source}:2: cannot {verb} {quoted}"


def test_an_include_over_the_input_limit_is_said_once(tmp_path):
    big = big_file(tmp_path)
    (tmp_path / "top.cir").write_text(f"* t\n.include {big}\nR1 1 0 1\n")
    _, error = bounded(read, str(tmp_path / "top.cir"))
    assert isinstance(error, NetlistError), repr(error)
    assert str(error) == (
        f"{tmp_path / 'top.cir'}:2: the netlist input exceeds 64 MiB (the reader's limit "
        f"loxant.netlist.tokens.MAX_INPUT_BYTES)\n    .include {big}"
    )


def fan_out(levels, card="R1 a 0 1k"):
    """A netlist of a few hundred bytes that expands to 2**levels of ``card``."""
    return ".model jm jj(rtype=1)\n" + doubling(levels).replace("R1 a 0 1", card, 1)


def estimate(text):
    """(elements, estimated bytes) of the expansion of ``text``, nothing expanded."""
    parser = Parser("<string>", [])
    for line in read_string(text, "<string>", ".")[0]:
        parser.feed(line)
    parser.finish()
    return expansion_size(parser, Expander(parser)._which_subckt)[:2]


CARDS = ["R1 a 0 1k", "B1 a 0 jm", "L1 a b 1p\nR2 b 0 1", "I1 0 a pwl(0 0 1p 1u)\nR2 a 0 1"]


# reads and runs a netlist given on standard input: the growth of its peak
# resident memory, in bytes
MEASURE = """\
import sys, warnings
warnings.simplefilter("ignore")
from loxant.netlist import Netlist

def peak():  # this process's own (ru_maxrss may hold its parent's)
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith("VmHWM:"))
    return int(line.split()[1]) * 1024

text = sys.stdin.read()
base = peak()
net = Netlist.from_string(text)
net.simulate(record=["voltage(1)"])
print(peak() - base)
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="no /proc here")
@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""), reason="a sanitizer's own memory swamps the peak"
)
@pytest.mark.parametrize("card", CARDS[:3] + ["R1 a b 1\nR2 b 0 1"])
def test_the_memory_estimate_is_near_what_reading_and_running_take(card):
    # large enough that the interpreter's own memory is small beside it
    text = fan_out(16, card).replace(".tran 1p 2p", ".tran 1p 2p DST")
    count, memory = estimate(text)
    assert count == 2**16 * (card.count("\n") + 1) + 1
    child = subprocess.run(
        [sys.executable, "-c", MEASURE], input=text, capture_output=True, text=True, check=True
    )
    peak = int(child.stdout)
    assert 0.8 < memory / peak < 1.4, (memory, peak)


@pytest.mark.parametrize("card", CARDS[:2])
def test_the_expansion_is_refused_on_its_memory_before_any_is_built(card):
    text = fan_out(24, card)  # 16 million: past the limit even held as columns
    assert len(text) < 1024
    started = time.monotonic()
    _, error = bounded(read, text, timeout=20.0)
    assert time.monotonic() - started < 5.0  # counted, not expanded
    assert isinstance(error, NetlistError), repr(error)
    expected = f"about {estimate(text)[1] / 2**30:.3g} GiB of memory, more than 4 GiB"
    assert expected in error.message
    assert "(the limit loxant.netlist.expand.MAX_EXPANSION_BYTES)" in error.message
    assert WHERE.match(str(error))


@pytest.mark.parametrize("card", CARDS[:2])
def test_a_million_elements_are_within_the_limit(card):
    count, memory = estimate(fan_out(20, card))
    assert count == 2**20 + 1 and memory < MAX_EXPANSION_BYTES


@pytest.mark.parametrize(("values", "count"), [("1 2,3\n4\t5", None), ("1 2 3 4 5 ,6", 6), ("", 0)])
def test_a_custom_wave_is_counted_before_it_is_read(values, count, tmp_path, monkeypatch):
    monkeypatch.setattr(expand, "MAX_CUSTOM_POINTS", 5)
    (tmp_path / "w.txt").write_text(values)
    text = "* t\nR1 1 0 1\nI1 0 1 cus(w.txt 1p)\n.tran 1p 2p\n"
    if count is None:
        assert Netlist.from_string(text, base_dir=str(tmp_path)).circuit()
        return
    with pytest.raises(NetlistError) as caught:
        Netlist.from_string(text, base_dir=str(tmp_path))
    assert caught.value.message == (
        f"w.txt: needs 1 to 5 finite values, has {count} "
        "(the limit loxant.netlist.expand.MAX_CUSTOM_POINTS)"
    )


def test_millions_of_short_lines_are_refused_before_they_are_read(tmp_path):
    # 64 MiB allows seven million lines of a resistor: refused on their count,
    # before any is lexed (each would take a kilobyte or more until built)
    (tmp_path / "many.inc").write_text("R1 1 0 1\n" * 2_100_000)
    (tmp_path / "top.cir").write_text("* t\n.include many.inc\n")
    started = time.monotonic()
    for source in ("R1 1 0 1\n" * 2_100_000, str(tmp_path / "top.cir")):
        _, error = bounded(read, source)
        assert isinstance(error, NetlistError), repr(error)
        assert "exceeds 2,000,000 lines (the reader's limit" in error.message
    assert time.monotonic() - started < 20.0
