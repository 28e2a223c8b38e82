"""A Dask cluster that goes away or never was one: a scheduler killed in the
middle of a sweep or a yield, a worker lost while the design is copied out, an
address where something else listens.  Each ends in bounded time, with one
error and the runs that finished kept."""

import json
import os
import socket
import subprocess
import sys
import threading
import time

import pytest
from analysis_circuits import JUNCTION_RUN, KillScheduler, biased_junction

from loxant.analysis import MeanVoltage, scale, sweep, yield_analysis
from loxant.analysis import cluster as cluster_module
from loxant.analysis.runner import ClusterLost, SchedulerError
from loxant.cli import main

distributed = pytest.importorskip("distributed")

GRID = {"I1": scale([0.5 + 0.02 * k for k in range(16)])}


def _start(argv, env):
    return subprocess.Popen(
        [sys.executable, "-m", *argv], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
    )


@pytest.fixture
def scheduler(tmp_path):
    """A scheduler and two single-threaded workers in processes of their own:
    (address, scheduler process)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    file = tmp_path / "scheduler.json"
    process = _start(
        ["distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0",
         "--no-dashboard", "--scheduler-file", str(file)],
        env,
    )  # fmt: skip
    deadline = time.monotonic() + 60
    while not file.exists() and time.monotonic() < deadline:
        time.sleep(0.1)
    time.sleep(0.2)  # written whole
    address = json.loads(file.read_text())["address"]
    workers = _start(
        ["distributed.cli.dask_worker", address, "--nworkers", "2", "--nthreads", "1",
         "--no-dashboard"],
        env,
    )  # fmt: skip
    with distributed.Client(address) as client:
        client.wait_for_workers(2, timeout=120)
    yield address, process
    for started in (workers, process):
        started.kill()
        started.wait()


def test_a_scheduler_killed_mid_sweep_ends_it_keeping_the_rows_done(scheduler, tmp_path):
    address, process = scheduler
    measure = {"v": KillScheduler(process.pid, tmp_path / "count", after=8)}
    run = dict(measure=measure, progress=False, **JUNCTION_RUN)
    started = time.monotonic()
    with pytest.raises(
        ClusterLost, match=r"the cluster was lost \(.*\) after \d+ of 16 runs"
    ) as lost:
        sweep(biased_junction(), GRID, client=address, **run)
    assert time.monotonic() - started < 60  # not forever
    table = lost.value.partial
    done = table[table["reason"] != "cluster"]
    assert 1 <= len(done) == lost.value.done < 16
    assert set(table.loc[table["reason"] == "cluster", "message"]) == {
        "not run: the cluster was lost"
    }
    # the rows done are the rows of a run in this process
    serial = sweep(biased_junction(), GRID, client=None, measure={"v": lambda r: 1.0},
                   progress=False, **JUNCTION_RUN)  # fmt: skip
    columns = ["I1", "v", "passed"]
    assert done[columns].equals(serial.loc[done.index, columns])


def test_a_scheduler_killed_mid_yield_is_one_line_and_exit_1(scheduler, tmp_path, capsys):
    address, process = scheduler
    killer = KillScheduler(process.pid, tmp_path / "count", after=8)
    with pytest.raises(ClusterLost) as lost:
        yield_analysis(biased_junction(), 20, local_spread={"ic": 0.1}, client=address,
                       criterion=lambda r: killer(r) > 0, progress=False,
                       **JUNCTION_RUN)  # fmt: skip
    partial = lost.value.partial
    assert 1 <= partial.n == lost.value.done < 20 and partial.passed == partial.n


def test_a_worker_lost_while_the_design_is_copied_out_is_no_error(monkeypatch):
    # The copy of the design to every worker fails as Dask's does when a worker
    # leaves in the middle ("Sample larger than population"): the runs go on.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:  # fmt: skip
        with distributed.Client(cluster) as client:

            def lost_worker(*args, **kwargs):
                raise ValueError("Sample larger than population or is negative")

            monkeypatch.setattr(client, "replicate", lost_worker)
            run = dict(measure=MeanVoltage("J1"), progress=False, **JUNCTION_RUN)
            there = sweep(biased_junction(), GRID, client=client, **run)
    here = sweep(biased_junction(), GRID, client=None, **run)
    assert there.equals(here)


@pytest.fixture
def silent_port():
    """A port that takes connections and never says a word."""
    server = socket.create_server(("127.0.0.1", 0))
    held = []

    def accept():
        while True:
            try:
                held.append(server.accept()[0])
            except OSError:
                return

    threading.Thread(target=accept, daemon=True).start()
    yield server.getsockname()[1]
    server.close()
    for connection in held:
        connection.close()


def test_an_address_that_is_no_scheduler_is_refused_in_bounded_time(
    silent_port, monkeypatch, capsys, tmp_path
):
    monkeypatch.setattr(cluster_module, "SCHEDULER_TIMEOUT", 2.0)
    closed = socket.create_server(("127.0.0.1", 0))
    closed_port = closed.getsockname()[1]
    closed.close()
    run = dict(measure=MeanVoltage("J1"), progress=False, **JUNCTION_RUN)
    for port in (silent_port, closed_port):
        address = f"tcp://127.0.0.1:{port}"
        started = time.monotonic()
        with pytest.raises(SchedulerError, match=f"cannot reach the Dask scheduler {address}"):
            sweep(biased_junction(), GRID, client=address, **run)
        assert time.monotonic() - started < 30  # not forever
    netlist = tmp_path / "j.cir"
    netlist.write_text(
        ".model jj0 jj(rtype=1, icrit=100u, rn=4, r0=40, cap=0.05p)\n"
        "B1 a 0 jj0\nI1 0 a pwl(0 0 10p 120u)\n.tran 0.1p 50p\n.end\n"
    )
    argv = ["sweep", str(netlist), "I1=x1", "--scheduler", f"127.0.0.1:{silent_port}", "-q"]
    assert main(argv) == 1
    err = capsys.readouterr().err
    assert err.startswith("loxant sweep: cannot reach the Dask scheduler") and err.count("\n") == 1
