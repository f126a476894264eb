"""Loads libzembrel and declares the C functions of zembrel.h for ctypes.

The library is looked for, in order: the path in $ZEMBREL_LIBRARY; the
library installed beside this package (the path _paths.py records at install
time); then the dynamic loader's own search for libzembrel.so.0.
"""

from __future__ import annotations

import ctypes
import os
from typing import Optional, Sequence

SONAME = "libzembrel.so.0"

# (name, result type, argument types) of every function of zembrel.h.
_c_char_pp = ctypes.POINTER(ctypes.c_char_p)
_handle = ctypes.c_void_p
_string = ctypes.c_void_p  # a malloc'd char *, taken over by take_string()
MESSAGE_FN = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)

_PROTOTYPES = [
    ("zembrel_set_message_handler", None, [MESSAGE_FN, ctypes.c_void_p]),
    ("zembrel_parse_message", _string, [ctypes.c_char_p]),
    ("zembrel_iterate", ctypes.c_int, [ctypes.c_int]),
    ("zembrel_new", _handle, []),
    ("zembrel_ref", _handle, [_handle]),
    ("zembrel_unref", None, [_handle]),
    ("zembrel_free", None, [ctypes.c_void_p]),
    ("zembrel_version", ctypes.c_char_p, []),
    ("zembrel_set_progress_event_interval", None, [_handle, ctypes.c_double]),
    ("zembrel_snapshot", _string, [_handle]),
    ("zembrel_send_message", None, [_handle, ctypes.c_char_p]),
    ("zembrel_send_progress", None, [_handle]),
    ("zembrel_send_ftp_progress", None, [_handle, ctypes.c_uint64]),
    ("zembrel_send_complete", None, [_handle, ctypes.c_uint32]),
    ("zembrel_send_error", None, [_handle, ctypes.c_char_p, ctypes.c_int32]),
    ("zembrel_md5", _string, [_handle, ctypes.c_char_p]),
    ("zembrel_keychain_store", None,
     [_handle, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p]),
    ("zembrel_keychain_get", _string, [_handle, ctypes.c_char_p]),
    ("zembrel_keychain_delete", None, [_handle, ctypes.c_char_p]),
    ("zembrel_keychain_status", ctypes.c_int32, [_handle]),
    ("zembrel_post", ctypes.c_int,
     [_handle, ctypes.c_char_p, ctypes.c_char_p, _c_char_pp, ctypes.c_char_p, _c_char_pp]),
    ("zembrel_cancel_upload", None, [_handle]),
    ("zembrel_post_progress", ctypes.c_int64, [_handle]),
    ("zembrel_mime_type_for_file", _string, [_handle, ctypes.c_char_p]),
    ("zembrel_simple_post", _string,
     [_handle, ctypes.c_char_p, ctypes.c_char_p, _c_char_pp, ctypes.c_char_p, _c_char_pp]),
    ("zembrel_sent_cookies", _string, [_handle, ctypes.c_char_p]),
    ("zembrel_parse_response_file", _string, [_handle, ctypes.c_char_p, ctypes.c_int]),
    ("zembrel_ftp_upload", ctypes.c_int, [_handle, ctypes.c_char_p, ctypes.c_char_p]),
    ("zembrel_ftp_cancel", None, [_handle]),
    ("zembrel_ftp_close", None, [_handle]),
    ("zembrel_ftp_list", _string, [_handle, ctypes.c_char_p, ctypes.c_char_p]),
    ("zembrel_ftp_mkdir", _string, [_handle, ctypes.c_char_p]),
    ("zembrel_ftp_rmdir", _string, [_handle, ctypes.c_char_p]),
    ("zembrel_url_base_path", _string, [ctypes.c_char_p]),
    ("zembrel_url_relative_path", _string, [ctypes.c_char_p]),
    ("zembrel_url_combine", _string,
     [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
    ("zembrel_url_upload_destination", _string, [ctypes.c_char_p, ctypes.c_char_p]),
    ("zembrel_xml", _string, [ctypes.c_char_p, _c_char_pp, ctypes.c_int]),
    ("zembrel_xml_process_elements", _string, [ctypes.c_int32, ctypes.c_int32, ctypes.c_int32]),
    ("zembrel_xml_find_next_element", ctypes.c_int32,
     [ctypes.c_int32, ctypes.c_int32, ctypes.c_int32]),
]


# Operations (the C interface's 0.2 node).
OP = ctypes.c_void_p
LOOP = ctypes.c_void_p
SETTINGS = ctypes.c_void_p
PROGRESS_FN = ctypes.CFUNCTYPE(None, OP, ctypes.c_int64, ctypes.c_int64, ctypes.c_void_p)
DONE_FN = ctypes.CFUNCTYPE(None, OP, ctypes.c_void_p)
CALL_FN = ctypes.CFUNCTYPE(None, ctypes.c_void_p)

_ADDED_IN_0_2 = [
    ("zembrel_loop_new", LOOP, []),
    ("zembrel_loop_invoke", None, [LOOP, CALL_FN, ctypes.c_void_p]),
    ("zembrel_loop_free", None, [LOOP]),
    ("zembrel_post_async", OP,
     [ctypes.c_char_p, _c_char_pp, ctypes.c_char_p, ctypes.c_char_p, _c_char_pp,
      PROGRESS_FN, DONE_FN, ctypes.c_void_p]),
    ("zembrel_resumable_upload_async", OP,
     [ctypes.c_char_p, ctypes.c_char_p, _c_char_pp, _c_char_pp, PROGRESS_FN, DONE_FN,
      ctypes.c_void_p]),
    ("zembrel_ftp_upload_async", OP,
     [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, PROGRESS_FN, DONE_FN, ctypes.c_void_p]),
    ("zembrel_ftp_list_async", OP, [ctypes.c_char_p, ctypes.c_int, DONE_FN, ctypes.c_void_p]),
    ("zembrel_op_cancel", None, [OP]),
    ("zembrel_op_ref", OP, [OP]),
    ("zembrel_op_unref", None, [OP]),
    ("zembrel_op_status", ctypes.c_int, [OP]),
    ("zembrel_op_http_status", ctypes.c_int, [OP]),
    ("zembrel_op_error_domain", ctypes.c_char_p, [OP]),
    ("zembrel_op_error_code", ctypes.c_int, [OP]),
    ("zembrel_op_error_message", ctypes.c_char_p, [OP]),
    ("zembrel_op_message", ctypes.c_char_p, [OP]),
    ("zembrel_op_location", ctypes.c_char_p, [OP]),
    ("zembrel_op_result_json", _string, [OP]),
    # Per-operation settings, and the calls that used to block.
    ("zembrel_settings_new", SETTINGS, []),
    ("zembrel_settings_free", None, [SETTINGS]),
    ("zembrel_settings_set_connect_timeout", ctypes.c_int, [SETTINGS, ctypes.c_double]),
    ("zembrel_settings_set_stall_timeout", ctypes.c_int, [SETTINGS, ctypes.c_double]),
    ("zembrel_settings_set_ca_file", ctypes.c_int, [SETTINGS, ctypes.c_char_p]),
    ("zembrel_settings_set_proxy", ctypes.c_int, [SETTINGS, ctypes.c_char_p]),
    ("zembrel_settings_set_progress_interval", ctypes.c_int, [SETTINGS, ctypes.c_double]),
    ("zembrel_settings_set_user_agent", ctypes.c_int, [SETTINGS, ctypes.c_char_p]),
    ("zembrel_post_async_with", OP,
     [SETTINGS, ctypes.c_char_p, _c_char_pp, ctypes.c_char_p, ctypes.c_char_p, _c_char_pp,
      PROGRESS_FN, DONE_FN, ctypes.c_void_p]),
    ("zembrel_resumable_upload_async_with", OP,
     [SETTINGS, ctypes.c_char_p, ctypes.c_char_p, _c_char_pp, _c_char_pp, PROGRESS_FN, DONE_FN,
      ctypes.c_void_p]),
    ("zembrel_ftp_upload_async_with", OP,
     [SETTINGS, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, PROGRESS_FN, DONE_FN,
      ctypes.c_void_p]),
    ("zembrel_ftp_list_async_with", OP,
     [SETTINGS, ctypes.c_char_p, ctypes.c_int, DONE_FN, ctypes.c_void_p]),
    ("zembrel_request_async", OP,
     [SETTINGS, ctypes.c_char_p, _c_char_pp, ctypes.c_char_p, _c_char_pp, PROGRESS_FN, DONE_FN,
      ctypes.c_void_p]),
    ("zembrel_ftp_mkdir_async", OP, [SETTINGS, ctypes.c_char_p, DONE_FN, ctypes.c_void_p]),
    ("zembrel_ftp_rmdir_async", OP, [SETTINGS, ctypes.c_char_p, DONE_FN, ctypes.c_void_p]),
    ("zembrel_keyring_store_async", OP,
     [SETTINGS, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, DONE_FN,
      ctypes.c_void_p]),
    ("zembrel_keyring_lookup_async", OP, [SETTINGS, ctypes.c_char_p, DONE_FN, ctypes.c_void_p]),
    ("zembrel_keyring_delete_async", OP, [SETTINGS, ctypes.c_char_p, DONE_FN, ctypes.c_void_p]),
    ("zembrel_op_response_body", ctypes.c_void_p, [OP, ctypes.POINTER(ctypes.c_size_t)]),
    ("zembrel_op_response_headers", ctypes.c_char_p, [OP]),
    ("zembrel_op_reply_code", ctypes.c_int, [OP]),
    ("zembrel_op_reply_text", ctypes.c_char_p, [OP]),
    ("zembrel_op_password", ctypes.c_char_p, [OP]),
    ("zembrel_op_account", ctypes.c_char_p, [OP]),
]


def _candidates() -> list[str]:
    found = []
    explicit = os.environ.get("ZEMBREL_LIBRARY")
    if explicit:
        found.append(explicit)
    try:
        from . import _paths  # written by the installation
        beside = os.path.normpath(os.path.join(os.path.dirname(__file__), _paths.LIBRARY))
        if os.path.exists(beside):
            found.append(beside)
    except ImportError:
        pass
    found.append(SONAME)
    return found


def _load() -> ctypes.CDLL:
    errors = []
    for candidate in _candidates():
        try:
            # CDLL (not PyDLL) releases the GIL during every call, so the
            # library's worker threads can run Python handlers meanwhile.
            library = ctypes.CDLL(candidate)
            break
        except OSError as error:
            errors.append(str(error))
    else:
        raise ImportError("libzembrel not found: " + "; ".join(errors))
    for name, result, arguments in _PROTOTYPES + _ADDED_IN_0_2:
        try:
            function = getattr(library, name)
        except AttributeError:
            # An older library: the operations of their own are missing, and
            # using one says so (see require_operations()).
            if (name, result, arguments) in _ADDED_IN_0_2:
                continue
            raise
        function.restype = result
        function.argtypes = arguments
    return library


lib = _load()


def take_string(pointer: Optional[int]) -> Optional[str]:
    """The text of a returned char * (None for NULL), freeing it."""
    if not pointer:
        return None
    try:
        return ctypes.string_at(pointer).decode("utf-8", "replace")
    finally:
        lib.zembrel_free(pointer)


def text(value: Optional[str]) -> Optional[bytes]:
    """A str as UTF-8 for a const char * argument; None stays NULL."""
    if value is None:
        return None
    data = value.encode("utf-8")
    if b"\0" in data:
        raise ValueError("text holds a zero character, which C strings cannot carry")
    return data


def path(value: Optional["os.PathLike[str] | str"]) -> Optional[bytes]:
    """A file path in the file system's encoding; None stays NULL."""
    if value is None:
        return None
    data = os.fsencode(value)
    if b"\0" in data:
        raise ValueError("path holds a zero byte")
    return data


def text_list(values: Optional[Sequence[str]]) -> Optional[ctypes.Array]:
    """A NULL-terminated array of UTF-8 strings; None stays NULL."""
    if values is None:
        return None
    array = (ctypes.c_char_p * (len(values) + 1))()
    for index, value in enumerate(values):
        array[index] = text(value)
    array[len(values)] = None
    return array


def require_operations() -> None:
    """Raises RuntimeError when the loaded library predates operations of their own."""
    if not hasattr(lib, "zembrel_op_status"):
        raise RuntimeError("this needs libzembrel 0.2 or later; the loaded one is "
                           + lib.zembrel_version().decode())
