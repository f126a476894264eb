#!/usr/bin/python3
"""A GTK 4 window that uploads two files to a web server at once, each with
its own progress bar and Cancel button: the starting point of a desktop host
in Python.

    python3 gtk_uploader.py [URL [FILE [FILE]]]

Each upload is an operation of its own (zembrel.start_upload): its progress
and its end are called back on this thread's GLib main context, which GTK's
main loop runs, so widgets can be touched directly. Cancelling one leaves the
other running.
"""

from __future__ import annotations

import os
import sys
from typing import List, Optional

import gi

gi.require_version("Gtk", "4.0")
from gi.repository import Gio, Gtk, Pango  # noqa: E402

import zembrel  # noqa: E402


def human(count: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024
    return ""


class UploadRow(Gtk.Box):
    """One file: its name, Choose File…, a progress bar, a status and Cancel."""

    def __init__(self, window: "UploaderWindow", number: int) -> None:
        super().__init__(orientation=Gtk.Orientation.VERTICAL, spacing=6)
        self.window = window
        self.path: Optional[str] = None
        self.total = 0
        self.chooser: Optional[Gtk.FileChooserNative] = None
        self.operation: Optional[zembrel.Operation] = None

        top = Gtk.Box(spacing=12)
        self.file_label = Gtk.Label(label=f"File {number}: none chosen", xalign=0, hexpand=True,
                                    ellipsize=Pango.EllipsizeMode.MIDDLE)
        self.choose_button = Gtk.Button(label="Choose File…")
        self.choose_button.connect("clicked", self.on_choose)
        self.cancel_button = Gtk.Button(label="Cancel", sensitive=False)
        self.cancel_button.connect("clicked", self.on_cancel)
        top.append(self.file_label)
        top.append(self.choose_button)
        top.append(self.cancel_button)
        self.append(top)
        self.progress = Gtk.ProgressBar(show_text=True, text="")
        self.append(self.progress)
        self.status = Gtk.Label(label="", xalign=0)
        self.status.add_css_class("dim-label")
        self.append(self.status)

    # ---- File choice

    def on_choose(self, _button: Gtk.Button) -> None:
        self.chooser = Gtk.FileChooserNative(title="File to upload", transient_for=self.window,
                                             action=Gtk.FileChooserAction.OPEN, modal=True)
        self.chooser.connect("response", self.on_chosen)
        self.chooser.show()

    def on_chosen(self, chooser: Gtk.FileChooserNative, response: int) -> None:
        if response == Gtk.ResponseType.ACCEPT and chooser.get_file() is not None:
            self.set_file(chooser.get_file().get_path())
        chooser.destroy()
        self.chooser = None

    def set_file(self, path: str) -> None:
        self.path = path
        self.total = os.path.getsize(path)
        self.file_label.set_label(f"{os.path.basename(path)} ({human(self.total)})")
        self.progress.set_fraction(0.0)
        self.progress.set_text("")
        self.status.set_label("")

    # ---- Upload

    @property
    def running(self) -> bool:
        return self.operation is not None and not self.operation.finished

    def start(self, url: str) -> None:
        if not self.path:
            return
        try:
            self.operation = zembrel.start_upload(
                url, file=self.path, file_part="file",
                fields=[("title", os.path.basename(self.path))],
                progress=self.on_progress, done=self.on_done)
        except zembrel.TransferError as error:
            self.status.set_label(f"Could not start: {error.message}")
            return
        self.choose_button.set_sensitive(False)
        self.cancel_button.set_sensitive(True)
        self.progress.set_fraction(0.0)
        self.progress.set_text(f"0 % of {human(self.total)}")
        self.status.set_label("Uploading…")

    def on_cancel(self, _button: Gtk.Button) -> None:
        if self.operation is not None:
            self.operation.cancel()  # done follows, as cancelled

    def on_progress(self, sent: int, total: int) -> None:
        total = total if total > 0 else self.total
        fraction = min(1.0, sent / total) if total else 1.0
        self.progress.set_fraction(fraction)
        self.progress.set_text(f"{fraction:.0%} — {human(sent)} of {human(total)}")

    def on_done(self, operation: zembrel.Operation) -> None:
        self.choose_button.set_sensitive(True)
        self.cancel_button.set_sensitive(False)
        if operation.cancelled:
            self.status.set_label("Cancelled.")
        elif operation.error is not None:
            self.status.set_label(f"Failed: {operation.error.message}")
        elif operation.result is not None and operation.result.ok:
            self.progress.set_fraction(1.0)
            self.progress.set_text(f"100% — {human(self.total)}")
            self.status.set_label(f"Uploaded (HTTP {operation.result.status}).")
        elif operation.result is not None:
            self.status.set_label(f"The server answered HTTP {operation.result.status}.")
        self.window.update_buttons()


class UploaderWindow(Gtk.ApplicationWindow):
    """URL entry, two upload rows, and Upload."""

    def __init__(self, application: Gtk.Application, url: str = "",
                 paths: Optional[List[str]] = None) -> None:
        super().__init__(application=application, title="Zembrel uploader")
        self.set_default_size(560, -1)
        box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=14, margin_top=18,
                      margin_bottom=18, margin_start=18, margin_end=18)
        self.set_child(box)
        self.url_entry = Gtk.Entry(text=url, placeholder_text="https://example.org/upload",
                                   hexpand=True)
        box.append(self.url_entry)
        self.rows = [UploadRow(self, 1), UploadRow(self, 2)]
        for row, path in zip(self.rows, paths or []):
            row.set_file(path)
        for row in self.rows:
            box.append(row)
        self.upload_button = Gtk.Button(label="Upload", halign=Gtk.Align.END)
        self.upload_button.add_css_class("suggested-action")
        self.upload_button.connect("clicked", self.on_upload)
        box.append(self.upload_button)

    def on_upload(self, _button: Gtk.Button) -> None:
        url = self.url_entry.get_text().strip()
        if not url:
            return
        for row in self.rows:
            row.start(url)
        self.update_buttons()

    def update_buttons(self) -> None:
        busy = any(row.running for row in self.rows)
        self.upload_button.set_sensitive(not busy)
        self.url_entry.set_sensitive(not busy)


class UploaderApplication(Gtk.Application):
    def __init__(self, url: str = "", paths: Optional[List[str]] = None) -> None:
        super().__init__(application_id="org.zembrel.GtkUploader",
                         flags=Gio.ApplicationFlags.NON_UNIQUE)
        self.url = url
        self.paths = paths or []
        self.window: Optional[UploaderWindow] = None

    def do_activate(self) -> None:
        if self.window is None:
            self.window = UploaderWindow(self, self.url, self.paths)
        self.window.present()


def main(argv: list[str]) -> int:
    url = argv[1] if len(argv) > 1 else ""
    return UploaderApplication(url, argv[2:4]).run([argv[0]])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
