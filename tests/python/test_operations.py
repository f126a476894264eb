"""Operations of their own (zembrel.upload, zembrel.aio, zembrel.start_upload)
against the real test server: results told apart, progress per operation,
cancellation that the server sees, failures as exceptions."""

import asyncio
import os
import socket
import time

import pytest

import zembrel
import zembrel.aio

from test_zembrel import iterate_until

SLOW = 256 * 1024  # bytes per second the server reads at, for uploads that last


def _file(tmp_path, name, size):
    path = tmp_path / name
    path.write_bytes(os.urandom(size))
    return path


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_gathered_uploads_keep_their_own_results_and_progress(http_server, tmp_path):
    small, large = _file(tmp_path, "small.bin", 64 * 1024), _file(tmp_path, "large.bin", 512 * 1024)
    seen = {"ok": [], "teapot": []}

    async def both():
        return await asyncio.gather(
            zembrel.aio.upload(http_server.url(f"/a?rate={4 * SLOW}"), file=large, file_part="f",
                               progress=lambda d, t: seen["ok"].append((d, t))),
            zembrel.aio.upload(http_server.url("/b?status=418"), file=small, file_part="f",
                               progress=lambda d, t: seen["teapot"].append((d, t))))

    ok, teapot = asyncio.run(both())
    assert (ok.status, ok.ok, ok.message) == (200, True, "#complete|200")
    assert (teapot.status, teapot.ok) == (418, False)
    with pytest.raises(zembrel.HTTPStatusError) as raised:
        teapot.raise_for_status()
    assert raised.value.status == 418
    assert ok.raise_for_status() is ok
    done = [d for d, _ in seen["ok"]]
    assert done and done == sorted(done) and done[-1] <= 512 * 1024
    assert all(total == 512 * 1024 for _, total in seen["ok"])


@pytest.mark.parametrize("url, domain, code", [
    (lambda port: f"http://127.0.0.1:{port}/", "POSIX", 111),
    (lambda port: f"http://127.0.0.1:{port}/", "File", None),
    (lambda port: "gopher://127.0.0.1/", "Setup", 0),
])
def test_failures_raise_transfer_errors_with_domain_code_and_words(tmp_path, url, domain, code):
    # The "File" row sends a file that is not there.
    file = _file(tmp_path, "f.bin", 1024) if domain != "File" else tmp_path / "missing.bin"
    with pytest.raises(zembrel.TransferError) as raised:
        zembrel.upload(url(_free_port()), file=file, file_part="f")
    error = raised.value
    assert error.domain == domain
    if code is not None:
        assert error.code == code
    assert error.message  # in words, not only a code


def _open_paths():
    """What this process has open, by path."""
    found = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            found.add(os.readlink(f"/proc/self/fd/{fd}"))
        except OSError:
            pass  # closed meanwhile, or the listing's own
    return found


def test_cancelling_the_task_stops_the_transfer(http_server, tmp_path):
    # Larger than what the socket buffers hold, so the server sees it stop.
    file = _file(tmp_path, "big.bin", 64 * 1024 * 1024)
    before = len(http_server.requests())

    async def cancel_midway():
        task = asyncio.ensure_future(
            zembrel.aio.upload(http_server.url(f"/slow?rate={16 * SLOW}"), file=file,
                               file_part="f"))
        await asyncio.sleep(0.5)
        assert str(file) in _open_paths()  # the body is being read
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        # Checked at once: the library has let go of the file, and with it
        # of the transfer, by the time the cancelled task returns.
        assert str(file) not in _open_paths()
        # The other operations are untouched: a later one still completes.
        return await zembrel.aio.upload(http_server.url("/after"), fields=[("n", "1")])

    started = time.monotonic()
    after = asyncio.run(cancel_midway())
    assert after.status == 200
    assert time.monotonic() - started < 10  # not the 16 s the whole body takes
    def slow_records():
        return [r for r in http_server.requests()[before:] if r["target"].startswith("/slow")]
    until = time.monotonic() + 20
    while not slow_records() and time.monotonic() < until:
        time.sleep(0.05)
    # The server saw the body stop short.
    assert [r["complete"] for r in slow_records()] == [False]


def test_blocking_upload_reports_progress_on_the_calling_thread(http_server, tmp_path):
    import threading
    file = _file(tmp_path, "f.bin", 256 * 1024)
    threads = set()
    result = zembrel.upload(http_server.url(f"/p?rate={2 * SLOW}"), file=file, file_part="f",
                            progress=lambda d, t: threads.add(threading.get_ident()))
    assert result.status == 200
    assert threads == {threading.get_ident()}


