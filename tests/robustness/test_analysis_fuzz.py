"""Random arguments of the analyses (margins, yield, sweep): each call either runs
or is refused with a ValueError or TypeError, quickly, before any long work."""

import sys
import time
from pathlib import Path

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

sys.path.insert(0, str(Path(__file__).parent.parent / "analysis"))
from analysis_circuits import JUNCTION_RUN, biased_junction  # noqa: E402

from loxant.analysis import margins, sweep, yield_analysis  # noqa: E402

JUNK = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(10**6), 10**6),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=12),
    st.lists(st.one_of(st.floats(-200, 2000), st.text(max_size=3)), max_size=3),
    st.tuples(st.floats(-150, 150), st.floats(-150, 150)),
)
NAMES = st.lists(
    st.one_of(
        st.sampled_from(["J1", "j1", "I1", "i1.ic", "J1.IC", "global bias", "J1.v0", "nope"]),
        st.text(max_size=8),
        st.integers(),
    ),
    max_size=3,
)
FAST = settings(
    max_examples=60, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)


def _refused_or_done(call):
    started = time.perf_counter()
    try:
        call()
    except (ValueError, TypeError):
        pass
    assert time.perf_counter() - started < 20


@FAST
@given(params=NAMES, limits=JUNK, resolution=JUNK, window=JUNK)
def test_margins_arguments(params, limits, resolution, window):
    def call():
        margins(
            biased_junction(),
            params,
            limits=limits,
            resolution=resolution,  # bounded: at most 40 runs per bound
            window=window,
            global_bias=False,
            client=None,
            progress=False,
            **JUNCTION_RUN,
        )

    _refused_or_done(call)


@FAST
@given(n=JUNK, seed=JUNK, local=st.dictionaries(st.text(max_size=4), JUNK, max_size=2))
def test_yield_arguments(n, seed, local):
    def call():
        count = n if not isinstance(n, int) or n < 5 else 5
        yield_analysis(
            biased_junction(),
            count,
            seed=seed,
            local_spread=local,
            client=None,
            progress=False,
            **JUNCTION_RUN,
        )

    _refused_or_done(call)


@FAST
@given(grid=st.dictionaries(st.sampled_from(["J1", "i1", "x", ""]), JUNK, max_size=2))
def test_sweep_arguments(grid):
    def call():
        small = {k: (v[:2] if isinstance(v, list) else v) for k, v in grid.items()}
        sweep(biased_junction(), small, measure=len, client=None, progress=False, **JUNCTION_RUN)

    _refused_or_done(call)
