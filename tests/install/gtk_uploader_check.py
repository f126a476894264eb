#!/usr/bin/python3
"""Drives examples/python/gtk_uploader.py as a person would, in a real window
(run under Xvfb): chooses two files through the rows' file choosers, presses
Upload, cancels the second upload while both run, lets the first finish
against the local test server, saves a screenshot of the window and checks
each bar's course and each status.

    gtk_uploader_check.py EXAMPLES_DIR SCREENSHOT.png

The zembrel package must be importable (PYTHONPATH of an installed tree).
"""

import hashlib
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time

EXAMPLES, SCREENSHOT = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
SERVERS = pathlib.Path(__file__).resolve().parent.parent / "servers"
sys.path.insert(0, str(EXAMPLES / "python"))
os.environ.setdefault("GSK_RENDERER", "cairo")  # no GL under Xvfb

import gi  # noqa: E402

gi.require_version("Gtk", "4.0")
gi.require_version("GdkX11", "4.0")
from gi.repository import GdkX11, Gio, GLib, Gtk  # noqa: E402

import gtk_uploader  # noqa: E402

failures = []
passes = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    (passes if condition else failures).append(what)


def run_until(done, seconds):
    context = GLib.MainContext.default()
    until = time.monotonic() + seconds
    # A timer wakes the loop, so the deadline is checked when nothing else happens.
    tick = GLib.timeout_add(50, lambda: True)
    try:
        while not done() and time.monotonic() < until:
            context.iteration(True)
    finally:
        GLib.source_remove(tick)
    return done()


def save_window(window, path):
    """A screenshot of the window as the X server shows it."""
    surface = window.get_surface()
    assert isinstance(surface, GdkX11.X11Surface), "not an X11 window"
    path.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(["import", "-window", hex(surface.get_xid()), str(path)], check=True)


def choose(row, path):
    """Chooses the file through the row's own chooser, as a person would."""
    row.choose_button.emit("clicked")
    chooser = row.chooser
    check(chooser is not None, "Choose File opens a file chooser")
    chooser.set_file(Gio.File.new_for_path(str(path)))
    # The chooser selects the file once it has read the folder.
    run_until(lambda: chooser.get_file() is not None, 10)
    chooser.emit("response", Gtk.ResponseType.ACCEPT)
    check(row.path == str(path), f"{path.name} is taken")
    check(row.file_label.get_label().startswith(path.name), f"{path.name}'s name is shown")


def watch(row):
    fractions = []
    row.progress.connect("notify::fraction", lambda bar, _: fractions.append(bar.get_fraction()))
    return fractions


with tempfile.TemporaryDirectory() as work:
    work = pathlib.Path(work)
    records = work / "records"
    records.mkdir()
    server = subprocess.Popen(["/usr/bin/python3", str(SERVERS / "http_server.py"), str(records)],
                              stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline())
        photo = work / "holiday-photo.jpg"
        photo.write_bytes(os.urandom(24 * 1024 * 1024))
        video = work / "holiday-video.mp4"
        video.write_bytes(os.urandom(64 * 1024 * 1024))
        # Received at 4 MiB/s and larger than the sockets buffer, so the bars have
        # time to move, and the video
        # is still running when it is cancelled.
        url = f"http://127.0.0.1:{port}/upload?rate={4 * 1024 * 1024}"

        application = gtk_uploader.UploaderApplication(url)
        application.register(None)
        application.activate()
        window = application.window
        check(run_until(lambda: window.get_mapped(), 10), "the window is shown")
        first, second = window.rows
        choose(first, photo)
        choose(second, video)

        fractions, cancelled_fractions = watch(first), watch(second)
        window.upload_button.emit("clicked")
        check(first.cancel_button.get_sensitive() and second.cancel_button.get_sensitive(),
              "each upload offers its own Cancel")
        check(first.running and second.running, "both uploads run at once")
        run_until(lambda: any(0.0 < f < 1.0 for f in cancelled_fractions), 20)
        second.cancel_button.emit("clicked")
        check(run_until(lambda: not second.running, 10), "Cancel ends that upload")
        check(second.status.get_label() == "Cancelled.",
              f"its status says so: {second.status.get_label()!r}")
        check(first.running or first.status.get_label().startswith("Uploaded"),
              "the other upload was not touched")
        finished = run_until(lambda: window.upload_button.get_sensitive(), 60)
        check(finished, "the uploads end")
        run_until(lambda: False, 0.3)  # let the last redraw happen
        save_window(window, SCREENSHOT)

        final = first.progress.get_fraction()
        check(final == 1.0, f"the first bar ends full (fraction {final})")
        check(any(0.0 < value < 1.0 for value in fractions),
              f"the first bar moved through values between empty and full ({len(fractions)} steps)")
        check(fractions == sorted(fractions), "the bar never went back")
        check(first.status.get_label() == "Uploaded (HTTP 200).",
              f"the first status says so: {first.status.get_label()!r}")
        check(not first.cancel_button.get_sensitive() and not second.cancel_button.get_sensitive(),
              "Cancel is off afterwards")
        stored = {}
        for record_path in records.glob("*.json"):
            record = json.loads(record_path.read_text())
            body = record_path.with_suffix(".body").read_bytes()
            stored[record["complete"]] = (record, body)
        record, body = stored.get(True, ({}, b""))
        check(photo.read_bytes() in body, "the server received the whole photo")
        check(hashlib.sha256(body).hexdigest() == record.get("body_sha256"), "as recorded")
        check(False in stored, "the server saw the video's body stop short")
        check(SCREENSHOT.stat().st_size > 1000, f"screenshot saved to {SCREENSHOT}")
        window.close()
        application.quit()
    finally:
        server.terminate()
        server.wait(10)

print(f"{len(passes)} passed, {len(failures)} failed", flush=True)
sys.exit(1 if failures else 0)
