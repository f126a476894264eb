"""Uploads over HTTP and FTP, FTP directories, passwords in the user's
keyring, MD5 digests and XML extraction, from Python.

A thin layer over libzembrel's C interface (zembrel.h) through ctypes: no
compiler is needed. The asynchronous operations (:meth:`Zembrel.post`,
:meth:`Zembrel.ftp_upload`) report through host messages such as
``"#progress|  512"``, ``"#complete|200"`` or ``"#error|POSIX|111"``, given to
the handler set with :func:`set_message_handler`. They need the GLib main
context of the thread that started them to run: inside a PyGObject
``GLib.MainLoop`` (any GTK application) that happens by itself; a plain
script calls :func:`iterate` until the final message has come::

    import zembrel

    done = []
    zembrel.set_message_handler(lambda message: print(message) or done.append(message))
    uploader = zembrel.Zembrel()
    uploader.post("http://127.0.0.1:8080/upload", fields=[("title", "Holiday")],
                  file_part="photo", file="photo.jpg")
    while not any(m.startswith(("#complete|", "#error|")) for m in done):
        zembrel.iterate()
"""

from __future__ import annotations

import json
import os
import sys
import threading
import traceback
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

from . import _capi
from ._ops import HTTPStatusError, Operation, Result, TransferError, start_upload, upload
from ._settings import Settings
from ._capi import lib, path as _path, take_string as _take, text as _text, text_list as _list

#: The version of this package; the library it loads reports its own, :func:`version`.
__version__ = "0.2.0"

__all__ = [
    "__version__",
    "upload",
    "start_upload",
    "Operation",
    "Result",
    "TransferError",
    "HTTPStatusError",
    "Settings",
    "Zembrel",
    "XMLError",
    "MessageHandler",
    "set_message_handler",
    "iterate",
    "is_final",
    "md5",
    "xml",
    "xml_process_elements",
    "xml_find_next_element",
    "url_base_path",
    "url_relative_path",
    "url_combine",
    "url_upload_destination",
    "version",
]

#: Receives one host message, e.g. ``"#progress|  512"``.
MessageHandler = Callable[[str], None]
#: A (name, value) pair of form fields or request headers.
Pair = Tuple[str, str]
PathLike = Union[str, "os.PathLike[str]"]
#: One extracted element: ``{"element": str, "value": str or [children], "attributes": {..}}``.
Element = Dict[str, Any]


class XMLError(ValueError):
    """An XML document could not be parsed; the message is the parser's
    "Error <code>, Description: <text>, Line: <n>, Column: <n>"."""


_handler: Optional[MessageHandler] = None


def _deliver(message: bytes, _user_data: Any) -> None:
    handler = _handler
    if handler is None:
        return
    try:
        handler(message.decode("utf-8", "replace"))
    except BaseException:  # never let it unwind into C
        traceback.print_exc(file=sys.stderr)


# One C callback for the life of the process: a message already on its way
# on another thread may still call it after the handler changed, so it is
# never freed; it reads the current Python handler at each call.
_trampoline = _capi.MESSAGE_FN(_deliver)


def set_message_handler(fn: Optional[MessageHandler]) -> None:
    """Installs the process-wide host message handler; ``None`` removes it.

    The handler is called on the thread that sends the message: the thread
    that started a POST for its messages, the main thread for the final
    message of an FTP upload, and the upload's worker thread for FTP
    progress. The sender waits until it returns, so keep it short; in a GTK
    application hand messages to the main loop with ``GLib.idle_add`` before
    touching widgets. An exception in the handler is printed and otherwise
    ignored.
    """
    global _handler
    _handler = fn
    if fn is None:
        lib.zembrel_set_message_handler(_capi.MESSAGE_FN(), None)
    else:
        lib.zembrel_set_message_handler(_trampoline, None)


def iterate(may_block: bool = True) -> bool:
    """Runs one iteration of the calling thread's GLib main context.

    With ``may_block`` it waits until something is ready. Returns whether an
    event was dispatched. Not needed inside a running ``GLib.MainLoop``.
    """
    return lib.zembrel_iterate(1 if may_block else 0) != 0


