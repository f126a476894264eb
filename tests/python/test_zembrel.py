"""The zembrel Python package against the real test servers: a plain
zembrel.iterate() loop and a PyGObject GLib.MainLoop, as hosts run them."""

import os
import threading
import time

import pytest

import zembrel

DEADLINE = 30.0


def iterate_until(done, deadline=DEADLINE):
    """Runs zembrel.iterate() until done() holds; a GLib timer wakes the loop
    so the deadline is checked even when nothing else happens."""
    from gi.repository import GLib
    tick = GLib.timeout_add(50, lambda: True)
    try:
        until = time.monotonic() + deadline
        while not done() and time.monotonic() < until:
            zembrel.iterate(True)
    finally:
        GLib.source_remove(tick)
    return done()


def drain():
    """Dispatches everything the main context has ready now, without waiting."""
    while zembrel.iterate(False):
        pass


def response_file():
    """The saved answer of the last POST (in the run's private TMPDIR)."""
    return os.path.join(os.environ["TMPDIR"], f"zembrel-{os.getuid()}", "kvRX_resp.html")


def run_main_loop_until(done, deadline=DEADLINE):
    """The same inside a GLib.MainLoop, as a GTK application runs."""
    from gi.repository import GLib
    loop = GLib.MainLoop()

    def check():
        if done():
            loop.quit()
            return False
        return True

    GLib.timeout_add(20, check)
    GLib.timeout_add(int(deadline * 1000), loop.quit)
    loop.run()
    return done()


@pytest.mark.parametrize("text, digest", [
    ("", "d41d8cd98f00b204e9800998ecf8427e"),
    ("abc", "900150983cd24fb0d6963f7d28e17f72"),
    ("été", "deaf6a1e9612a4d8c221e68ee23d58d2"),
])
def test_md5(text, digest):
    assert zembrel.md5(text) == digest
    with zembrel.Zembrel() as z:
        assert z.md5(text) == digest


@pytest.mark.parametrize("call", [
    lambda: zembrel.md5("a\0b"),
    lambda: zembrel.Zembrel().post("http://127.0.0.1/\0x"),
])
def test_zero_characters_are_refused_not_cut(call):
    with pytest.raises(ValueError):
        call()


def test_closed_instance_is_refused():
    z = zembrel.Zembrel()
    z.close()
    z.close()
    with pytest.raises(ValueError):
        z.snapshot()


@pytest.mark.parametrize("loop", [iterate_until, run_main_loop_until])
def test_post_sends_fields_and_file_with_progress(loop, http_server, messages, tmp_path):
    content = os.urandom(256 * 1024)
    (tmp_path / "photo.jpg").write_bytes(content)
    z = zembrel.Zembrel()
    z.set_progress_event_interval(0.05)
    before = len(http_server.requests())
    assert z.post(http_server.url("/upload?rate=500000"), fields=[("title", "Holiday é")],
                  file_part="photo", file=tmp_path / "photo.jpg",
                  headers=[("X-Host", "python")], user_agent="py/1")
    assert loop(messages.final)
    assert messages.final() == "#complete|200"
    progress = messages.progress()
    assert progress and progress == sorted(progress)
    request = http_server.requests()[before]
    assert content in request["body"]
    assert 'name="title"\r\n\r\nHoliday é\r\n'.encode() in request["body"]
    assert ["X-Host", "python"] in request["headers"]
    # The saved answer parses.
    saved = z.parse_response_file(response_file(), flatten=True)
    assert [entry["element"] for entry in saved] == ["response", "status", "items", "item", "item"]


def test_ftp_upload_in_a_main_loop_reports_on_worker_then_main(ftp_server, messages, tmp_path):
    content = os.urandom(400 * 1024)
    (tmp_path / "up.bin").write_bytes(content)
    z = zembrel.Zembrel()
    assert z.ftp_upload(tmp_path / "up.bin", ftp_server.url("/"))
    # The host may drop its object at once: the upload holds the instance.
    z.close()
    assert run_main_loop_until(messages.final)
    assert messages.final() == "#complete|226"
    assert (ftp_server.home / "up.bin").read_bytes() == content
    main = threading.get_ident()
    threads = {text.split("|")[0]: thread for text, thread in messages.received}
    assert threads["#complete"] == main
    assert threads["#progress"] != main
    assert messages.progress()[-1] == len(content)


def test_cancelled_post_sends_nothing_and_frees_the_instance(http_server, messages, tmp_path):
    (tmp_path / "big.bin").write_bytes(b"x" * (4 * 1024 * 1024))
    z = zembrel.Zembrel()
    url = http_server.url("/slow?rate=200000")
    z.set_progress_event_interval(0.05)
    assert z.post(url, file=tmp_path / "big.bin")
    assert not z.post(url)  # one POST per instance at a time
    assert iterate_until(lambda: messages.progress())  # under way
    z.cancel_upload()
    state = z.snapshot()
    assert not (state["postInProgress"] or state["hasProgressTimer"] or state["hasRateTimer"])
    # Nothing of the cancelled POST is left to run: whatever it had queued is
    # dispatched now, and none of it is a message.
    seen = len(messages.texts())
    drain()
    assert messages.final() is None
    assert len(messages.texts()) == seen
    assert z.post(http_server.url("/again"), fields=[("a", "1")])
    assert iterate_until(messages.final)
    assert messages.final() == "#complete|200"


