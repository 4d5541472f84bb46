"""Calls run wherever the work goes: in this process, on worker processes (a ``WorkerPool``) or
on a Dask cluster (a ``distributed.Client``), the results coming back as each finishes."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from distributed import Client

    from dovelkit.runtime.pools import WorkerPool

# A call: (function, arguments, what it does -- for the message when it kills every worker).
Call = tuple[Callable[..., Any], tuple[Any, ...], str]


def run_calls(calls: Iterable[Call], pool: WorkerPool | None, client: Client | None) -> Iterator[tuple[int, Any]]:
    """Results of the calls as they finish: (index of the call, result). Here (no pool, no client)
    the calls run one after the other as the results are asked for; a pool takes them as its
    workers become free; a cluster gets them all at once."""
    if client is not None:
        from distributed import as_completed

        futures = {client.submit(fn, *args, pure=False): i for i, (fn, args, _) in enumerate(calls)}
        try:
            for fut in as_completed(list(futures)):
                yield futures[fut], fut.result()
        except BaseException:
            client.cancel(list(futures))
            raise
        finally:
            futures.clear()  # the cluster may release what they hold
    elif pool is not None:
        yield from pool.run(iter(calls))
    else:
        for i, (fn, args, _) in enumerate(calls):
            yield i, fn(*args)
