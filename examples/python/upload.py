#!/usr/bin/python3
"""Posts a file to a URL as a form, printing progress.

    python3 upload.py http://127.0.0.1:8080/upload photo.jpg

Uses the installed Python package (python3-zembrel, the wheel, or the
prefix's dist-packages on PYTHONPATH).
"""

import sys

import zembrel


def main() -> int:
    if len(sys.argv) != 3:
        print(f"usage: {sys.argv[0]} URL FILE", file=sys.stderr)
        return 2
    url, path = sys.argv[1], sys.argv[2]

    def progress(sent: int, total: int) -> None:
        print(f"progress {sent} of {total} bytes ({100 * sent // max(total, 1)}%)", flush=True)

    try:
        result = zembrel.upload(url, file=path, file_part="file",
                                fields=[("title", "Uploaded from Python")], progress=progress)
    except zembrel.TransferError as error:
        print(f"failed: {error.message} ({error.domain} {error.code})", file=sys.stderr)
        return 1
    print(result.message, flush=True)
    return 0 if result.ok else 1


if __name__ == "__main__":
    sys.exit(main())
