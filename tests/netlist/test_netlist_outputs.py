"""A netlist's own output cards write only inside the folder of the file that
holds them, unless the user allows more; a refusal names that file and line and
leaves every file as it was."""

import os

import pytest

from loxant.cli import main
from loxant.netlist import NetlistError, read_netlist

TOP = """\
* t
.model m jj(rtype=0)
B1 1 0 m
I1 0 1 1m
.tran 1p 2p
{card}
.print p(B1)
"""

# (card, where it is written: "top" or "include" (lib/out.inc), refused?)
CASES = [
    (".file out.csv", "top", False),
    (".file deeper/out.csv", "top", False),
    (".file {root}/out.csv", "top", False),  # absolute, inside the netlist's folder
    (".file {root}/lib/out.csv", "include", False),
    (".file ../notes.txt", "top", True),
    (".file deeper/../../notes.txt", "top", True),
    (".file ../notes.txt", "include", True),
    (".file {root}/notes.txt", "include", True),  # outside the included file's folder
    (".file {outside}/notes.txt", "top", True),
    (".iv m 1m {outside}/notes.txt", "top", True),
    (".iv m 1m ../notes.txt", "include", True),
    (".iv m 1m iv.csv", "include", False),
]


def _place(tmp_path, card, where):
    """The netlist path, with ``card`` written in it or in its included file."""
    root, outside = tmp_path / "work", tmp_path
    (root / "lib").mkdir(parents=True)
    card = card.format(root=root, outside=outside)
    if where == "include":
        (root / "lib" / "out.inc").write_text(card + "\n")
        card = ".include lib/out.inc"
    (root / "top.cir").write_text(TOP.format(card=card))
    return root / "top.cir"


@pytest.mark.parametrize(("card", "where", "refused"), CASES)
def test_output_cards_stay_in_their_files_folder(tmp_path, card, where, refused):
    path = _place(tmp_path, card, where)
    if not refused:
        read_netlist(path)
        return
    with pytest.raises(NetlistError) as caught:
        read_netlist(path)
    file, number = ((path, 6), (path.parent / "lib" / "out.inc", 1))[where == "include"]
    assert (caught.value.file, caught.value.line) == (str(file), number)
    assert "unless allowed (allow_outside=True" in caught.value.message
    assert read_netlist(path, allow_outside=True).file == str(path)


def test_a_refused_card_writes_nothing_and_an_allowed_one_is_announced(
    tmp_path, capsys, monkeypatch
):
    path = _place(tmp_path, ".file ../notes.txt", "top")
    (tmp_path / "notes.txt").write_text("kept\n")
    monkeypatch.chdir(path.parent)
    assert main(["run", "-q", str(path)]) == 2
    assert "top.cir:6: the output ../notes.txt climbs out" in capsys.readouterr().err
    assert (tmp_path / "notes.txt").read_text() == "kept\n"
    path.write_text(TOP.format(card=".file traces.csv"))
    assert main(["run", str(path)]) == 0
    assert "wrote 1 traces, 3 samples (csv) to traces.csv" in capsys.readouterr().out
    assert os.path.getsize(path.parent / "traces.csv") > 0
