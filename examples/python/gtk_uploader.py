#!/usr/bin/python3
"""A GTK 4 window that uploads a file to a web server, with a progress bar
and a Cancel button: the starting point of a desktop host in Python.

    python3 gtk_uploader.py [URL [FILE]]

The library reports through host messages; this window turns "#progress|N"
into the bar's fraction and "#complete|…" / "#error|…" into its status line.
GTK's GLib.MainLoop is the library's main loop too: nothing else is needed.
"""

from __future__ import annotations

import os
import sys
from typing import Optional

import gi

gi.require_version("Gtk", "4.0")
from gi.repository import Gio, GLib, Gtk, Pango  # noqa: E402

import zembrel  # noqa: E402


def human(count: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024
    return ""


class UploaderWindow(Gtk.ApplicationWindow):
    """URL entry, file chooser, progress bar, Upload and Cancel."""

    def __init__(self, application: Gtk.Application, url: str = "",
                 path: Optional[str] = None) -> None:
        super().__init__(application=application, title="Zembrel uploader")
        self.set_default_size(520, -1)
        self.uploader = zembrel.Zembrel()
        self.uploader.set_progress_event_interval(0.1)
        self.path: Optional[str] = None
        self.total = 0
        self.chooser: Optional[Gtk.FileChooserNative] = None

        box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=12, margin_top=18,
                      margin_bottom=18, margin_start=18, margin_end=18)
        self.set_child(box)

        self.url_entry = Gtk.Entry(text=url, placeholder_text="https://example.org/upload",
                                   hexpand=True)
        box.append(self.url_entry)

        file_row = Gtk.Box(spacing=12)
        self.file_label = Gtk.Label(label="No file chosen", xalign=0, hexpand=True,
                                    ellipsize=Pango.EllipsizeMode.MIDDLE)
        self.choose_button = Gtk.Button(label="Choose File…")
        self.choose_button.connect("clicked", self.on_choose)
        file_row.append(self.file_label)
        file_row.append(self.choose_button)
        box.append(file_row)

        self.progress = Gtk.ProgressBar(show_text=True, text="")
        box.append(self.progress)
        self.status = Gtk.Label(label="Choose a file and press Upload.", xalign=0)
        self.status.add_css_class("dim-label")
        box.append(self.status)

        buttons = Gtk.Box(spacing=12, halign=Gtk.Align.END)
        self.cancel_button = Gtk.Button(label="Cancel", sensitive=False)
        self.cancel_button.connect("clicked", self.on_cancel)
        self.upload_button = Gtk.Button(label="Upload")
        self.upload_button.add_css_class("suggested-action")
        self.upload_button.connect("clicked", self.on_upload)
        buttons.append(self.cancel_button)
        buttons.append(self.upload_button)
        box.append(buttons)

        # Messages of FTP uploads come from a worker thread: every message is
        # handed to the main loop before a widget is touched.
        zembrel.set_message_handler(
            lambda message: GLib.idle_add(self.on_message, message))
        if path:
            self.set_file(path)

    # ---- File choice

    def on_choose(self, _button: Gtk.Button) -> None:
        self.chooser = Gtk.FileChooserNative(title="File to upload", transient_for=self,
                                             action=Gtk.FileChooserAction.OPEN,
                                             modal=True)
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

    # ---- Upload

    def on_upload(self, _button: Gtk.Button) -> None:
        url = self.url_entry.get_text().strip()
        if not url or not self.path:
            self.status.set_label("Enter a URL and choose a file first.")
            return
        started = self.uploader.post(url, fields=[("title", os.path.basename(self.path))],
                                     file_part="file", file=self.path,
                                     user_agent="zembrel-gtk-uploader/1.0")
        if not started:
            self.status.set_label("The upload could not start.")
            return
        self.set_running(True)
        self.progress.set_fraction(0.0)
        self.progress.set_text(f"0 % of {human(self.total)}")
        self.status.set_label(f"Uploading to {url}…")

    def on_cancel(self, _button: Gtk.Button) -> None:
        # A cancelled POST sends no message: the window resets itself.
        self.uploader.cancel_upload()
        self.set_running(False)
        self.status.set_label("Cancelled.")

    def set_running(self, running: bool) -> None:
        self.upload_button.set_sensitive(not running)
        self.choose_button.set_sensitive(not running)
        self.url_entry.set_sensitive(not running)
        self.cancel_button.set_sensitive(running)

    def on_message(self, message: str) -> bool:
        kind, _, rest = message.partition("|")
        if kind == "#progress":
            sent = int(rest)
            fraction = min(1.0, sent / self.total) if self.total else 1.0
            self.progress.set_fraction(fraction)
            self.progress.set_text(f"{fraction:.0%} — {human(sent)} of {human(self.total)}")
        elif kind == "#complete":
            status = int(rest)
            self.set_running(False)
            if 200 <= status < 300:
                self.progress.set_fraction(1.0)
                self.progress.set_text(f"100% — {human(self.total)}")
                self.status.set_label(f"Uploaded (HTTP {status}).")
            else:
                self.status.set_label(f"The server answered HTTP {status}.")
        elif kind == "#error":
            self.set_running(False)
            self.status.set_label(f"Failed: {rest}")
        return GLib.SOURCE_REMOVE


class UploaderApplication(Gtk.Application):
    def __init__(self, url: str = "", path: Optional[str] = None) -> None:
        super().__init__(application_id="org.zembrel.GtkUploader",
                         flags=Gio.ApplicationFlags.NON_UNIQUE)
        self.url = url
        self.path = path
        self.window: Optional[UploaderWindow] = None

    def do_activate(self) -> None:
        if self.window is None:
            self.window = UploaderWindow(self, self.url, self.path)
        self.window.present()


def main(argv: list[str]) -> int:
    url = argv[1] if len(argv) > 1 else ""
    path = argv[2] if len(argv) > 2 else None
    return UploaderApplication(url, path).run([argv[0]])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
