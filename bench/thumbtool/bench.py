#!/usr/bin/env python3
"""thumbtool against its peers on the same inputs, run alternately in one session.

Usage: bench.py THUMBTOOL [ROUNDS]   (scripts in this folder: run.sh builds and calls this)

With THUMBTOOL_OTHER set to another build's thumbtool (an older commit's, say), it runs in the
same alternating rounds, so that the two builds are compared under the same load.

Cases: a 6000x4000 JPEG to a 200x200 PNG (peers: vipsthumbnail, ImageMagick convert -thumbnail,
gdk-pixbuf-thumbnailer), the same picture saved as cameras do (chroma halved both ways; peers:
gdk-pixbuf-thumbnailer, vipsthumbnail) and page 1 of a 50-page PDF (peers: pdftoppm -singlefile -scale-to 200,
vipsthumbnail). Prints the median wall time, CPU time and peak RSS of each command and the ratio of each
peer's median to thumbtool's (above 1: thumbtool is faster / smaller), with the load average.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def make_inputs(work):
    photo = os.path.join(work, "photo.jpg")
    # Smooth gradients with fine grain: compresses like a camera photo (several MB at Q 90).
    steps = [
        ["vips", "xyz", "xyz.v", "6000", "4000"],
        ["vips", "extract_band", "xyz.v", "x.v", "0"],
        ["vips", "extract_band", "xyz.v", "y.v", "1"],
        ["vips", "linear", "x.v", "r.v", "0.04", "0"],
        ["vips", "linear", "y.v", "g.v", "0.06", "0"],
        ["vips", "gaussnoise", "b.v", "6000", "4000", "--sigma", "30", "--mean", "128"],
        ["vips", "bandjoin", "r.v g.v b.v", "rgb.v"],
        ["vips", "gaussblur", "rgb.v", "blur.v", "0.7"],
        ["vips", "cast", "blur.v", "u.v", "uchar"],
        ["vips", "copy", "u.v", "photo.jpg[Q=90]", "--interpretation", "srgb"],
        # As cameras save them: chroma halved both ways.
        ["vips", "copy", "u.v", "camera.jpg[Q=92,subsample-mode=on]", "--interpretation", "srgb"],
    ]
    for step in steps:
        subprocess.run(step, cwd=work, check=True)
    pdf = os.path.join(work, "doc.pdf")
    subprocess.run([sys.executable, os.path.join(HERE, "make_pdf.py"), pdf, "50"], check=True)
    return photo, os.path.join(work, "camera.jpg"), pdf


def run_once(argv, report):
    # Peak RSS comes from GNU time: a child forked by this Python process would report Python's
    # own pages as its peak. CPU time comes from the kernel's accounting of the time process and
    # every process it and its command waited for, in microseconds (time's own text has 10 ms
    # steps, too coarse for runs of 50 ms); time's own start-up is the same for every command.
    start = time.perf_counter()
    process = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", report] + argv,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise SystemExit("failed: " + " ".join(argv))
    with open(report) as f:
        rss = f.read().split()[-1]
    # CPU time (the program and the children it waited for) moves far less with the machine's
    # load than wall time does.
    return wall, int(rss) / 1024.0, usage.ru_utime + usage.ru_stime  # s, MiB, s


def bench(title, commands, rounds, report):
    results = {name: ([], [], []) for name, _ in commands}
    for _ in range(2):  # warm the page cache
        for _, argv in commands:
            run_once(argv, report)
    for _ in range(rounds):
        for name, argv in commands:
            for series, value in zip(results[name], run_once(argv, report)):
                series.append(value)
    ours = [statistics.median(series) for series in results[commands[0][0]]]
    print(f"\n{title} ({rounds} alternating rounds, medians; load {os.getloadavg()[0]:.1f})")
    print(f"{'command':<34}{'wall s':>9}{'CPU s':>8}{'peak RSS MiB':>14}{'wall ratio':>12}"
          f"{'CPU ratio':>11}{'RSS ratio':>11}")
    for name, _ in commands:
        wall, rss, cpu = (statistics.median(series) for series in results[name])
        print(f"{name:<34}{wall:>9.3f}{cpu:>8.3f}{rss:>14.1f}{wall / ours[0]:>12.2f}"
              f"{cpu / max(ours[2], 0.001):>11.2f}{rss / ours[1]:>11.2f}")


def main():
    thumbtool = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    for tool in ["/usr/bin/time", "vips", "vipsthumbnail", "convert", "gdk-pixbuf-thumbnailer", "pdftoppm"]:
        if shutil.which(tool) is None:
            raise SystemExit(f"{tool} is missing: ZEMBREL_SETUP_EXTRA=bench scripts/setup")
    with tempfile.TemporaryDirectory() as work:
        photo, camera, pdf = make_inputs(work)
        out = lambda name: os.path.join(work, name)
        print(f"photo.jpg: 6000x4000 4:4:4, {os.path.getsize(photo) / 1e6:.1f} MB; camera.jpg: "
              f"6000x4000 4:2:0, {os.path.getsize(camera) / 1e6:.1f} MB; doc.pdf: 50 pages")
        other = os.environ.get("THUMBTOOL_OTHER")
        others = lambda document: [("thumbtool (other build)", [other, document, out("o.png")])] if other else []
        bench("6000x4000 JPEG -> 200x200 PNG", [
            ("thumbtool", [thumbtool, photo, out("t.png")]),
            *others(photo),
            ("vipsthumbnail", ["vipsthumbnail", photo, "-s", "200x200", "-o", out("v.png")]),
            ("convert -thumbnail", ["/usr/bin/convert", photo, "-thumbnail", "200x200", out("m.png")]),
            ("gdk-pixbuf-thumbnailer", ["gdk-pixbuf-thumbnailer", "-s", "200", photo, out("g.png")]),
        ], rounds, out("time.txt"))
        bench("6000x4000 4:2:0 JPEG -> 200x200 PNG", [
            ("thumbtool", [thumbtool, camera, out("t.png")]),
            *others(camera),
            ("gdk-pixbuf-thumbnailer", ["gdk-pixbuf-thumbnailer", "-s", "200", camera, out("g.png")]),
            ("vipsthumbnail", ["vipsthumbnail", camera, "-s", "200x200", "-o", out("v.png")]),
        ], rounds, out("time.txt"))
        bench("50-page PDF, page 1 -> 200x200 PNG", [
            ("thumbtool", [thumbtool, pdf, out("t.png")]),
            *others(pdf),
            ("pdftoppm -singlefile -scale-to", ["pdftoppm", "-png", "-singlefile", "-scale-to", "200", pdf, out("p")]),
            ("vipsthumbnail", ["vipsthumbnail", pdf, "-s", "200x200", "-o", out("v.png")]),
        ], rounds, out("time.txt"))


if __name__ == "__main__":
    main()
