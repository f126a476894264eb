#!/usr/bin/env python3
"""thumbtool on small hostile documents: wall time, peak RSS, exit status and what it wrote.

Usage: hostile.py THUMBTOOL [OTHER_THUMBTOOL...]   (run.sh calls this after bench.py)

The documents come from tests/thumbtool/make_hostile.py. Each command runs once under GNU time
(-v), which reports the largest peak RSS of the program and the children it waited for; a killed
sandbox never shows there, so the whole process tree's proportional size is also sampled every
10 ms ("tree MiB": what thumbtool, its workers and sandboxes held at once). Give a build of an older commit as OTHER_THUMBTOOL to compare
before and after; a run is cut off after LIMIT seconds (default 600, environment HOSTILE_LIMIT).
"""
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE = os.path.join(HERE, "..", "..", "tests", "thumbtool", "make_hostile.py")
LIMIT = int(os.environ.get("HOSTILE_LIMIT", "600"))


def tree_kib(pid):
    """The proportional resident size of the process and all its descendants, in KiB."""
    total, pending = 0, [pid]
    while pending:
        folder = f"/proc/{pending.pop()}"
        try:
            with open(folder + "/smaps_rollup") as f:
                total += next((int(l.split()[1]) for l in f if l.startswith("Pss:")), 0)
            for task in os.listdir(folder + "/task"):
                with open(f"{folder}/task/{task}/children") as f:
                    pending += [int(child) for child in f.read().split()]
        except OSError:
            pass
    return total


def measure(thumbtool, document, output, report):
    start = time.perf_counter()
    process = subprocess.Popen(["/usr/bin/time", "-v", "-o", report, thumbtool, document, output],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    tree = 0
    while process.poll() is None:
        if time.perf_counter() - start > LIMIT:
            process.kill()
            process.wait()
            return f"> {LIMIT} s", "?", "?", "killed", "-"
        tree = max(tree, tree_kib(process.pid))
        time.sleep(0.01)
    status = process.returncode
    wall = time.perf_counter() - start
    rss = "?"
    with open(report) as f:
        for line in f:
            if "Maximum resident set size" in line:
                rss = f"{int(line.split()[-1]) / 1024:.0f}"
    wrote = "image" if os.path.exists(output) and os.path.getsize(output) > 0 else "nothing"
    return f"{wall:.2f}", rss, f"{tree / 1024:.0f}", str(status), wrote


def main():
    binaries = [os.path.abspath(b) for b in sys.argv[1:]]
    if not binaries:
        raise SystemExit(__doc__)
    with tempfile.TemporaryDirectory() as work:
        names = subprocess.run([sys.executable, MAKE, work], check=True, capture_output=True,
                               text=True).stdout.split()
        print(f"\nhostile documents ({len(names)}), one run each")
        print(f"{'document':<28}{'thumbtool':<12}{'wall s':>9}{'peak RSS MiB':>14}{'tree MiB':>10}"
              f"{'exit':>6}  wrote")
        for name in names:
            for index, binary in enumerate(binaries):
                output = os.path.join(work, f"{name}.{index}.png")
                wall, rss, tree, status, wrote = measure(binary, os.path.join(work, name), output,
                                                         os.path.join(work, "time.txt"))
                label = "this" if index == 0 else f"other {index}"
                print(f"{name:<28}{label:<12}{wall:>9}{rss:>14}{tree:>10}{status:>6}  {wrote}")


if __name__ == "__main__":
    main()
