#!/usr/bin/python3
"""memory-bench: the peak memory of a session on a moving screen, Tessaral beside the viewers a
Linux user would otherwise pick.

One live Xvnc at each size shows the wire benchmark's scene (a terminal scrolling text, a photo
window dragged about, an animation) for a fixed time, and each viewer in turn connects to it
directly, on an Xvfb large enough to show the remote screen at one pixel per pixel, with its own
defaults (Tessaral at actual size). When the time is up, the viewer's peak resident memory
(VmHWM) is read and the viewer stopped. Nothing here judges the figures: they are printed.

usage: memory-bench.py --build BUILD_DIR [--before OTHER_TESSARAL] [--sizes 1920x1080,3840x2160]
                       [--viewers tessaral,vncviewer,gvncviewer] [--seconds 8] [--runs 1]
       --before adds a second Tessaral program (e.g. one built from another commit), shown as
       tessaral-before.
"""

import argparse
import importlib.util
import os
import shutil
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "Tessaral", "EndToEndTests"))
import desktop  # noqa: E402


def load(name, path):
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


# The scene of the wire benchmark, and the viewer classes of the viewer benchmark through it.
wire_bench = load("wire_bench", os.path.join(HERE, "wire-bench.py"))
viewer_bench = wire_bench.viewer_bench


class Tessaral(viewer_bench.Tessaral):
    def __init__(self, options, work, name, program):
        super().__init__(options, work)
        self.name = name
        self.program = program

    def argv(self, port):
        return [self.program, f"vnc://127.0.0.1:{port}"]


class GtkVNC(viewer_bench.GtkVNC):
    name = "gvncviewer"

    def argv(self, port):
        return super().argv(port, None)


def make_viewers(options, work):
    viewers = []
    for name in options.viewers.split(","):
        if name == "tessaral":
            if options.before:
                viewers.append(Tessaral(options, work, "tessaral-before", options.before))
            viewers.append(Tessaral(options, work, "tessaral", options.tessaral))
        elif name == "vncviewer":
            viewers.append(wire_bench.TigerVNC(options, work))
        elif name == "gvncviewer":
            viewers.append(GtkVNC(options, work))
        else:
            raise SystemExit(f"memory-bench: no viewer {name}")
    return viewers


def run_once(work, display, viewer, size, seconds, keep):
    label = f"{viewer.name}-{size[0]}x{size[1]}"
    scene = wire_bench.Scene(work, "Xvnc-" + label, size)
    process = None
    try:
        process = desktop.Process(viewer.argv(scene.server.port), env=viewer.env(display),
                                  log=os.path.join(keep, label + ".log"))

        # The window showing the remote screen: Tessaral shows its library too, at its own size.
        def screen_window():
            window = viewer.window(display, process)
            shown = window and desktop.window_geometry(display, window)[2:]
            return window if shown and shown[0] * shown[1] >= 1280 * 720 else None

        desktop.wait_for(screen_window, "the viewer's window", timeout=60)
        mover = threading.Thread(target=scene.move, daemon=True)
        mover.start()
        time.sleep(seconds)
        scene.still()
        mover.join()
        time.sleep(1)  # what the last motion sent, drawn
        if not process.running():
            raise wire_bench.Failed("the viewer exited")
        return viewer_bench.peak_rss_kib(process.pid) / 1024
    finally:
        if process:
            process.stop()
        scene.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--before", help="another tessaral program, shown as tessaral-before")
    parser.add_argument("--sizes", default="1920x1080,3840x2160")
    parser.add_argument("--viewers", default="tessaral,vncviewer,gvncviewer")
    parser.add_argument("--seconds", type=float, default=8)
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--keep", help="a directory for logs")
    options = parser.parse_args()
    sizes = [tuple(int(v) for v in size.split("x")) for size in options.sizes.split(",")]
    work, keep = wire_bench.prepare(options, "memory-bench-")
    viewers = make_viewers(options, work)
    peaks = {}
    try:
        for size in sizes:
            # Room for the remote screen at actual size, with the viewers' bars.
            display = desktop.start_xvfb(work, size[0] + 160, size[1] + 240)
            try:
                for run in range(options.runs):
                    for viewer in viewers:
                        try:
                            peak = run_once(work, display, viewer, size, options.seconds, keep)
                        except (wire_bench.Failed, AssertionError) as error:
                            peak = f"FAILED: {error}"
                        peaks.setdefault((size, viewer.name), []).append(peak)
                        print(f"{size[0]}×{size[1]} {viewer.name}: {peak}", flush=True)
            finally:
                display.stop()
    finally:
        desktop.stop_all()
        if not options.keep:
            shutil.rmtree(work, ignore_errors=True)

    print(f"\nPeak resident memory (VmHWM, MiB) after {options.seconds:g} s of motion; the "
          f"median of {options.runs} run(s)")
    names = [viewer.name for viewer in viewers]
    print(f"{'remote screen':14}" + "".join(f"{name:>17}" for name in names))
    for size in sizes:
        cells = []
        for name in names:
            values = peaks.get((size, name), [])
            numbers = sorted(v for v in values if not isinstance(v, str))
            cells.append(f"{numbers[len(numbers) // 2]:.0f}" if numbers else "failed")
        print(f"{'%d×%d' % size:14}" + "".join(f"{cell:>17}" for cell in cells))
    failed = any(isinstance(v, str) for values in peaks.values() for v in values)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