def parse_message(message: str) -> Optional[Dict[str, Any]]:
    """Takes a host message (or a simple POST's result text) apart:
    ``{"kind": "progress" | "complete", "value": N}`` or
    ``{"kind": "error", "domain": S, "code": N}``; ``None`` for any other
    text. ``"#error|setup|nil"`` gives code 0."""
    result = _take(lib.zembrel_parse_message(_text(message)))
    return json.loads(result) if result else None


def is_final(message: str) -> bool:
    """Whether a host message ends its operation (``#complete|…`` or ``#error|…``)."""
    parsed = parse_message(message)
    return parsed is not None and parsed["kind"] != "progress"


def version() -> str:
    """The version of the loaded libzembrel, e.g. ``"0.2.0"``."""
    return lib.zembrel_version().decode()


def md5(text: str) -> str:
    """MD5 of the text's UTF-8 bytes as 32 lower-case hex digits."""
    return _take(lib.zembrel_md5(None, _text(text))) or ""


def _elements(result: Optional[str]) -> List[Element]:
    value = json.loads(result or "[]")
    if len(value) == 1 and isinstance(value[0], str):
        raise XMLError(value[0])
    return value


def xml(text_or_path: str, elements: Optional[Sequence[str]] = None,
        flatten: bool = False) -> List[Element]:
    """Reduces an XML document to its elements.

    ``text_or_path`` is an absolute file path when it starts with "/",
    otherwise the document. ``elements`` keeps only the elements of those
    names (``None``: every element). The result is a tree of entries, or one
    flat list in document order with ``flatten``. External entities and DTDs
    are never loaded. Raises :class:`XMLError` when the document does not
    parse.
    """
    return _elements(_take(lib.zembrel_xml(_text(text_or_path), _list(elements), int(flatten))))


def xml_process_elements(start: int, end: int, level: int) -> List[Element]:
    """The entries of the records strictly between ``start`` and ``end`` of the
    last parse, as a tree below ``level`` or flat as that parse was."""
    return json.loads(_take(lib.zembrel_xml_process_elements(start, end, level)) or "[]")


def xml_find_next_element(start: int, end: int, level: int) -> int:
    """The first record index in [start, end) of the last parse at ``level``,
    or ``end``."""
    return int(lib.zembrel_xml_find_next_element(start, end, level))


def url_base_path(url: str) -> Optional[str]:
    """The URL up to its path (``None`` without scheme or host)."""
    return _take(lib.zembrel_url_base_path(_text(url)))


def url_relative_path(url: str) -> Optional[str]:
    """The URL's path, percent-decoded, without leading and trailing "/"."""
    return _take(lib.zembrel_url_relative_path(_text(url)))


def url_combine(url: str, path: str, file_name: Optional[str] = None,
                is_file: bool = False) -> Optional[str]:
    """The URL with ``path`` appended as a directory, or with ``file_name``
    after it when ``is_file``; escaped where a URL path needs it."""
    return _take(lib.zembrel_url_combine(_text(url), _text(path), _text(file_name),
                                         int(is_file)))


def url_upload_destination(url: str, local_path: PathLike) -> str:
    """Where an FTP upload of the file to the URL goes."""
    return _take(lib.zembrel_url_upload_destination(_text(url), _path(local_path))) or ""


def _pairs(pairs: Optional[Sequence[Pair]], extra: Optional[str] = None) -> Optional[List[str]]:
    if pairs is None and extra is None:
        return None
    flat: List[str] = []
    for name, value in pairs or ():
        flat += [name, value]
    if extra is not None:
        flat.append(extra)
    return flat


