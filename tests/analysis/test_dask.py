"""The analyses on a local Dask cluster of two single-threaded worker processes:
the same tables as in this process, a worker killed in the middle of an
analysis, and Ctrl-C."""

import gc
import os
import signal
import threading
import time

import numpy as np
import pytest
from analysis_circuits import (
    JTL_RUN,
    JUNCTION_RUN,
    KillOnce,
    biased_junction,
    jtl,
    kill_when_switching,
    slow_measure,
)

from loxant.analysis import GLOBAL_BIAS, MeanVoltage, margins, scale, sweep, yield_analysis

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
    import dask

    # one retry on another worker after a worker dies with a run, then the run fails;
    # a worker holds one run at a time, so a dying worker takes no queued run with it
    config = {
        "distributed.scheduler.allowed-failures": 1,
        "distributed.scheduler.worker-saturation": 1.0,
    }
    with dask.config.set(config):
        cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        )
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


def _scheduler_tasks(client):
    return client.run_on_scheduler(
        lambda dask_scheduler: sum(k.startswith("loxant-run") for k in dask_scheduler.tasks)
    )


def test_margins_on_the_cluster_equal_the_serial_ones(client):
    run = dict(params=["J2", "L2", GLOBAL_BIAS], progress=False, **JTL_RUN)
    serial = margins(jtl(), client=None, **run)
    parallel = margins(jtl(), client=client, **run)
    assert serial.table.equals(parallel.table)
    assert serial.runs.equals(parallel.runs)
    # a client given is used however short the runs
    assert parallel.stats["runner"] == "cluster" and parallel.stats["workers"] == 2
    assert parallel.stats["choice"] == "the client given"
    assert parallel.critical_parameter == serial.critical_parameter


def test_yield_and_sweep_on_the_cluster_equal_the_serial_ones(client):
    run = dict(local_spread={"ic": 0.1}, seed=11, progress=False, **JUNCTION_RUN)
    serial = yield_analysis(biased_junction(), 24, client=None, **run)
    parallel = yield_analysis(biased_junction(), 24, client=client.scheduler.address, **run)
    assert serial.samples.equals(parallel.samples)
    assert serial.interval == parallel.interval

    grid = {"I1": scale([0.8, 1.2, 1.4]), "J1.ic": scale([0.9, 1.1])}
    measure = MeanVoltage("J1", t_from=50.0)
    tables = [
        sweep(biased_junction(), grid, measure=measure, client=c, progress=False, **JUNCTION_RUN)
        for c in (None, client)
    ]
    assert tables[0].equals(tables[1])
    assert list(tables[0].columns) == ["I1", "J1.ic", "value", "passed", "reason", "message"]
    running = tables[0]["I1"] * 0.9 > tables[0]["J1.ic"]
    assert (tables[0]["value"][running] > 0.1).all()
    assert np.allclose(tables[0]["value"][~running], 0.0, atol=1e-6)


def test_a_killed_worker_loses_no_run(client, tmp_path):
    # The sixth run to be judged kills its worker: Dask runs it again elsewhere.
    counter = tmp_path / "judged"
    result = yield_analysis(
        biased_junction(),
        16,
        local_spread={"ic": 0.1},
        criterion=KillOnce(counter),
        client=client,
        progress=False,
        **JUNCTION_RUN,
    )
    assert (tmp_path / "judged.killed").exists()
    assert list(result.samples["sample"]) == list(range(16))
    # every run was judged (the nominal one too), the killed one twice
    assert result.passed == 16 and counter.stat().st_size >= 16 + 1 + 1
    client.wait_for_workers(2, timeout=60)


def test_a_run_that_keeps_killing_workers_is_reported_failed(client):
    # A run that kills every worker it runs on fails with reason "worker"; the others
    # finish.  It comes last, so that no other run waits behind it on a worker: a run
    # queued on a dying worker shares its fate.
    grid = {"J1.ic": [1.1, 1.2, 0.5]}  # 0.5 (absolute, nominal 1): the junction runs away
    table = sweep(
        biased_junction(),
        grid,
        measure=kill_when_switching,
        client=client,
        progress=False,
        **JUNCTION_RUN,
    )
    client.wait_for_workers(2, timeout=300)
    assert list(table["J1.ic"]) == [1.1, 1.2, 0.5]
    assert [r if isinstance(r, str) else None for r in table["reason"]] == [None, None, "worker"]
    assert list(table["passed"]) == [True, True, False]


def test_ctrl_c_cancels_outstanding_runs(client):
    gc.collect()  # runs of the other tests
    assert _scheduler_tasks(client) == 0
    grid = {"I1": scale(np.linspace(0.5, 0.8, 40))}
    # a real SIGINT, as Ctrl-C sends: unlike interrupt_main it also wakes a main
    # thread blocked waiting for the next finished run
    timer = threading.Timer(1.5, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    started = time.perf_counter()
    with pytest.raises(KeyboardInterrupt):
        sweep(
            biased_junction(),
            grid,
            measure=slow_measure,
            client=client,
            progress=False,
            **JUNCTION_RUN,
        )
    timer.cancel()
    assert time.perf_counter() - started < 10  # 40 runs of 0.5 s on 2 workers: 10 s
    deadline = time.monotonic() + 10
    while _scheduler_tasks(client) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert _scheduler_tasks(client) == 0


def test_the_design_goes_to_the_cluster_once(client, monkeypatch):
    submitted, mapped = [], []
    submit, map_ = client.submit, client.map

    def counting_submit(func, *args, key=None, **kwargs):
        submitted.append(key)
        return submit(func, *args, key=key, **kwargs)

    def counting_map(func, *iterables, **kwargs):
        mapped.append([list(iterable) for iterable in iterables])
        return map_(func, *iterables, **kwargs)

    monkeypatch.setattr(client, "submit", counting_submit)
    monkeypatch.setattr(client, "map", counting_map)
    run = dict(local_spread={"ic": 0.1}, seed=3, progress=False, **JUNCTION_RUN)
    result = yield_analysis(biased_junction(), 12, client=client, **run)
    assert result.n == 12
    # one design and one criterion made on the cluster; the runs refer to them
    assert sorted(key.split("-")[1] for key in submitted) == ["Design", "EventCriterion"]
    designs = {id(d) for designs, *_ in mapped for d in designs}
    assert len(designs) == 1
    assert all(isinstance(d, distributed.Future) for designs, *_ in mapped for d in designs)
