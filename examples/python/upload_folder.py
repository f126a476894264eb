#!/usr/bin/python3
"""Uploads every file of a folder, at most three at a time, with asyncio.

    python3 upload_folder.py http://127.0.0.1:8080/upload ~/Pictures/holiday

No GLib loop is needed: zembrel.aio runs the transfers on the library's own
thread and hands each result to asyncio.
"""

import asyncio
import pathlib
import sys

import zembrel
import zembrel.aio

AT_ONCE = 3


async def upload_one(url: str, path: pathlib.Path, slots: asyncio.Semaphore) -> bool:
    async with slots:
        print(f"start {path.name}", flush=True)
        try:
            result = await zembrel.aio.upload(url, file=path, file_part="file",
                                              fields=[("title", path.name)])
        except zembrel.TransferError as error:
            print(f"failed {path.name}: {error.message} ({error.domain} {error.code})", flush=True)
            return False
        print(f"done {path.name} {result.message}", flush=True)
        return result.ok


async def main(url: str, folder: pathlib.Path) -> int:
    slots = asyncio.Semaphore(AT_ONCE)
    files = sorted(path for path in folder.iterdir() if path.is_file())
    results = await asyncio.gather(*(upload_one(url, path, slots) for path in files))
    print(f"{sum(results)} of {len(files)} uploaded", flush=True)
    return 0 if all(results) else 1


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(f"usage: {sys.argv[0]} URL FOLDER", file=sys.stderr)
        sys.exit(2)
    sys.exit(asyncio.run(main(sys.argv[1], pathlib.Path(sys.argv[2]))))