def test_started_operation_calls_back_on_this_threads_context(http_server, tmp_path):
    file = _file(tmp_path, "f.bin", 128 * 1024)
    ended = []
    operation = zembrel.start_upload(http_server.url(), file=file, file_part="f",
                                     done=ended.append)
    assert not ended  # never inside the start call
    assert iterate_until(lambda: ended)
    assert ended == [operation] and operation.result.status == 200
    operation.cancel()  # after the end: changes nothing
    assert operation.result.status == 200 and not operation.cancelled


# Scripts whose operations outlive their event loop: every callback that comes
# late must be dropped quietly, never raise inside the library's thread.
_LATE_CALLBACKS = {
    "left running at asyncio.run's end": """
async def main():
    asyncio.ensure_future(aio.upload(URL, file=FILE, file_part="f", progress=lambda d, t: None))
    await asyncio.sleep(0.3)
asyncio.run(main())
""",
    "loop closed while the operation runs": """
loop = asyncio.new_event_loop()
loop.create_task(aio.upload(URL, file=FILE, file_part="f", progress=lambda d, t: None))
loop.run_until_complete(asyncio.sleep(0.3))
loop.close()
""",
}


@pytest.mark.parametrize("script", _LATE_CALLBACKS.values(), ids=_LATE_CALLBACKS.keys())
def test_callbacks_after_the_loop_ends_are_dropped_quietly(http_server, tmp_path, script):
    import subprocess
    import sys
    import textwrap
    file = _file(tmp_path, "late.bin", 4 * 1024 * 1024)
    before = len(http_server.requests())
    program = textwrap.dedent(f"""
        import asyncio, time
        import zembrel.aio as aio
        URL = {http_server.url(f"/late?rate={4 * SLOW}&nostore=1")!r}
        FILE = {str(file)!r}
    """) + script + "time.sleep(2)  # while late callbacks would arrive\nprint('ended')\n"
    run = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True,
                         timeout=60)
    assert run.stdout.strip() == "ended", run.stderr
    assert "Exception ignored" not in run.stderr and "Traceback" not in run.stderr, run.stderr
    # The server has seen the upload end (stopped short), so that no record
    # of it comes in among a later test's.
    until = time.monotonic() + 20
    while len(http_server.requests()) == before and time.monotonic() < until:
        time.sleep(0.05)
    assert [r["complete"] for r in http_server.requests()[before:]] == [False]


def test_started_operation_from_a_thread_calls_back_there_or_is_refused(http_server, tmp_path):
    import threading
    from gi.repository import GLib
    file = _file(tmp_path, "t.bin", 64 * 1024)
    seen = {}

    def without_context():
        try:
            zembrel.start_upload(http_server.url("/refused"), file=file, file_part="f")
        except zembrel.TransferError as error:
            seen["refused"] = error.domain

    def with_context():
        context = GLib.MainContext.new()
        context.push_thread_default()
        ended = []
        zembrel.start_upload(http_server.url("/own"), file=file, file_part="f",
                             done=lambda op: ended.append(threading.get_ident()))
        until = time.monotonic() + 20
        while not ended and time.monotonic() < until:
            context.iteration(False)
            time.sleep(0.005)
        context.pop_thread_default()
        seen["ended on"] = ended
        seen["own thread"] = threading.get_ident()

    for body in (without_context, with_context):
        worker = threading.Thread(target=body)
        worker.start()
        worker.join()
    assert seen["refused"] == "Setup"
    assert seen["ended on"] == [seen["own thread"]]


def test_upload_result_holds_its_own_answer(http_server, tmp_path):
    file = _file(tmp_path, "photo.jpg", 4096)

    async def both():
        return await asyncio.gather(
            zembrel.aio.upload(http_server.url("/one?bytes=12"), file=file, file_part="f"),
            zembrel.aio.upload(http_server.url("/two?body=text&status=201"), fields=[("a", "1")]))

    one, two = asyncio.run(both())
    assert one.body == b"012345678901" and two.body == b"plain text, no markup\n"
    assert ("Content-Length", "12") in one.headers
    assert ("Content-Type", "text/plain") in two.headers and two.status == 201
    assert zembrel.upload(http_server.url("/three?bytes=3"), file=file, file_part="f").body == b"012"
