#!/usr/bin/python3
"""Runs `zembrel xml` (tree and flat) and `xmllint --stream --noout` on one
document, alternating, RUNS times each, plus an empty run of `zembrel xml`,
and prints per program the least and median CPU time (user + system, from
the kernel's accounting of the child, in microseconds), the peak RSS, and
the targets:

  CPU at most 2.0x xmllint's (least of the runs, each side);
  peak RSS above the empty run at most max(3x the document, 250 bytes per
  element).

  measure.py ZEMBREL DOCUMENT ELEMENTS RUNS
Exit status 0 when every target is met, 1 otherwise.
"""
import os
import statistics
import subprocess
import sys

zembrel, document, elements, runs = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
size = os.stat(document).st_size
programs = {
    "zembrel xml (tree)": [zembrel, "xml", document],
    "zembrel xml (flat)": [zembrel, "xml", document, "--flatten"],
    "xmllint --stream": ["xmllint", "--stream", "--noout", document],
    "zembrel xml <a/>": [zembrel, "xml", "<a/>"],
}
samples = {name: [] for name in programs}
devnull = os.open(os.devnull, os.O_WRONLY)
for _ in range(runs):
    for name, command in programs.items():  # alternating: every program sees the same machine
        child = subprocess.Popen(command, stdout=devnull, stderr=devnull)
        _, status, usage = os.wait4(child.pid, 0)
        if status != 0:
            sys.exit(f"{name} failed on {document}")
        samples[name].append((usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024))

least = {name: min(cpu for cpu, _ in runs_) for name, runs_ in samples.items()}
median = {name: statistics.median(cpu for cpu, _ in runs_) for name, runs_ in samples.items()}
peak = {name: max(rss for _, rss in runs_) for name, runs_ in samples.items()}
peer = least["xmllint --stream"]
empty_rss = peak["zembrel xml <a/>"]
rss_limit = max(3 * size, 250 * elements)

print(f"== {os.path.basename(document)}: {size / 1e6:.1f} MB, {elements} elements, "
      f"{runs} alternating runs each; CPU = user + system")
print(f"{'program':22} {'least s':>8} {'median s':>8} {'x xmllint':>9} {'peak MB':>8} "
      f"{'above empty MB':>14}")
for name in programs:
    above = (peak[name] - empty_rss) / 1e6
    print(f"{name:22} {least[name]:8.3f} {median[name]:8.3f} {least[name] / peer:8.2f}x "
          f"{peak[name] / 1e6:8.1f} {above if name.startswith('zembrel xml (') else 0:14.1f}")
met = True
for name in ("zembrel xml (tree)", "zembrel xml (flat)"):
    ratio = least[name] / peer
    above = peak[name] - empty_rss
    ok = ratio <= 2.0 and above <= rss_limit
    met = met and ok
    print(f"targets, {name}: CPU {ratio:.2f}x xmllint (<= 2.0x), memory above an empty run "
          f"{above / 1e6:.1f} MB (<= {rss_limit / 1e6:.1f} MB): {'met' if ok else 'MISSED'}")
sys.exit(0 if met else 1)