def test_handler_exception_is_reported_and_the_upload_goes_on(http_server, capfd):
    seen = []

    def handler(message):
        seen.append(message)
        raise RuntimeError("host bug")

    zembrel.set_message_handler(handler)
    try:
        assert zembrel.Zembrel().post(http_server.url("/x"), fields=[("a", "1")])
        assert iterate_until(lambda: any(zembrel.is_final(m) for m in seen))
    finally:
        zembrel.set_message_handler(None)
    assert seen[-1] == "#complete|200"
    assert "host bug" in capfd.readouterr().err


def test_simple_post_cookies_and_saved_response(http_server, tmp_path):
    z = zembrel.Zembrel()
    result = z.simple_post(http_server.url("/form?cookie=id=7"), fields=[("q", "a b")],
                           encoding="urlencoded", user_agent="py/1")
    assert result == "#complete|200"
    # Found by its path: the server records a request when its connection
    # ends, so an earlier test's cancelled upload may be recorded after it.
    mine = [r for r in http_server.requests() if r["target"].startswith("/form?")]
    assert [r["body"] for r in mine] == [b"q=a%20b"]
    assert z.sent_cookies("127.0.0.1") == "id=7"
    flat = z.parse_response_file(response_file(), flatten=True)
    assert [entry["element"] for entry in flat] == ["response", "status", "items", "item", "item"]
    assert z.parse_response_file(tmp_path / "missing.html") == []


def test_ftp_directories(ftp_server):
    z = zembrel.Zembrel()
    for path in ("/py/", "/py/a/", "/py/a/b/"):
        assert z.ftp_mkdir(ftp_server.url(path)).endswith("|257")
    (ftp_server.home / "py" / "f.txt").write_text("1")
    listing = z.ftp_list(ftp_server.url("/py/"), level=2)
    assert listing["result"].endswith("|226")
    tree = {entry["name"]: entry for entry in listing["directories"]}
    assert tree["a"]["directory"] and tree["a"]["children"][0]["name"] == "b"
    assert tree["f.txt"]["directory"] is False
    assert z.ftp_list(ftp_server.url("/py/"), level="0")["directories"][0]["children"] == []
    z.ftp_close()


@pytest.mark.parametrize("document, elements, flatten, expected", [
    ('<r><a k="v">1</a></r>', None, False,
     [{"element": "a", "value": "1", "attributes": {"k": "v"}}]),
    ("<r><b><a>1</a></b><a>2</a></r>", ["a"], True,
     [{"element": "a", "value": "1", "attributes": {}},
      {"element": "a", "value": "2", "attributes": {}}]),
    ("<r>caf\u00e9</r>", [], False, []),
])
def test_xml(document, elements, flatten, expected):
    assert zembrel.xml(document, elements, flatten) == expected


def test_xml_error_raises():
    with pytest.raises(zembrel.XMLError, match="^Error "):
        zembrel.xml("<r><unclosed></r>")


@pytest.mark.parametrize("function, arguments, expected", [
    (zembrel.url_base_path, ("ftp://u:p@h/a/b",), "ftp://u:p@h"),
    (zembrel.url_base_path, ("not a url",), None),
    (zembrel.url_relative_path, ("ftp://h/a%20b/",), "a b"),
    (zembrel.url_combine, ("ftp://h/a", "b", "f.txt", True), "ftp://h/a/b/f.txt"),
    (zembrel.url_upload_destination, ("ftp://h/", "/tmp/x y.bin"), "ftp://h/x%20y.bin"),
])
def test_url_helpers(function, arguments, expected):
    assert function(*arguments) == expected


def test_keychain_round_trip(require):
    if "DBUS_SESSION_BUS_ADDRESS" not in os.environ:
        require("keyring", "no session bus: run inside tests/servers/keyring-session")
    z = zembrel.Zembrel()
    service = f"py-test-{os.getpid()}"
    z.keychain_store("s3cr\u00e9t", service, "me")
    assert z.keychain_status() == 0
    assert z.keychain_get(service) == ["s3cr\u00e9t", "me"]
    z.keychain_store("new", service + "-2", "me", old_service=service)
    assert z.keychain_get(service) == ["", ""]
    z.keychain_delete(service + "-2")
    assert z.keychain_get(service + "-2") == ["", ""]
    assert z.keychain_status() == -25300


def test_close_during_a_call_on_another_thread_waits_for_it(http_server):
    # The call runs on; the reference goes only once it has returned.
    z = zembrel.Zembrel()
    results = []
    worker = threading.Thread(
        target=lambda: results.append(z.simple_post(http_server.url("/closing?delay=0.5"))))
    worker.start()
    deadline = time.monotonic() + 10
    while z._calls == 0 and time.monotonic() < deadline:  # the call has begun
        time.sleep(0.005)
    z.close()
    worker.join(10)
    assert results == ["#complete|200"]
    with pytest.raises(ValueError):
        z.md5("a")


@pytest.mark.parametrize("text, parsed", [
    ("#progress|  512", {"kind": "progress", "value": 512}),
    ("#complete|200", {"kind": "complete", "value": 200}),
    ("#error|setup|nil", {"kind": "error", "domain": "setup", "code": 0}),
    ("#error|POSIX|x", None),
])
def test_parse_message(text, parsed):
    assert zembrel.parse_message(text) == parsed
    assert zembrel.is_final(text) == (parsed is not None and parsed["kind"] != "progress")
