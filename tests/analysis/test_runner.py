"""Where the runs go: the default runner keeps them in this process unless a
local cluster would finish them sooner, start included; a client given is
always used; the choice shows in the result's stats."""

import pytest
from analysis_circuits import JUNCTION_RUN, biased_junction

from loxant.analysis import margins, yield_analysis
from loxant.analysis import runner as runner_module
from loxant.analysis.runner import Runner


@pytest.mark.parametrize(
    "cores, free, runs, seconds, where, why",
    [
        (1, 1.0, 10_000, 1.0, "serial", "one core"),
        (2, 2.0, 10_000, 0.005, "serial", "shorter than 20 ms"),
        (2, 2.0, 40, 0.05, "serial", "would not pay for starting a cluster"),
        # two cores: the cluster saves a third at best, and must pay for its start
        (2, 2.0, 1_000, 0.05, "serial", "would not pay for starting a cluster"),
        (
            2,
            2.0,
            10_000,
            0.05,
            "cluster",
            "local cluster: up to 10000 more runs of 50.0 ms expected, shared out over 2 cores",
        ),
        (2, 0.8, 10_000, 0.05, "serial", "other work leaves 0.8 of 2 cores free"),
        (8, 8.0, 2_000, 0.03, "cluster", "over 8 cores"),
        (8, 8.0, 200, 0.03, "serial", "would not pay"),
    ],
)
def test_the_default_runner_picks_a_cluster_only_when_it_pays(
    monkeypatch, cores, free, runs, seconds, where, why
):
    started = []

    def start(self, client):
        started.append(client)
        self._workers_at_start = cores

    monkeypatch.setattr(runner_module, "_cores", lambda: cores)
    monkeypatch.setattr(runner_module, "_free_cores", lambda count: free)
    monkeypatch.setattr(Runner, "_start", start)
    with Runner(progress=False) as runner:
        runner.choose(runs, seconds)
    assert runner.stats["runner"] == where
    assert why in runner.stats["choice"]
    assert started == (["local"] if where == "cluster" else [])


@pytest.mark.parametrize("client, choice", [("auto", "shorter than"), (None, "client=None")])
def test_short_runs_stay_in_this_process_and_say_why(client, choice):
    result = margins(
        biased_junction(), ["J1"], resolution=5, client=client, progress=False, **JUNCTION_RUN
    )
    stats = result.stats
    assert stats["runner"] == "serial" and choice in stats["choice"]
    assert stats["workers"] == 1 and stats["connect_time"] is None
    assert 0 < stats["run_time"] < 0.02
    sample = yield_analysis(
        biased_junction(), 4, local_spread={"ic": 0.1}, progress=False, **JUNCTION_RUN
    )
    assert sample.stats["runner"] == "serial" and sample.stats["runs"] == 5


def test_a_cluster_that_cannot_start_leaves_the_runs_here(monkeypatch):
    def fail(client, owned):
        raise ImportError("No module named 'distributed'")

    monkeypatch.setattr(runner_module, "_cores", lambda: 4)
    monkeypatch.setattr(runner_module, "_free_cores", lambda count: 4.0)
    monkeypatch.setattr(runner_module, "_connect", fail)
    with Runner(progress=False) as runner:
        runner.choose(1_000, 0.1)
    assert runner.stats["runner"] == "serial"
    assert "dask.distributed is not installed" in runner.stats["choice"]
