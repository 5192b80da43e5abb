"""The Zarr recipe on a dask cluster whose scheduler and workers are separate processes, started
with the commands of the page "More than one machine": on a directory store, on S3 (a local
moto server) and with a worker killed mid-run, every result is one call's bits.

Run alone with `pytest -m cluster`. Each test stops every process it started, by its process
group, and bounds its waits.
"""

from __future__ import annotations

import contextlib
import io
import os
import re
import shlex
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest
from test_pages import BLOCK, DOCS

pytest.importorskip("dask.distributed")
pytest.importorskip("zarr")
psutil = pytest.importorskip("psutil")

pytestmark = pytest.mark.cluster
BIN = Path(sys.executable).parent  # dask's and moto's commands, beside this interpreter
EXAMPLE = Path(__file__).parents[1] / "examples" / "chunked.py"
FUNCTIONS = 3  # average, variance, hessian: one line each
# Any key does for moto; the page's command leaves credentials to these variables.
CREDENTIALS = {"AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing"}


def section(language: str) -> list:
    """The code blocks in `language` of the page "More than one machine"."""
    text = (DOCS / "guide" / "cluster.md").read_text()
    return [m.group(2) for m in BLOCK.finditer(text) if m.group(1) == language]


def page_command(program: str, **values: str) -> list:
    """The page's command that starts with `program`, split into words, with its
    placeholders (HOST, 8786 for the scheduler's port, 9000 for the S3 server's) filled in."""
    lines = "\n".join(section("bash")).replace("\\\n", " ").splitlines()
    (line,) = [l for l in lines if l.startswith(program + " ")]
    fill = {"HOST": "127.0.0.1", **values}
    return [re.sub("|".join(fill), lambda m: fill[m.group()], word)
            for word in shlex.split(line, comments=True)]


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
                             stderr=subprocess.STDOUT, start_new_session=True,
                             env={**os.environ, **CREDENTIALS})
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
    """The page's scheduler and `workers` of its workers, each in a directory of its own, on
    the loopback address."""
    port = str(free_port())
    scheduler = page_command("dask scheduler", **{"8786": port})
    procs.start("scheduler", [BIN / scheduler[0], *scheduler[1:], "--host", "127.0.0.1",
                              "--no-dashboard"])
    wait_for_port(int(port))
    worker = page_command("dask worker", **{"8786": port})
    started = []
    for i in range(workers):
        (where / f"worker{i}").mkdir()
        started.append(procs.start(f"worker{i}", [
            BIN / worker[0], *worker[1:], "--no-dashboard", "--local-directory", ".",
            "--name", f"worker{i}"], cwd=where / f"worker{i}"))
    address = f"tcp://127.0.0.1:{port}"
    from dask.distributed import Client

    with Client(address, timeout=60) as client:
        client.wait_for_workers(workers, timeout=60)
    return address, started


def recipe(address: str, store: str, size: int, chunk: int, s3_port: str | None = None) -> list:
    """The page's command for examples/chunked.py on `size`^3 in chunks of `chunk`: on S3
    through the server at `s3_port`, or on the directory `store` without storage options."""
    port = address.rsplit(":", 1)[1]
    args = page_command("python examples/chunked.py", **{"8786": port, "9000": str(s3_port)})
    args[args.index("--store") + 1] = store
    if s3_port is None:
        i = args.index("--storage-options")
        del args[i:i + 2]
    return [sys.executable, str(EXAMPLE), *args[2:], "--size", str(size), "--chunk", str(chunk)]


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
    endpoint = f"http://127.0.0.1:{port}"
    s3fs.S3FileSystem(key="testing", secret="testing", endpoint_url=endpoint).mkdir("bucket")
    address, _ = start_cluster(processes, tmp_path)
    run = subprocess.run(recipe(address, "s3://bucket/run", 48, 16, str(port)),
                         capture_output=True, text=True, timeout=300,
                         env={**os.environ, **CREDENTIALS})
    assert run.returncode == 0, run.stdout + run.stderr
    assert_one_calls_bits(run.stdout)


def test_slurm_job_script_as_printed():
    """The page's dask-jobqueue snippet runs without SLURM and prints a job script for 32
    single-threaded workers on a 32-core node."""
    pytest.importorskip("dask_jobqueue")
    (snippet,) = section("python")
    printed, namespace = io.StringIO(), {}
    try:
        with contextlib.redirect_stdout(printed):
            exec(snippet, namespace)
    finally:
        if "cluster" in namespace:
            namespace["cluster"].close()
    script = printed.getvalue()
    for line in ("#SBATCH --cpus-per-task=32", "#SBATCH --mem=128G", "#SBATCH -t 02:00:00"):
        assert line in script.splitlines(), script
    (command,) = [l for l in script.splitlines() if "dask_worker tcp://" in l]
    assert re.search(r"--nthreads 1 .*--nworkers 32", command), command
    assert command.startswith(sys.executable), command


def chunks_written(store: Path) -> int:
    """Chunk files in the Zarr array or group at `store`, metadata aside."""
    metadata = {"zarr.json", ".zarray", ".zattrs", ".zgroup"}
    return sum(1 for p in store.rglob("*") if p.is_file() and p.name not in metadata)


@pytest.mark.parametrize("result, after, lose", [("average", 1, "worker"),
                                                 ("average", 40, "machine"),
                                                 ("eigen", 300, "worker")])
def test_worker_killed_mid_run(processes, tmp_path, result, after, lose):
    """SIGKILL to one worker process once `after` chunks of `result` are stored (125 for
    average, 12 x 125 for hessian's): its nanny starts a replacement ("worker"), or, with the
    nanny killed too ("machine"), the survivor finishes alone. Either way the recipe's check
    finds one call's bits."""
    address, workers = start_cluster(processes, tmp_path)
    store = tmp_path / "store"
    run = processes.start("recipe", recipe(address, str(store), 80, 16))
    store /= f"{result}-cluster.zarr"
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
    print(f"killed ({lose}) after {written} chunks of {result}; computed results lost: "
          f"{sum(entry.count('(') for entry in lost)}")
