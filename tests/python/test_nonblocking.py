"""The calls that used to block, through zembrel.aio: the simple request with
its answer in the result, MKD and RMD, the keyring calls; and per-operation
settings reaching the transfer."""

import asyncio
import os
import time

import pytest

import zembrel
import zembrel.aio


def _digits(count):
    return ("0123456789" * (count // 10 + 1))[:count].encode()


@pytest.mark.parametrize("target, call, status, body, sent", [
    ("/g?bytes=5000", {}, 200, _digits(5000), b""),
    ("/p?status=418&body=empty", {"fields": [("a", "1"), ("b", "2")], "encoding": "urlencoded"},
     418, b"", b"a=1&b=2"),
    ("/r?bytes=3", {"data": "<doc/>"}, 200, b"012", b"<doc/>"),
], ids=["get", "urlencoded-418", "raw"])
def test_request_answer_comes_with_the_result(http_server, target, call, status, body, sent):
    before = len(http_server.requests())
    result = asyncio.run(zembrel.aio.request(http_server.url(target), **call))
    assert (result.status, result.ok, result.body) == (status, status < 400, body)
    assert ("Content-Length", str(len(body))) in result.headers
    if not result.ok:
        with pytest.raises(zembrel.HTTPStatusError):
            result.raise_for_status()
    record = http_server.requests()[before]
    assert record["body"] == sent


def test_request_refuses_an_unknown_encoding():
    with pytest.raises(zembrel.TransferError) as raised:
        asyncio.run(zembrel.aio.request("http://127.0.0.1:1/", fields=[("a", "1")],
                                        encoding="jsonn"))
    assert (raised.value.domain, raised.value.code) == ("Setup", 0)
    assert "jsonn" in raised.value.message


def test_ftp_mkdir_and_rmdir_report_the_servers_replies(ftp_server):
    async def make_and_remove():
        made = await zembrel.aio.ftp_mkdir(ftp_server.url("/py_made"))
        exists = (ftp_server.home / "py_made").is_dir()
        removed = await zembrel.aio.ftp_rmdir(ftp_server.url("/py_made"))
        with pytest.raises(zembrel.TransferError) as refused:
            await zembrel.aio.ftp_rmdir(ftp_server.url("/py_missing"))
        return made, exists, removed, refused.value

    made, exists, removed, refused = asyncio.run(make_and_remove())
    assert (made.reply_code, exists) == (257, True)
    assert removed.reply_code == 250 and removed.reply_text
    assert not (ftp_server.home / "py_made").exists()
    assert (refused.domain, refused.code) == ("FTP", 550) and refused.message


def test_keychain_round_trip_without_blocking(require):
    if "DBUS_SESSION_BUS_ADDRESS" not in os.environ:
        require("keyring", "no session bus: run inside tests/servers/keyring-session")
    service = f"python-aio-{os.getpid()}"

    async def round_trip():
        await zembrel.aio.keyring_store(service, "me", "s3cr\u00e9t")
        item = await zembrel.aio.keyring_lookup(service)
        await zembrel.aio.keyring_delete(service)
        with pytest.raises(zembrel.TransferError) as missing:
            await zembrel.aio.keyring_lookup(service)
        return item, missing.value

    item, missing = asyncio.run(round_trip())
    assert (item.password, item.account) == ("s3cr\u00e9t", "me")
    assert "s3cr" not in repr(item)
    assert (missing.domain, missing.code) == ("Keyring", -25300)


def test_settings_reach_the_transfer(http_server, monkeypatch):
    # A proxy where nobody listens: "" ignores it, and the user agent arrives.
    monkeypatch.setenv("http_proxy", "http://127.0.0.1:1")
    before = len(http_server.requests())
    result = zembrel.upload(http_server.url("/s"), fields=[("a", "1")], proxy="",
                            user_agent="PyHost/2")
    assert result.status == 200
    assert ("User-Agent", "PyHost/2") in [tuple(h) for h in http_server.requests()[before]["headers"]]
    with pytest.raises(zembrel.TransferError):
        zembrel.upload(http_server.url("/s"), fields=[("a", "1")])  # through the dead proxy
    # A stall limit of 2 s ends an answer that stops, long before the default 60 s.
    monkeypatch.delenv("http_proxy")
    started = time.monotonic()
    with pytest.raises(zembrel.TransferError) as stalled:
        asyncio.run(zembrel.aio.request(http_server.url("/stall?stall=1"), stall_timeout=2))
    assert (stalled.value.domain, stalled.value.code) == ("Custom", 28)
    assert 1.5 <= time.monotonic() - started < 20


@pytest.mark.parametrize("options", [{"stall_timeout": -1}, {"ca_file": ""}])
def test_refused_settings_raise_before_anything_starts(options):
    with pytest.raises(ValueError):
        asyncio.run(zembrel.aio.request("http://127.0.0.1:1/", **options))
    with pytest.raises(TypeError):
        asyncio.run(zembrel.aio.request("http://127.0.0.1:1/", stall_timout=2))