class Zembrel:
    """One instance of the library: one streamed POST and one FTP connection
    at a time. Methods block the calling thread except :meth:`post` and
    :meth:`ftp_upload`. Use it as a context manager or call :meth:`close`;
    an upload in flight keeps the underlying instance alive by itself."""

    def __init__(self) -> None:
        handle = lib.zembrel_new()
        if not handle:
            raise MemoryError("zembrel_new failed")
        self._handle: Optional[int] = handle
        # Calls in flight on any thread: close() from another thread drops the
        # reference only once they have returned, so no call ever runs on a
        # freed instance.
        self._lock = threading.Lock()
        self._calls = 0
        self._closing_handle: Optional[int] = None

    def close(self) -> None:
        """Drops this object's reference; the FTP connection closes with the
        last one. Calls still running on other threads finish first."""
        with self._lock:
            handle, self._handle = self._handle, None
            if self._calls:
                self._closing_handle = handle
                return
        if handle:
            lib.zembrel_unref(handle)

    def _call(self, fn: Callable[..., Any], *args: Any) -> Any:
        with self._lock:
            if not self._handle:
                raise ValueError("the Zembrel instance is closed")
            handle = self._handle
            self._calls += 1
        try:
            return fn(handle, *args)
        finally:
            with self._lock:
                self._calls -= 1
                last = self._calls == 0 and self._handle is None
                handle = self._closing_handle if last else None
                if handle:
                    self._closing_handle = None
            if handle:
                lib.zembrel_unref(handle)

    def __enter__(self) -> "Zembrel":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) and _capi is not None and _capi.lib is not None:
            self.close()

    # ---- State and messages

    def set_progress_event_interval(self, seconds: float) -> None:
        """Seconds between the POST's progress messages (default 1.0)."""
        self._call(lib.zembrel_set_progress_event_interval, float(seconds))

    def snapshot(self) -> Dict[str, Any]:
        """The instance's state (postInProgress, fileSize, lastFTPCode …)."""
        return json.loads(_take(self._call(lib.zembrel_snapshot)) or "{}")

    def send_message(self, message: str) -> None:
        """Sends a host message unchanged, on this thread."""
        self._call(lib.zembrel_send_message, _text(message))

    def send_progress(self) -> None:
        """Sends "#progress|…" with :meth:`post_progress`."""
        self._call(lib.zembrel_send_progress)

    def send_ftp_progress(self, count: int) -> None:
        """Sends "#progress|…" with the byte count."""
        self._call(lib.zembrel_send_ftp_progress, count)

    def send_complete(self, status: int) -> None:
        """Sends "#complete|STATUS"."""
        self._call(lib.zembrel_send_complete, status)

    def send_error(self, message: str, code: int) -> None:
        """Sends "#error|MESSAGE|CODE"."""
        self._call(lib.zembrel_send_error, _text(message), code)

    # ---- Digest and keyring

    def md5(self, text: str) -> str:
        """MD5 of the text's UTF-8 bytes as 32 lower-case hex digits."""
        return _take(self._call(lib.zembrel_md5, _text(text))) or ""

    def keychain_store(self, password: str, service: str, account: str,
                       old_service: Optional[str] = None) -> None:
        """Stores password and account under the service name in the user's
        keyring; with ``old_service`` (a rename) its item is removed first.
        Failures are logged and left in :meth:`keychain_status`."""
        self._call(lib.zembrel_keychain_store, _text(password), _text(service), _text(account),
                                   _text(old_service))

    def keychain_get(self, service: str) -> List[str]:
        """``[password, account]`` of the service's item; ``["", ""]`` when
        there is none or the keyring cannot be read."""
        return json.loads(_take(self._call(lib.zembrel_keychain_get, _text(service))) or "[]")

    def keychain_delete(self, service: str) -> None:
        """Deletes the service's item."""
        self._call(lib.zembrel_keychain_delete, _text(service))

    def keychain_status(self) -> int:
        """Status of this thread's last keychain call: 0 when it did what was
        asked, else -25300 (no such item), -25291 (no Secret Service), -25308
        (locked), -60 (timed out), -50 (not UTF-8) or -26276 (other)."""
        return int(self._call(lib.zembrel_keychain_status))

    # ---- HTTP

    def post(self, url: str, fields: Optional[Sequence[Pair]] = None,
             file_part: Optional[str] = None, file: Optional[PathLike] = None,
             headers: Optional[Sequence[Pair]] = None,
             user_agent: Optional[str] = None) -> bool:
        """Posts a form (and a file, streamed from disk) to ``url``; returns at
        once.

        With ``file`` the body is multipart form data with the fields, then
        the file as the part ``file_part``; without a file the fields go
        URL-encoded. Progress (file uploads only), then ``#complete|STATUS``
        or ``#error|DOMAIN|CODE`` arrive as host messages on this thread,
        whose GLib main context must keep running. Returns ``False`` when a
        POST of this instance already runs, or when setting up failed
        (``#error|Setup|0`` is sent).
        """
        return self._call(lib.zembrel_post, _text(url), _text(user_agent),
                                _list(_pairs(fields, file_part)), _path(file),
                                _list(_pairs(headers))) != 0

    def cancel_upload(self) -> None:
        """Ends the running POST without a message (same thread that started it)."""
        self._call(lib.zembrel_cancel_upload)

    def post_progress(self) -> int:
        """Estimated bytes of the file sent so far by the running POST."""
        return int(self._call(lib.zembrel_post_progress))

    def mime_type_for_file(self, file: PathLike) -> Optional[str]:
        """MIME type by the file name's extension."""
        return _take(self._call(lib.zembrel_mime_type_for_file, _path(file)))

    def simple_post(self, url: str, fields: Optional[Sequence[Pair]] = None,
                    encoding: Optional[str] = None, headers: Optional[Sequence[Pair]] = None,
                    user_agent: Optional[str] = None, extra: Optional[str] = None) -> str:
        """One blocking request: a GET without fields, else a POST encoded as
        "multipart", "urlencoded" or "raw" (``extra`` is one more field
        element after the pairs, the raw body when alone). Returns
        ``"#complete|STATUS"`` or ``"#error|DOMAIN|CODE"``; the answer is
        saved for :meth:`parse_response_file`."""
        return _take(self._call(lib.zembrel_simple_post, _text(url), _text(user_agent),
                                             _list(_pairs(fields, extra)), _text(encoding),
                                             _list(_pairs(headers)))) or ""

    def sent_cookies(self, domain: Optional[str]) -> str:
        """Stored cookies of exactly that domain as "n1=v1; n2=v2"."""
        return _take(self._call(lib.zembrel_sent_cookies, _text(domain))) or ""

    def parse_response_file(self, file: PathLike, flatten: bool = False) -> List[Element]:
        """The XML elements of a saved response file (see :func:`xml`)."""
        return _elements(_take(self._call(lib.zembrel_parse_response_file, _path(file),
                                                                int(flatten))))

    # ---- FTP

    def ftp_upload(self, local_path: PathLike, url: str) -> bool:
        """Uploads the file on a worker thread; returns at once.

        Progress comes from the worker thread, then one final message on the
        main thread's context: ``#complete|226``, ``#error|TEXT|CODE``,
        ``#error|Upload Cancelled|0`` or ``#error|Could not connect to
        server|0``. Returns ``False`` while an upload of this instance runs or
        when the file is missing (``#error|File does not exist|0``)."""
        return self._call(lib.zembrel_ftp_upload, _path(local_path), _text(url)) != 0

    def ftp_cancel(self) -> None:
        """Stops the running FTP operation (any thread)."""
        self._call(lib.zembrel_ftp_cancel)

    def ftp_close(self) -> None:
        """Drops the FTP connection; a running upload ends as cancelled."""
        self._call(lib.zembrel_ftp_close)

    def ftp_list(self, url: str, level: Union[int, str, None] = None) -> Optional[Dict[str, Any]]:
        """Lists the directory and its subdirectories down to ``level`` (0-5):
        ``{"directories": [{"name", "directory", "children"}…], "result":
        "TEXT|CODE"}``. ``None`` while an upload of this instance runs."""
        level_text = None if level is None else str(level)
        result = _take(self._call(lib.zembrel_ftp_list, _text(url), _text(level_text)))
        return None if result is None else json.loads(result)

    def ftp_mkdir(self, url: str) -> Optional[str]:
        """Creates the directory the URL's path names; "TEXT|CODE" of the reply."""
        return _take(self._call(lib.zembrel_ftp_mkdir, _text(url)))

    def ftp_rmdir(self, url: str) -> Optional[str]:
        """Removes the directory the URL's path names; "TEXT|CODE" of the reply."""
        return _take(self._call(lib.zembrel_ftp_rmdir, _text(url)))

    # ---- XML

    def xml(self, text_or_path: str, elements: Optional[Sequence[str]] = None,
            flatten: bool = False) -> List[Element]:
        """See :func:`xml`."""
        return xml(text_or_path, elements, flatten)
