"""asyncio interface: every operation is a coroutine.

Works under a plain ``asyncio.run()``: the library runs the transfers on a
thread of its own and hands results to the event loop, so no GLib loop is
needed (and one that runs, as in a GTK application, is not disturbed).
Cancelling the awaiting task stops the transfer and raises
``asyncio.CancelledError``; failures raise :class:`zembrel.TransferError`.
Every network call takes ``settings=`` (a :class:`zembrel.Settings`) and its
keywords (``connect_timeout=``, ``stall_timeout=``, ``ca_file=``, ``proxy=``,
``progress_interval=``, ``user_agent=``) for this operation alone::

    async def main():
        results = await asyncio.gather(
            zembrel.aio.upload(url, file="a.jpg", file_part="photo"),
            zembrel.aio.upload(url, file="b.jpg", file_part="photo"))
        for result in results:
            result.raise_for_status()
"""

from __future__ import annotations

import asyncio
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Optional, Sequence

from . import _ops
from ._ops import Pair, Progress, Result, Starter
from ._settings import Settings

__all__ = ["upload", "upload_resumable", "ftp_upload", "ftp_list", "ftp_mkdir", "ftp_rmdir",
           "request", "keyring_store", "keyring_lookup", "keyring_delete", "KeyringItem"]


# How long a cancelled task waits for its transfer to stop before it gives up
# waiting: the stop takes one pass of the library's thread, normally at once.
_CANCEL_WAIT = 5.0


def _hand_to(loop: asyncio.AbstractEventLoop, running: _ops.Running,
             callback: Callable[..., None]) -> Callable[..., None]:
    """`callback` run on `loop` from the library's thread. Once the loop has
    closed nobody can await the operation any more: it is cancelled, and the
    call dropped instead of raising inside a ctypes callback."""
    def hand_over(*arguments: Any) -> None:
        try:
            loop.call_soon_threadsafe(callback, *arguments)
        except RuntimeError:
            running.cancel()
    return hand_over


async def _stopped(ended: "asyncio.Future[None]") -> None:
    """Waits, a bounded time and through further cancels, for the operation's end."""
    deadline = time.monotonic() + _CANCEL_WAIT
    while not ended.done():
        left = deadline - time.monotonic()
        if left <= 0:
            return
        try:
            await asyncio.wait_for(asyncio.shield(ended), left)
        except asyncio.TimeoutError:
            return
        except asyncio.CancelledError:
            continue  # cancelled again: the transfer must still stop first


async def _run(starter: Starter, progress: Optional[Progress]) -> Result:
    loop = asyncio.get_running_loop()
    future: "asyncio.Future[Result]" = loop.create_future()
    ended: "asyncio.Future[None]" = loop.create_future()  # the C operation has ended

    def settle(outcome: _ops.Outcome) -> None:
        if not ended.done():
            ended.set_result(None)
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

    running = _ops.Running()
    _ops.driver().start(starter, None if progress is None else _hand_to(loop, running, report),
                        _hand_to(loop, running, settle), running)
    try:
        return await future
    except asyncio.CancelledError:
        # Returns once the transfer has stopped (the server sees it end), so
        # that what the host does next never races the cancelled upload.
        running.cancel()
        await _stopped(ended)
        raise


async def upload(url: str, *, file: Any = None, file_part: Optional[str] = None,
                 fields: Sequence[Pair] = (), headers: Sequence[Pair] = (),
                 progress: Optional[Progress] = None, settings: Optional[Settings] = None,
                 **options: Any) -> Result:
    """Posts a form, with the file streamed from disk as the part ``file_part``."""
    chosen = Settings.of(settings, options)
    return await _run(_ops.post_starter(url, file, file_part, fields, headers, chosen), progress)


async def upload_resumable(endpoint: str, path: Any, metadata: Sequence[Pair] = (),
                           headers: Sequence[Pair] = (), progress: Optional[Progress] = None,
                           settings: Optional[Settings] = None, **options: Any) -> Result:
    """A resumable upload; the result's ``location`` is the upload's URL."""
    chosen = Settings.of(settings, options)
    return await _run(_ops.resumable_starter(endpoint, path, metadata, headers, chosen), progress)


async def ftp_upload(path: Any, url: str, resume: bool = False,
                     progress: Optional[Progress] = None, settings: Optional[Settings] = None,
                     **options: Any) -> Result:
    """Uploads the file over FTP; with ``resume`` the server's copy is continued."""
    chosen = Settings.of(settings, options)
    return await _run(_ops.ftp_upload_starter(path, url, resume, chosen), progress)


async def ftp_list(url: str, level: int = 0, settings: Optional[Settings] = None,
                   **options: Any) -> Result:
    """Lists the directory down to ``level``; the tree is the result's
    ``listing``, the server's final reply its ``reply_code``."""
    return await _run(_ops.ftp_list_starter(url, level, Settings.of(settings, options)), None)


async def ftp_mkdir(url: str, settings: Optional[Settings] = None, **options: Any) -> Result:
    """Creates the directory the URL's path names (MKD); the server's reply is
    the result's ``reply_code`` and ``reply_text``. A refusal raises
    :class:`zembrel.TransferError` in the domain "FTP" with the reply code."""
    return await _run(_ops.directory_starter(url, True, Settings.of(settings, options)), None)


async def ftp_rmdir(url: str, settings: Optional[Settings] = None, **options: Any) -> Result:
    """Removes the directory the URL's path names (RMD), as :func:`ftp_mkdir`."""
    return await _run(_ops.directory_starter(url, False, Settings.of(settings, options)), None)


async def request(url: str, *, fields: Sequence[Pair] = (), data: Optional[str] = None,
                  encoding: Optional[str] = None, headers: Sequence[Pair] = (),
                  progress: Optional[Progress] = None, settings: Optional[Settings] = None,
                  **options: Any) -> Result:
    """A simple request: a GET, or with ``fields`` a POST whose body
    ``encoding`` shapes ("urlencoded", "multipart", or None: multipart without
    naming its type), or with ``data`` a POST of that text as it is. The
    result's ``status``, ``headers`` and ``body`` (bytes) hold the answer;
    ``progress(received, -1)`` follows the answer's bytes."""
    chosen = Settings.of(settings, options)
    starter = _ops.request_starter(url, fields, data, encoding, headers, chosen)
    return await _run(starter, progress)


@dataclass(frozen=True)
class KeyringItem:
    """A keyring item's password (kept out of repr()) and account."""

    password: str = field(repr=False)
    account: str


async def keyring_store(service: str, account: str, password: str,
                        old_service: Optional[str] = None) -> None:
    """Stores the password and account under the service name in the user's
    keyring, replacing its item (and deleting ``old_service``'s first). The
    call runs on a thread of the library's: a keyring service that takes its
    time (up to 5 s) never holds up the event loop. Failures raise
    :class:`zembrel.TransferError` in the domain "Keyring"."""
    await _run(_ops.keyring_store_starter(service, account, password, old_service), None)


async def keyring_lookup(service: str) -> KeyringItem:
    """The service's item; a missing one raises :class:`zembrel.TransferError`
    ("Keyring", -25300)."""
    result = await _run(_ops.keyring_lookup_starter(service), None)
    return KeyringItem(password=result.password or "", account=result.account or "")


async def keyring_delete(service: str) -> None:
    """Deletes the service's item; a missing one raises
    :class:`zembrel.TransferError` ("Keyring", -25300)."""
    await _run(_ops.keyring_delete_starter(service), None)
