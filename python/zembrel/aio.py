"""asyncio interface: every operation is a coroutine.

Works under a plain ``asyncio.run()``: the library runs the transfers on a
thread of its own and hands results to the event loop, so no GLib loop is
needed (and one that runs, as in a GTK application, is not disturbed).
Cancelling the awaiting task stops the transfer and raises
``asyncio.CancelledError``; failures raise :class:`zembrel.TransferError`::

    async def main():
        results = await asyncio.gather(
            zembrel.aio.upload(url, file="a.jpg", file_part="photo"),
            zembrel.aio.upload(url, file="b.jpg", file_part="photo"))
        for result in results:
            result.raise_for_status()
"""

from __future__ import annotations

import asyncio
from typing import Any, Optional, Sequence

from . import _ops
from ._ops import Pair, Progress, Result, Starter

__all__ = ["upload", "upload_resumable", "ftp_upload", "ftp_list"]


async def _run(starter: Starter, progress: Optional[Progress]) -> Result:
    loop = asyncio.get_running_loop()
    future: "asyncio.Future[Result]" = loop.create_future()

    def settle(outcome: _ops.Outcome) -> None:
        if future.done():
            return
        if isinstance(outcome, _ops.TransferError):
            future.set_exception(outcome)
        elif isinstance(outcome, _ops._Cancelled):
            future.cancel()
        else:
            future.set_result(outcome)

    def report(done: int, total: int) -> None:
        # Progress queued before a cancel must not reach a host whose task has ended.
        if not future.done() and progress is not None:
            progress(done, total)

    on_progress = None if progress is None else (
        lambda done, total: loop.call_soon_threadsafe(report, done, total))
    running = _ops.driver().start(starter, on_progress,
                                  lambda outcome: loop.call_soon_threadsafe(settle, outcome))
    try:
        return await future
    except asyncio.CancelledError:
        running.cancel()
        raise


async def upload(url: str, *, file: Any = None, file_part: Optional[str] = None,
                 fields: Sequence[Pair] = (), headers: Sequence[Pair] = (),
                 progress: Optional[Progress] = None) -> Result:
    """Posts a form, with the file streamed from disk as the part ``file_part``."""
    return await _run(_ops.post_starter(url, file, file_part, fields, headers), progress)


async def upload_resumable(endpoint: str, path: Any, metadata: Sequence[Pair] = (),
                           headers: Sequence[Pair] = (),
                           progress: Optional[Progress] = None) -> Result:
    """A resumable upload; the result's ``location`` is the upload's URL."""
    return await _run(_ops.resumable_starter(endpoint, path, metadata, headers), progress)


async def ftp_upload(path: Any, url: str, resume: bool = False,
                     progress: Optional[Progress] = None) -> Result:
    """Uploads the file over FTP; with ``resume`` the server's copy is continued."""
    return await _run(_ops.ftp_upload_starter(path, url, resume), progress)


async def ftp_list(url: str, level: int = 0) -> Result:
    """Lists the directory down to ``level``; the tree is the result's ``listing``."""
    return await _run(_ops.ftp_list_starter(url, level), None)
