"""Operations of their own: one C operation (zembrel_op) per call, run on a
private thread of the library's (zembrel_loop), with its result handed back
to the caller's thread or asyncio loop. Shared by :func:`zembrel.upload` and
:mod:`zembrel.aio`."""

from __future__ import annotations

import atexit
import ctypes
import functools
import itertools
import json
import queue
import threading
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

from ._capi import CALL_FN, DONE_FN, PROGRESS_FN, lib, require_operations
from ._capi import path as _path, take_string as _take, text as _text, text_list as _list
from ._settings import CSettings, Settings

Pair = Tuple[str, str]
#: ``progress(done, total)``: bytes done, and the total (-1 when unknown).
Progress = Callable[[int, int], None]

_RUNNING, _SUCCEEDED, _FAILED, _CANCELLED = 0, 1, 2, 3


class TransferError(Exception):
    """An operation failed. ``domain`` and ``code`` say how it ended (see
    zembrel.h: "POSIX" with an errno value, "NetDB", "Custom" with libcurl's
    code, "HTTP", "FTP" with the server's reply code, "Connect" with
    libcurl's code when an FTP server could not be reached, "Setup", "File"
    with an errno value, "Keyring" with the keyring status, -25300 for a
    missing item); ``message`` says it in words."""

    def __init__(self, domain: str, code: int, message: str) -> None:
        super().__init__(f"{message} ({domain} {code})")
        self.domain = domain
        self.code = code
        self.message = message


class HTTPStatusError(Exception):
    """Raised by :meth:`Result.raise_for_status` for a status of 400 or more."""

    def __init__(self, result: "Result") -> None:
        super().__init__(f"HTTP status {result.status}")
        self.result = result
        self.status = result.status


@dataclass(frozen=True)
class Result:
    """A finished operation: the HTTP status (0 for FTP and keyring
    operations), the final host message ("#complete|200"), a resumable
    upload's URL, a listing's tree; a request's or an upload's answer
    ``headers`` (name, value pairs in the order received) and ``body`` (an
    upload keeps up to 16 MiB; a longer answer raises :class:`TransferError`,
    "Custom" 23); an FTP operation's final ``reply_code`` and ``reply_text``."""

    status: int
    message: str
    location: Optional[str] = None
    listing: Optional[Dict[str, Any]] = None
    headers: Optional[List[Pair]] = None
    body: Optional[bytes] = None
    reply_code: int = 0
    reply_text: Optional[str] = None
    # A keyring lookup's item, kept out of repr().
    password: Optional[str] = field(default=None, repr=False)
    account: Optional[str] = None

    @property
    def ok(self) -> bool:
        """No HTTP status of 400 or more."""
        return self.status < 400

    def raise_for_status(self) -> "Result":
        """Raises :class:`HTTPStatusError` for a status of 400 or more; else
        returns the result."""
        if not self.ok:
            raise HTTPStatusError(self)
        return self


class _Cancelled:
    """The operation ended because it was cancelled."""


Outcome = Union[Result, TransferError, _Cancelled]


def _decoded(value: Optional[bytes]) -> Optional[str]:
    return None if value is None else value.decode("utf-8", "replace")


def _outcome(op: int) -> Outcome:
    status = lib.zembrel_op_status(op)
    if status == _FAILED:
        return TransferError(_decoded(lib.zembrel_op_error_domain(op)) or "",
                             int(lib.zembrel_op_error_code(op)),
                             _decoded(lib.zembrel_op_error_message(op)) or "")
    if status == _CANCELLED:
        return _Cancelled()
    listing = _take(lib.zembrel_op_result_json(op))
    return Result(status=int(lib.zembrel_op_http_status(op)),
                  message=_decoded(lib.zembrel_op_message(op)) or "",
                  location=_decoded(lib.zembrel_op_location(op)),
                  listing=None if listing is None else json.loads(listing),
                  headers=_header_pairs(_decoded(lib.zembrel_op_response_headers(op))),
                  body=_body(op),
                  reply_code=int(lib.zembrel_op_reply_code(op)),
                  reply_text=_decoded(lib.zembrel_op_reply_text(op)),
                  password=_decoded(lib.zembrel_op_password(op)),
                  account=_decoded(lib.zembrel_op_account(op)))


