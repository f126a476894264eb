"""Per-operation settings: what one operation asks in place of the library's
defaults (zembrel_settings in zembrel.h)."""

from __future__ import annotations

import dataclasses
import os
from dataclasses import dataclass
from typing import Any, Mapping, Optional, Union

from ._capi import lib, path as _path, text as _text

PathLike = Union[str, "os.PathLike[str]"]


@dataclass(frozen=True)
class Settings:
    """Each field left ``None`` keeps the library's default.

    ``connect_timeout`` (default 30 s) and ``stall_timeout`` (no byte moving
    for that long fails the transfer; default 60 s) are seconds, rounded up;
    ``ca_file`` names the PEM certificates TLS trusts (certificates are always
    verified); ``proxy`` is the proxy of every transfer, ``""`` for none
    (``None``: the environment's proxy variables); ``progress_interval`` is
    the shortest time between two progress calls (default 0.2 s);
    ``user_agent`` is sent with HTTP requests."""

    connect_timeout: Optional[float] = None
    stall_timeout: Optional[float] = None
    ca_file: Optional[PathLike] = None
    proxy: Optional[str] = None
    progress_interval: Optional[float] = None
    user_agent: Optional[str] = None

    @classmethod
    def of(cls, settings: Optional["Settings"], options: Mapping[str, Any]) -> "Settings":
        """``settings`` (or the defaults) with the keyword ``options`` put
        over it; an unknown keyword raises TypeError."""
        return dataclasses.replace(settings or cls(), **options)


class CSettings:
    """The C object of one start call; freed with this object."""

    def __init__(self, settings: Settings) -> None:
        self.handle = lib.zembrel_settings_new()
        if not self.handle:
            raise MemoryError("libzembrel could not make settings")
        setters = [
            ("connect_timeout", lib.zembrel_settings_set_connect_timeout, float),
            ("stall_timeout", lib.zembrel_settings_set_stall_timeout, float),
            ("ca_file", lib.zembrel_settings_set_ca_file, _path),
            ("proxy", lib.zembrel_settings_set_proxy, _text),
            ("progress_interval", lib.zembrel_settings_set_progress_interval, float),
            ("user_agent", lib.zembrel_settings_set_user_agent, _text),
        ]
        for name, setter, convert in setters:
            value = getattr(settings, name)
            if value is not None and setter(self.handle, convert(value)) != 0:
                raise ValueError(f"zembrel refuses {name}={value!r}")

    def __del__(self) -> None:
        if getattr(self, "handle", None):
            lib.zembrel_settings_free(self.handle)
            self.handle = None
