#!/usr/bin/python3
"""Drives examples/python/gtk_uploader.py as a person would, in a real window
(run under Xvfb): chooses a file through the window's file chooser, presses
Upload, lets the upload run against the local test server, saves a
screenshot of the window and checks the progress bar's course and final
value.

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
    while not done() and time.monotonic() < until:
        context.iteration(True)
    return done()


def save_window(window, path):
    """A screenshot of the window as the X server shows it."""
    surface = window.get_surface()
    assert isinstance(surface, GdkX11.X11Surface), "not an X11 window"
    path.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(["import", "-window", hex(surface.get_xid()), str(path)], check=True)


with tempfile.TemporaryDirectory() as work:
    work = pathlib.Path(work)
    records = work / "records"
    records.mkdir()
    server = subprocess.Popen(["/usr/bin/python3", str(SERVERS / "http_server.py"), str(records)],
                              stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline())
        photo = work / "holiday-photo.jpg"
        photo.write_bytes(os.urandom(3 * 1024 * 1024))
        # Received at 4 MiB/s, so the bar has time to move.
        url = f"http://127.0.0.1:{port}/upload?rate={4 * 1024 * 1024}"

        application = gtk_uploader.UploaderApplication(url)
        application.register(None)
        application.activate()
        window = application.window
        check(run_until(lambda: window.get_mapped(), 10), "the window is shown")

        # Choose the file through the window's own chooser.
        window.choose_button.emit("clicked")
        chooser = window.chooser
        check(chooser is not None, "Choose File opens a file chooser")
        chooser.set_file(Gio.File.new_for_path(str(photo)))
        # The chooser selects the file once it has read the folder.
        run_until(lambda: chooser.get_file() is not None, 10)
        chooser.emit("response", Gtk.ResponseType.ACCEPT)
        check(window.path == str(photo), "the chosen file is taken")
        check(window.file_label.get_label().startswith("holiday-photo.jpg"),
              "the file's name is shown")

        fractions = []
        window.progress.connect("notify::fraction",
                                lambda bar, _: fractions.append(bar.get_fraction()))
        window.upload_button.emit("clicked")
        check(window.cancel_button.get_sensitive(), "Cancel is offered while uploading")
        finished = run_until(lambda: window.upload_button.get_sensitive(), 60)
        check(finished, "the upload finishes")
        run_until(lambda: False, 0.3)  # let the last redraw happen
        save_window(window, SCREENSHOT)

        final = window.progress.get_fraction()
        check(final == 1.0, f"the bar ends full (fraction {final})")
        check(any(0.0 < value < 1.0 for value in fractions),
              f"the bar moved through values between empty and full ({len(fractions)} steps)")
        check(fractions == sorted(fractions), "the bar never went back")
        check(window.status.get_label() == "Uploaded (HTTP 200).",
              f"the status says so: {window.status.get_label()!r}")
        check(not window.cancel_button.get_sensitive(), "Cancel is off afterwards")
        record = json.loads((records / "1.json").read_text())
        body = (records / "1.body").read_bytes()
        check(record["complete"] and photo.read_bytes() in body,
              "the server received the whole file")
        check(hashlib.sha256(body).hexdigest() == record["body_sha256"], "as recorded")
        check(SCREENSHOT.stat().st_size > 1000, f"screenshot saved to {SCREENSHOT}")
        window.close()
        application.quit()
    finally:
        server.terminate()
        server.wait(10)

print(f"{len(passes)} passed, {len(failures)} failed", flush=True)
sys.exit(1 if failures else 0)