def _header_pairs(head: Optional[str]) -> Optional[List[Pair]]:
    """"Name: value" lines as pairs, in order."""
    if head is None:
        return None
    pairs = []
    for line in head.splitlines():
        name, colon, value = line.partition(":")
        if colon:
            pairs.append((name.strip(), value.strip()))
    return pairs


def _body(op: int) -> Optional[bytes]:
    length = ctypes.c_size_t(0)
    pointer = lib.zembrel_op_response_body(op, ctypes.byref(length))
    return None if not pointer else ctypes.string_at(pointer, length.value)


# Starts the C operation with the two callbacks and returns it (NULL: nothing started).
Starter = Callable[[Any, Any], Optional[int]]


class Running:
    """One operation handed to the driver; :meth:`cancel` from any thread."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._op: Optional[int] = None
        self._cancelled = False
        self._ended = False

    def cancel(self) -> None:
        with self._lock:
            self._cancelled = True
            op = None if self._ended else self._op
            if op is not None:
                lib.zembrel_op_cancel(op)

    def _started(self, op: int) -> None:
        with self._lock:
            self._op = op
            if self._cancelled:
                lib.zembrel_op_cancel(op)

    def _end(self) -> None:
        with self._lock:
            self._ended = True


class _Driver:
    """The process's zembrel_loop, and the callbacks it must keep alive."""

    def __init__(self) -> None:
        require_operations()
        self._loop = lib.zembrel_loop_new()
        if not self._loop:
            raise RuntimeError("libzembrel could not start its thread")
        self._keep: Dict[int, Tuple[Any, ...]] = {}
        self._retired: list = []
        self._tokens = itertools.count(1)
        self._lock = threading.Lock()

    def close(self) -> None:
        with self._lock:
            loop, self._loop = self._loop, None
        if loop:
            lib.zembrel_loop_free(loop)

    def start(self, starter: Starter, progress: Optional[Progress],
              done: Callable[[Outcome], None], running: Optional[Running] = None) -> Running:
        """Starts the operation on the library's thread; `progress` and
        `done` are called there and must not raise."""
        running = running if running is not None else Running()
        token = next(self._tokens)

        def on_progress(_op: int, done_bytes: int, total: int, _data: Any) -> None:
            if progress is not None:
                progress(int(done_bytes), int(total))

        def on_done(op: int, _data: Any) -> None:
            outcome = _outcome(op)
            running._end()
            lib.zembrel_op_unref(op)
            self._forget(token)
            done(outcome)

        progress_fn = PROGRESS_FN(on_progress)
        done_fn = DONE_FN(on_done)

        def begin(_data: Any) -> None:
            op = starter(progress_fn, done_fn)
            if not op:
                self._forget(token)
                done(TransferError("Setup", 0, "the operation could not be started"))
                return
            running._started(op)

        begin_fn = CALL_FN(begin)
        with self._lock:
            if not self._loop:
                raise RuntimeError("zembrel's operations have stopped (the interpreter is exiting)")
            self._keep[token] = (progress_fn, done_fn, begin_fn)
            lib.zembrel_loop_invoke(self._loop, begin_fn, None)
        return running

    def _forget(self, token: int) -> None:
        # Called from inside one of the token's callbacks, whose code must not
        # be freed while it runs: it is kept until the next operation ends.
        # Every callback runs on the driver's one thread, so by then it has
        # returned.
        with self._lock:
            self._retired = [self._keep.pop(token, ())]


_driver_lock = threading.Lock()
_the_driver: Optional[_Driver] = None


def driver() -> _Driver:
    global _the_driver
    with _driver_lock:
        if _the_driver is None:
            _the_driver = _Driver()
            atexit.register(_the_driver.close)
        return _the_driver


def _flat(pairs: Sequence[Pair], last: Optional[str] = None) -> Optional[ctypes.Array]:
    flat = [item for pair in pairs for item in pair]
    if last is not None:
        flat.append(last)
    return _list(flat)


def _with_settings(settings: Settings, start: Callable[..., Optional[int]],
                   *arguments: Any, progress: bool = True) -> Starter:
    """A starter of `start(c_settings, *arguments, [progress,] done, None)`.
    The C settings are made now, so that a refused value raises here, in the
    caller; the start call copies them."""
    c_settings = CSettings(settings)

    def begin(progress_fn: Any, done_fn: Any) -> Optional[int]:
        callbacks = (progress_fn, done_fn) if progress else (done_fn,)
        return start(c_settings.handle, *arguments, *callbacks, None)
    return begin


