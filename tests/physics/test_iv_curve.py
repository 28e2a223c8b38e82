"""I-V curves from analysis.iv_curve against closed forms: the overdamped RCSJ
junction (Stewart-McCumber, beta_c -> 0) and the pieces of the gap junction's
quasiparticle branch, with the hysteresis of an underdamped junction."""

import math

import numpy as np
import pytest

pytest.importorskip("loxant.CircuitKernel")
pytest.importorskip("pandas")

from loxant.analysis import iv_curve
from loxant.netlist import Netlist
from loxant.simulation import options as run_options

IC = 100e-6


def test_overdamped_rcsj_follows_stewart_mccumber_on_both_sweeps():
    r = 5.0
    table = iv_curve({"rtype": 0, "icrit": IC, "rn": r, "cap": 1e-16}, 3 * IC, points=20)
    i, v = table.current.to_numpy(), table.voltage.to_numpy()
    running = np.abs(i) > 1.04 * IC
    expected = np.sign(i) * r * np.sqrt(np.clip(i**2 - IC**2, 0, None))
    assert np.abs(v[running] / expected[running] - 1).max() < 0.005
    assert np.abs(v[np.abs(i) < 0.96 * IC]).max() < 1e-6 * IC * r
    assert set(table.direction) == {"up", "down"} and len(table) == 81


# underdamped gap junction: subgap r0, window at vg -+ delv/2, normal rn
RN, R0, VG, DELV, ICFCT = 16.0, 30.0, 2.8e-3, 0.1e-3, math.pi / 4
V1, V2 = VG - DELV / 2, VG + DELV / 2
I1, I2 = V1 / R0, V1 / R0 + IC / ICFCT  # subgap current at V1, top of the rise


def window_voltage(i):
    return V1 + (i - I1) * ICFCT * DELV / IC


def test_gap_junction_curve_follows_the_pieces_with_hysteresis():
    model = {"rtype": 1, "icrit": IC, "rn": RN, "r0": R0, "cap": 0.5e-12}
    table = iv_curve(model, 3 * IC, points=15)
    for current, voltage, direction in table.itertuples(index=False):
        i, v = abs(current), voltage if current >= 0 else -voltage
        rising = (direction == "up") == (current >= 0)  # |I| growing
        normal = v == pytest.approx(i * RN, rel=0.005)  # V = I rn, through the origin
        on_rise = v == pytest.approx(window_voltage(i), rel=0.005)
        if rising and abs(i - IC) < 1e-3 * IC:
            assert abs(v) < 1e-3 * VG or on_rise  # at Ic itself: switching or not yet
        elif rising and i < IC:
            assert abs(v) < 1e-3 * VG  # zero-voltage state up to Ic
        elif i * RN >= V2 and (not rising or i > I2):
            assert normal
        elif i * RN >= V2:
            assert normal or on_rise  # both branches carry it: either may hold it
        elif i >= IC or (not rising and i > I1):
            assert on_rise  # the jump from zero to the gap at Ic, and back down
        elif i >= 0.4 * IC:
            assert v == pytest.approx(i * R0, rel=0.01)  # subgap, before retrapping
    # the curve is odd: the negative half mirrors the positive one
    up = table[table.direction == "up"].set_index("current").voltage
    down = table[table.direction == "down"].set_index("current").voltage
    shared = [i for i in up.index if i > 0 and -i in down.index]
    assert np.allclose(up[shared].to_numpy(), -down[[-i for i in shared]].to_numpy(), rtol=1e-4)


def test_iv_card_of_a_netlist_names_the_model_and_the_range(tmp_path):
    net = Netlist.from_string(
        f""".param IMAX=250u
.model jj1 jj(rtype=1, vg=2.8mV, cap=0.07pF, r0=160, rN=16, icrit=0.1mA)
.iv jj1 IMAX {tmp_path / "iv.csv"}
""",
        base_dir=str(tmp_path),
    )
    (request,) = net.iv_requests
    assert (request.model, request.max_current) == ("JJ1", pytest.approx(250e-6))
    model = net.junction_model("jj1")
    assert (model.rtype, model.icrit, model.rn, model.r0) == (1, 1e-4, 16.0, 160.0)


def test_a_sweep_beyond_the_recording_limit_keeps_fewer_samples_and_runs(monkeypatch):
    # 81 levels of 3000 steps, 16 bytes a sample: 3.9 MB against a limit of 1 MiB
    monkeypatch.setattr(run_options, "MAX_RECORDING_BYTES", 2**20)
    r = 5.0
    table = iv_curve({"rtype": 0, "icrit": IC, "rn": r, "cap": 1e-16}, 3 * IC, points=20)
    i, v = table.current.to_numpy(), table.voltage.to_numpy()
    running = np.abs(i) > 1.04 * IC
    expected = np.sign(i) * r * np.sqrt(np.clip(i**2 - IC**2, 0, None))
    assert np.abs(v[running] / expected[running] - 1).max() < 0.005
    assert np.abs(v[np.abs(i) < 0.96 * IC]).max() < 1e-6 * IC * r
