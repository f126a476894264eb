#!/usr/bin/python3
"""Posts a file to a URL as a form, printing progress.

    python3 upload.py http://127.0.0.1:8080/upload photo.jpg

Uses the installed Python package (python3-zembrel, or the prefix's
dist-packages on PYTHONPATH).
"""

import os
import sys

import zembrel


def main() -> int:
    if len(sys.argv) != 3:
        print(f"usage: {sys.argv[0]} URL FILE", file=sys.stderr)
        return 2
    url, path = sys.argv[1], sys.argv[2]
    total = os.path.getsize(path)
    final = []

    def on_message(message: str) -> None:
        if message.startswith("#progress|"):
            sent = int(message.split("|")[1])
            print(f"progress {sent} of {total} bytes ({100 * sent // max(total, 1)}%)", flush=True)
        else:
            print(message, flush=True)
            final.append(message)

    zembrel.set_message_handler(on_message)
    with zembrel.Zembrel() as uploader:
        uploader.set_progress_event_interval(0.1)
        if not uploader.post(url, fields=[("title", "Uploaded from Python")], file_part="file",
                             file=path, user_agent="python-host/1.0"):
            print("could not start the upload", file=sys.stderr)
            return 1
        # A GTK application runs its GLib.MainLoop instead (see gtk_uploader.py).
        while not final:
            zembrel.iterate()
    zembrel.set_message_handler(None)
    return 0 if final[0].startswith("#complete|") else 1


if __name__ == "__main__":
    sys.exit(main())