def post_starter(url: str, file: Any, file_part: Optional[str], fields: Sequence[Pair],
                 headers: Sequence[Pair], settings: Settings = Settings()) -> Starter:
    return _with_settings(settings, lib.zembrel_post_async_with, _text(url), _flat(fields),
                          _text(file_part), None if file is None else _path(file),
                          _flat(headers) if headers else None)


def resumable_starter(endpoint: str, file: Any, metadata: Sequence[Pair],
                      headers: Sequence[Pair], settings: Settings = Settings()) -> Starter:
    return _with_settings(settings, lib.zembrel_resumable_upload_async_with, _text(endpoint),
                          _path(file), _flat(metadata) if metadata else None,
                          _flat(headers) if headers else None)


def ftp_upload_starter(file: Any, url: str, resume: bool,
                       settings: Settings = Settings()) -> Starter:
    return _with_settings(settings, lib.zembrel_ftp_upload_async_with, _path(file), _text(url),
                          1 if resume else 0)


def ftp_list_starter(url: str, level: int, settings: Settings = Settings()) -> Starter:
    return _with_settings(settings, lib.zembrel_ftp_list_async_with, _text(url), int(level),
                          progress=False)


def request_starter(url: str, fields: Sequence[Pair], data: Optional[str],
                    encoding: Optional[str], headers: Sequence[Pair],
                    settings: Settings = Settings()) -> Starter:
    if data is not None:
        if fields or encoding not in (None, "raw"):
            raise ValueError("data is sent as it is (the raw encoding), without fields")
        flat, encoding = _list([data]), "raw"
    else:
        flat = _flat(fields) if fields else None
    return _with_settings(settings, lib.zembrel_request_async, _text(url), flat, _text(encoding),
                          _flat(headers) if headers else None)


def directory_starter(url: str, make: bool, settings: Settings = Settings()) -> Starter:
    start = lib.zembrel_ftp_mkdir_async if make else lib.zembrel_ftp_rmdir_async
    return _with_settings(settings, start, _text(url), progress=False)


def keyring_store_starter(service: str, account: str, password: str,
                          old_service: Optional[str]) -> Starter:
    return _with_settings(Settings(), lib.zembrel_keyring_store_async, _text(service),
                          _text(account), _text(password), _text(old_service), progress=False)


def keyring_lookup_starter(service: str) -> Starter:
    return _with_settings(Settings(), lib.zembrel_keyring_lookup_async, _text(service),
                          progress=False)


def keyring_delete_starter(service: str) -> Starter:
    return _with_settings(Settings(), lib.zembrel_keyring_delete_async, _text(service),
                          progress=False)


def unwrap(outcome: Outcome) -> Result:
    if isinstance(outcome, TransferError):
        raise outcome
    if isinstance(outcome, _Cancelled):
        raise TransferError("Cancelled", 0, "the operation was cancelled")
    return outcome


def run_blocking(starter: Starter, progress: Optional[Progress]) -> Result:
    """Runs the operation to its end; progress is called on this thread."""
    events: "queue.SimpleQueue[Tuple[str, Any]]" = queue.SimpleQueue()
    on_progress = None if progress is None else (lambda d, t: events.put(("progress", (d, t))))
    running = driver().start(starter, on_progress, lambda o: events.put(("done", o)))
    try:
        while True:
            kind, value = events.get()
            if kind == "done":
                return unwrap(value)
            assert progress is not None
            progress(*value)
    except BaseException:
        running.cancel()
        raise


def upload(url: str, *, file: Any = None, file_part: Optional[str] = None,
           fields: Sequence[Pair] = (), headers: Sequence[Pair] = (),
           progress: Optional[Progress] = None, settings: Optional[Settings] = None,
           **options: Any) -> Result:
    """Posts a form (with the file, streamed from disk, as the part
    ``file_part``) and waits for the answer; ``progress(done, total)`` runs on
    this thread. ``settings`` and the keywords of :class:`Settings`
    (``stall_timeout=``, ``proxy=``, ...) replace the library's defaults for
    this upload. Returns a :class:`Result` whatever the status (see
    :meth:`Result.raise_for_status`); raises :class:`TransferError` when the
    transfer failed, ValueError for a setting the library refuses."""
    chosen = Settings.of(settings, options)
    return run_blocking(post_starter(url, file, file_part, fields, headers, chosen), progress)


