"""Yield of a biased junction that works while its critical current stays above
the bias: with Ic = 1 + sigma z the yield is the normal probability
Phi((1 - Ib) / sigma), which must lie in the analysis' confidence interval."""

from statistics import NormalDist

import pytest
from analysis_circuits import BIAS, JUNCTION_RUN, FakeNetlist, biased_junction

from loxant.analysis import yield_analysis
from loxant.analysis.montecarlo import sample_generator, wilson_interval

SIGMA = 0.1
EXPECTED = NormalDist().cdf((1 - BIAS) / SIGMA)


@pytest.mark.parametrize(
    "source, n, spreads",
    [
        (biased_junction, 200, {"local_spread": {"ic": SIGMA}}),
        (biased_junction, 80, {"global_spread": {"ic": SIGMA}}),
        (biased_junction, 60, {"local_spread": {"J1": SIGMA}}),
        (FakeNetlist, 80, {}),  # the netlist's own gauss() on IC
    ],
)
def test_yield_of_a_biased_junction_is_the_normal_probability(source, n, spreads):
    run = {} if source is FakeNetlist else JUNCTION_RUN  # a netlist has its .tran
    result = yield_analysis(source(), n, seed=7, client=None, progress=False, **spreads, **run)
    lo, hi = result.interval
    assert lo <= EXPECTED <= hi
    assert hi - lo < 0.2
    assert result.n == n and result.passed == int(result.samples["passed"].sum())
    samples = result.samples
    # every failure is the junction running away, and exactly where Ic < Ib (but
    # for a sample so near the threshold that it turns too late to be seen)
    ic = samples["J1.ic"]
    clear = (ic - BIAS).abs() > 2e-3
    assert (samples["passed"] == (ic > BIAS))[clear].all()
    assert set(samples.loc[~samples["passed"], "reason"]) == {"criterion"}


def test_samples_are_reproducible_and_depend_on_seed_and_index():
    run = dict(local_spread={"ic": SIGMA}, client=None, progress=False, **JUNCTION_RUN)
    first = yield_analysis(biased_junction(), 12, seed=3, **run).samples
    again = yield_analysis(biased_junction(), 12, seed=3, **run).samples
    other = yield_analysis(biased_junction(), 12, seed=4, **run).samples
    assert first.equals(again)
    assert not first["J1.ic"].equals(other["J1.ic"])
    # sample k is the same whatever the number of samples
    fewer = yield_analysis(biased_junction(), 5, seed=3, **run).samples
    assert fewer.equals(first.iloc[:5])
    assert sample_generator(3, 1).standard_normal() != sample_generator(3, 2).standard_normal()


@pytest.mark.parametrize("passed, n", [(0, 10), (3, 10), (84, 100), (100, 100), (1, 7)])
def test_wilson_interval_matches_scipy(passed, n):
    stats = pytest.importorskip("scipy.stats")
    expected = stats.binomtest(passed, n).proportion_ci(0.95, method="wilson")
    assert wilson_interval(passed, n) == pytest.approx((expected.low, expected.high), abs=1e-12)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({}, "nothing varies"),
        ({"local_spread": {"x": 0.1}}, "unknown kind 'x'"),
        ({"global_spread": {"J1": 0.1}}, "unknown kind 'J1'"),
        ({"local_spread": {"ic": -0.1}}, ">= 0"),
        ({"local_spread": {"ic": 0.1}, "seed": -1}, "seed"),
        ({"local_spread": {"ic": 0.1}, "n": 0}, "positive"),
    ],
)
def test_bad_yield_arguments(kwargs, message):
    kwargs = {"n": 3, **kwargs}
    with pytest.raises(ValueError, match=message):
        yield_analysis(biased_junction(), client=None, progress=False, **kwargs, **JUNCTION_RUN)


def test_sweep_of_a_netlist_param_counts_the_josephson_turns():
    from loxant.analysis import SwitchCount, sweep

    points = [{"IB": 0.5}, {"IB": 1.2}, {"IB": 1.5}]
    table = sweep(
        FakeNetlist(), points=points, measure=SwitchCount("J1"), client=None, progress=False
    )
    assert list(table.columns) == ["IB", "value", "passed", "reason", "message"]
    assert table["value"][0] == 0
    # overdamped: 2 pi turns at the rate sqrt(Ib**2 - Ic**2) / 2 pi once the bias is up
    for row in table.iloc[1:].itertuples():
        expected = (100.0 - 10.0) * (row.IB**2 - 1) ** 0.5 / (2 * 3.141592653589793)
        assert abs(row.value - expected) <= 2
    with pytest.raises(ValueError, match="either a grid"):
        sweep(FakeNetlist(), {"IB": [1.0]}, points=points, measure=len, client=None)
    with pytest.raises(ValueError, match="same parameters"):
        sweep(FakeNetlist(), points=[{"IB": 1.0}, {"IC": 1.0}], measure=len, client=None)


SPREAD_NETLIST = """* biased junction whose area varies uniformly by .spread
.model jj0 jj(rtype=0, icrit=100u, rn=4, cap=0.05p)
B1 a 0 jj0
I1 0 a pwl(0 0 20p 90u)
.spread 0.2
.tran 0.1p 200p
.print p(B1)
.end
"""


def test_a_netlists_spread_is_the_default_distribution(tmp_path):
    # the junction works while its area stays above the bias of 0.9, so with a
    # uniform area in 1 +- 0.2 the yield is 0.75
    path = tmp_path / "spread.cir"
    path.write_text(SPREAD_NETLIST)
    result = yield_analysis(str(path), 120, seed=5, client=None, progress=False)
    lo, hi = result.interval
    assert lo <= 0.75 <= hi and 0 < result.passed < result.n
    assert set(result.samples.loc[~result.samples["passed"], "reason"]) == {"criterion"}
