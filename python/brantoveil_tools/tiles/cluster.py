"""The Dask client of a command: an existing scheduler by address, or a local cluster of this machine."""

from __future__ import annotations

import logging
import os
import signal
import threading
import warnings
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from typing import Any

from ..errors import BrantoveilError

# Dask's loggers that still speak once the local cluster's logs are silenced: a Ctrl-C makes the
# scheduler and the nanny report every closed connection and lost task.
_QUIET_LOGGERS = ("distributed", "tornado", "asyncio")


@contextmanager
def connect(address: str | None, quiet: bool = False) -> Iterator[Any]:
    """A connected `distributed.Client`, closed (with its local cluster) on the way out.

    The local cluster has one single-threaded worker process: each tile already runs on every core
    through the engine's own thread pool. Its processes never see Ctrl-C, which the terminal sends
    to all of them: this process alone answers it, by ending them at once. `quiet` also silences
    Dask's warnings about the size of the graph (the sample travels in it by design).
    """
    from distributed import Client, LocalCluster

    with warnings.catch_warnings():
        if quiet:
            warnings.filterwarnings("ignore", message="Sending large graph", category=UserWarning)
        if address is not None:
            try:
                client = Client(address, timeout="20s")
            except (OSError, TimeoutError) as error:
                raise BrantoveilError(f"cannot reach the Dask scheduler at {address}: {error}") from None
            with client:
                yield client
            return
        # The dashboard goes on a free loopback port: never a clash with another cluster, never public.
        _start_resource_tracker_quietly()
        held = _hold_interrupts()
        try:
            cluster = LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                   dashboard_address="127.0.0.1:0", silence_logs=logging.CRITICAL)
        finally:
            _release_interrupts(held)  # a Ctrl-C held back during the start arrives here
        try:
            client = Client(cluster)
        except BaseException:
            _end_now(cluster, None)
            raise
        try:
            yield client
        except BaseException:
            _end_now(cluster, client)
            raise
        client.close()
        cluster.close()


def _hold_interrupts() -> bool:
    # Processes and threads started while SIGINT is blocked keep it blocked: the cluster's event loop
    # and worker processes never see the Ctrl-C the terminal sends to every process of the command.
    # This thread sees it, held back until the cluster is up.
    if threading.current_thread() is not threading.main_thread() or not hasattr(signal, "pthread_sigmask"):
        return False
    return signal.SIGINT not in signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})


def _release_interrupts(held: bool) -> None:
    if held:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


def _start_resource_tracker_quietly() -> None:
    # A killed worker leaves its semaphores to multiprocessing's resource tracker, which cleans them
    # up and reports each on its standard error: the command's, unless it starts with another one.
    from multiprocessing import resource_tracker

    saved, devnull = os.dup(2), os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 2)
        resource_tracker.ensure_running()  # a tracker already running is kept as it is
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


def _end_now(cluster: Any, client: Any | None) -> None:
    """Kills the local cluster's worker processes, then closes the client and the cluster without
    waiting for them. The cluster goes on dying after this returns, so Dask's reports of every
    connection the kill broke are silenced for good: only an interrupted command comes here."""
    from distributed.core import Status

    for name in _QUIET_LOGGERS:
        logging.getLogger(name).setLevel(logging.CRITICAL + 1)
    for nanny in list(getattr(cluster, "workers", {}).values()):
        nanny.status = Status.closing_gracefully  # no new worker in place of the killed one
        pid = getattr(nanny, "pid", None)
        if isinstance(pid, int) and pid > 0:
            with suppress(OSError):
                os.kill(pid, signal.SIGKILL)
    cluster.shutdown_on_close = False  # no second, unbounded close when the interpreter exits
    for closing in (client, cluster):
        if closing is not None:
            with suppress(Exception):
                closing.close(timeout=0.01)
