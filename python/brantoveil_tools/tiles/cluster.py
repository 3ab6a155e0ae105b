"""The Dask client of a command: an existing scheduler by address, or a local cluster of this machine."""

from __future__ import annotations

import logging
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from ..errors import BrantoveilError


@contextmanager
def connect(address: str | None) -> Iterator[Any]:
    """A connected `distributed.Client`, closed (with its local cluster) on the way out.

    The local cluster has one single-threaded worker process: each tile already runs on every core
    through the engine's own thread pool.
    """
    from distributed import Client, LocalCluster

    if address is not None:
        try:
            client = Client(address, timeout="20s")
        except (OSError, TimeoutError) as error:
            raise BrantoveilError(f"cannot reach the Dask scheduler at {address}: {error}") from None
        with client:
            yield client
        return
    # The dashboard goes on a free loopback port: never a clash with another cluster, never public.
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address="127.0.0.1:0",
                      silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        yield client
