"""The Zarr recipe on a dask cluster whose scheduler and workers are separate processes, started
with dask's own commands as the README's "More than one machine" does: on a directory store, on
S3 (a local moto server) and with a worker killed mid-run, every result is one call's bits.

Run alone with `pytest -m cluster`. Each test stops every process it started, by its process
group, and bounds its waits.
"""

from __future__ import annotations

import json
import os
import re
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

pytest.importorskip("dask.distributed")
pytest.importorskip("zarr")
psutil = pytest.importorskip("psutil")

pytestmark = pytest.mark.cluster
BIN = Path(sys.executable).parent  # dask's and moto's commands, beside this interpreter
EXAMPLE = Path(__file__).parents[1] / "examples" / "chunked.py"
FUNCTIONS = 3  # average, variance, hessian: one line each


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port: int, seconds: float = 60) -> None:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.2)
    raise TimeoutError(f"nothing listens on port {port} after {seconds} s")


class Processes:
    """Commands started in their own process groups, each stopped by its group's id."""

    def __init__(self, logs: Path):
        self.logs, self.started, self.files = logs, [], []

    def start(self, name: str, args: list, cwd: Path | None = None) -> subprocess.Popen:
        self.files.append(open(self.logs / f"{name}.log", "w"))
        p = subprocess.Popen([str(a) for a in args], cwd=cwd, stdout=self.files[-1],
                             stderr=subprocess.STDOUT, start_new_session=True)
        self.started.append(p)
        return p

    def stop(self, p: subprocess.Popen, sig=signal.SIGTERM) -> None:
        try:
            os.killpg(p.pid, sig)
        except ProcessLookupError:
            return
        try:
            p.wait(timeout=20)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait(timeout=20)

    def stop_all(self) -> None:
        for p in reversed(self.started):
            self.stop(p)
            try:  # a worker whose nanny was killed may outlive it in the group
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for f in self.files:
            f.close()


@pytest.fixture
def processes(tmp_path):
    procs = Processes(tmp_path)
    yield procs
    procs.stop_all()


def start_cluster(procs: Processes, where: Path, workers: int = 2) -> tuple[str, list]:
    """`dask scheduler` and `dask worker ADDRESS --nthreads 1` processes, each worker in a
    directory of its own, on the loopback address."""
    port = free_port()
    procs.start("scheduler", [BIN / "dask", "scheduler", "--host", "127.0.0.1", "--port", port,
                              "--no-dashboard"])
    wait_for_port(port)
    address = f"tcp://127.0.0.1:{port}"
    started = []
    for i in range(workers):
        (where / f"worker{i}").mkdir()
        started.append(procs.start(f"worker{i}", [
            BIN / "dask", "worker", address, "--nthreads", 1, "--no-dashboard",
            "--local-directory", ".", "--name", f"worker{i}"], cwd=where / f"worker{i}"))
    from dask.distributed import Client

    with Client(address, timeout=60) as client:
        client.wait_for_workers(workers, timeout=60)
    return address, started


def recipe(address: str, store: str, size: int, chunk: int, options=None) -> list:
    args = [sys.executable, EXAMPLE, "--size", size, "--chunk", chunk, "--scheduler", address,
            "--store", store]
    if options:
        args += ["--storage-options", json.dumps(options)]
    return [str(a) for a in args]


def assert_one_calls_bits(stdout: str) -> None:
    lines = stdout.splitlines()[1:]
    assert len(lines) == FUNCTIONS and all(l.endswith("same bits as one call") for l in lines), stdout


def test_recipe_on_separate_scheduler_and_worker_processes(processes, tmp_path):
    address, _ = start_cluster(processes, tmp_path)
    run = subprocess.run(recipe(address, str(tmp_path / "store"), 64, 16), capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert_one_calls_bits(run.stdout)


def test_recipe_on_object_storage(processes, tmp_path):
    s3fs = pytest.importorskip("s3fs")
    pytest.importorskip("moto")
    port = free_port()
    processes.start("moto", [BIN / "moto_server", "-H", "127.0.0.1", "-p", port])
    wait_for_port(port)
    options = {"key": "testing", "secret": "testing", "endpoint_url": f"http://127.0.0.1:{port}"}
    s3fs.S3FileSystem(**options).mkdir("scans")
    address, _ = start_cluster(processes, tmp_path)
    run = subprocess.run(recipe(address, "s3://scans/run", 48, 16, options), capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert_one_calls_bits(run.stdout)


def chunks_written(store: Path) -> int:
    return sum(1 for p in (store / "average-cluster.zarr").glob("c/**/*") if p.is_file())


@pytest.mark.parametrize("after, lose", [(1, "worker"), (40, "machine")])
def test_worker_killed_mid_run(processes, tmp_path, after, lose):
    """SIGKILL to one worker process once `after` chunks of the first result are stored: its
    nanny starts a replacement ("worker"), or, with the nanny killed too ("machine"), the
    survivor finishes alone. Either way the recipe's check finds one call's bits."""
    address, workers = start_cluster(processes, tmp_path)
    store = tmp_path / "store"
    run = processes.start("recipe", recipe(address, str(store), 80, 16))
    deadline = time.monotonic() + 240
    while chunks_written(store) < after:
        assert run.poll() is None, "the run ended before the kill"
        assert time.monotonic() < deadline, "no chunks written"
        time.sleep(0.05)
    nanny = psutil.Process(workers[0].pid)
    if lose == "worker":
        # The nanny's worker process; the other child is multiprocessing's resource tracker.
        (worker,) = [c for c in nanny.children() if "spawn_main" in " ".join(c.cmdline())]
        worker.send_signal(signal.SIGKILL)
    else:
        processes.stop(workers[0], signal.SIGKILL)
    written = chunks_written(store)
    assert run.wait(timeout=240) == 0, (tmp_path / "recipe.log").read_text()
    output = (tmp_path / "recipe.log").read_text()
    assert_one_calls_bits(output)
    # "Removing worker ... caused the cluster to lose already computed task(s), which will be
    # recomputed elsewhere: {keys}"
    log = (tmp_path / "scheduler.log").read_text()
    lost = re.findall(r"recomputed elsewhere: \{(.*)\}", log)
    print(f"killed ({lose}) after {written} of 125 chunks of average; computed results lost: "
          f"{sum(entry.count('(') for entry in lost)}")