_retired_here = threading.local()
# The callbacks of every running operation started with start_upload(): the C
# side holds only their addresses.
_live_lock = threading.Lock()
_live: Dict[int, Tuple[Any, ...]] = {}
_live_tokens = itertools.count(1)


def _retire_on_this_thread(entry: Tuple[Any, ...]) -> None:
    # The callbacks of an operation that ends run on the thread that started
    # it; the one running now must outlive its own return, so it is kept until
    # the next operation of this thread ends.
    _retired_here.entry = entry


class Operation:
    """An operation started on this thread with :func:`start_upload`: its
    callbacks run on this thread's GLib main context (a GTK application's
    main loop, or :func:`zembrel.iterate`). :meth:`cancel` from any thread."""

    def __init__(self) -> None:
        # Held while the C operation is used or given up, so that a cancel
        # from another thread never reaches a freed one.
        self._lock = threading.Lock()
        self._op: Optional[int] = None
        self.result: Optional[Result] = None
        self.error: Optional[TransferError] = None
        self.cancelled = False
        self.finished = False

    def cancel(self) -> None:
        with self._lock:
            if self._op is not None and not self.finished:
                lib.zembrel_op_cancel(self._op)


@functools.lru_cache(maxsize=None)
def _glib() -> ctypes.CDLL:
    # Already loaded by libzembrel, which runs on GLib.
    glib = ctypes.CDLL("libglib-2.0.so.0")
    glib.g_main_context_get_thread_default.restype = ctypes.c_void_p
    glib.g_main_context_default.restype = ctypes.c_void_p
    glib.g_main_context_is_owner.argtypes = [ctypes.c_void_p]
    return glib


def _thread_has_context() -> bool:
    """Whether callbacks started on this thread would run on this thread: it
    pushed a GLib context of its own, is the main thread (whose context is the
    global default one), or runs the global default context itself. Any
    other thread shares the global default context, which another thread
    runs."""
    if threading.current_thread() is threading.main_thread():
        return True
    glib = _glib()
    return bool(glib.g_main_context_get_thread_default()) or bool(
        glib.g_main_context_is_owner(glib.g_main_context_default()))


def start_upload(url: str, *, file: Any = None, file_part: Optional[str] = None,
                 fields: Sequence[Pair] = (), headers: Sequence[Pair] = (),
                 progress: Optional[Progress] = None,
                 done: Optional[Callable[[Operation], None]] = None) -> Operation:
    """Starts a form POST on this thread and returns at once.
    ``progress(done, total)`` and ``done(operation)`` follow on this thread's
    GLib main context; then exactly one of ``operation.result``,
    ``operation.error`` and ``operation.cancelled`` tells how it ended.
    Raises :class:`TransferError` when nothing could start, and ("Setup", 0)
    on a thread other than the main one that has no GLib main context of its
    own (pushed with ``GLib.MainContext.push_thread_default``) and does not
    run the global default one: its callbacks would run on another thread.
    From such a thread use :func:`upload` or :mod:`zembrel.aio`."""
    require_operations()
    if not _thread_has_context():
        raise TransferError("Setup", 0, "this thread has no GLib main context of its own to "
                            "call back on; push one, or use zembrel.upload or zembrel.aio")
    operation = Operation()
    token = next(_live_tokens)

    def on_progress(_op: int, done_bytes: int, total: int, _data: Any) -> None:
        if progress is not None:
            progress(int(done_bytes), int(total))

    def on_done(op: int, _data: Any) -> None:
        outcome = _outcome(op)
        with operation._lock:
            operation.finished = True
            operation._op = None
            lib.zembrel_op_unref(op)
        if isinstance(outcome, TransferError):
            operation.error = outcome
        elif isinstance(outcome, _Cancelled):
            operation.cancelled = True
        else:
            operation.result = outcome
        with _live_lock:
            _retire_on_this_thread(_live.pop(token, ()))
        if done is not None:
            done(operation)

    progress_fn = PROGRESS_FN(on_progress)
    done_fn = DONE_FN(on_done)
    with _live_lock:
        _live[token] = (progress_fn, done_fn)
    op = post_starter(url, file, file_part, fields, headers)(progress_fn, done_fn)
    if not op:
        with _live_lock:
            _live.pop(token, None)
        raise TransferError("Setup", 0, "the upload could not be started")
    operation._op = op
    return operation
