#!/usr/bin/python3
"""tevra-host's own memory and start-up, with a page that never detects.

Starts one Xvfb server, then runs tevra-host headless RUNS times on a small
page that asks for a frame at once and whose window.handleARFrame logs
once, and reports for each run:
  - start to first frame call: from starting the process to the page's log
    line of its first frame call (the page console is on stdout);
  - the host process's PSS and private memory (/proc/PID/smaps_rollup)
    once the page runs;
  - with --libraries, the mappings holding the most PSS, by file.
With --bare, the same page in a bare WebKitGTK window (bench/bare_webview)
is measured in the same runs, interleaved: its process's PSS and its start
to load finished. Medians are printed last. Python standard library only.

    tools/host_footprint.py --host build/tevra-host [--bare build/bare_webview] [--runs 5] [--libraries]
"""

import argparse
import collections
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

PAGE = """<!doctype html><html><body style="background:transparent">
<script>
var seen = false;
window.handleARFrame = function () {
  if (!seen) { seen = true; console.log('first-frame-call'); }
};
if (window.Zephral) Zephral.advanceFrame();
</script></body></html>
"""


def rollup_kb(pid):
    """(PSS, private) in kB: PSS shares each page among the processes that
    map it, so it moves when other programs map the same libraries; the
    private part (pages no other process maps) does not."""
    pss = private = 0
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith("Pss:"):
                pss = int(line.split()[1])
            elif line.startswith(("Private_Clean:", "Private_Dirty:")):
                private += int(line.split()[1])
    return pss, private


def pss_by_file(pid):
    totals = collections.Counter()
    current = "[anon]"
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            parts = line.split()
            if not parts:
                continue
            if "-" in parts[0] and len(parts) >= 5 and not parts[0].endswith(":"):
                current = parts[5] if len(parts) >= 6 else "[anon]"
            elif parts[0] == "Pss:":
                totals[current] += int(parts[1])
    return totals


def one_run(host, page, env, settle, libraries, bare=False):
    t0 = time.monotonic()
    command = ([host, "file://" + page, str(int(settle + 3))] if bare else
               [host, "--headless", "--fresh", "--seconds", str(settle + 3), "--url", page])
    marker = "load-finished" if bare else "first-frame-call"
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, text=True)
    first = None
    deadline = t0 + 60
    try:
        for line in proc.stdout:
            if marker in line and first is None:
                first = time.monotonic() - t0
                break
            if time.monotonic() > deadline:
                break
        if first is None:
            return None
        time.sleep(settle)
        pss, private = (kb / 1024 for kb in rollup_kb(proc.pid))
        by_file = pss_by_file(proc.pid) if libraries else None
    finally:
        proc.kill()
        proc.wait(timeout=10)
    return first, pss, private, by_file


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--host", required=True)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--settle", type=float, default=2.0, help="seconds after the first frame call before PSS")
    ap.add_argument("--libraries", action="store_true")
    ap.add_argument("--bare", help="bench/bare_webview, measured alongside as the baseline")
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="tevra-footprint-")
    page = os.path.join(work, "page.html")
    with open(page, "w") as f:
        f.write(PAGE)
    xvfb = subprocess.Popen(["Xvfb", ":57", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.0)
    env = dict(os.environ, DISPLAY=":57", NO_AT_BRIDGE="1")
    starts, psses, privates = [], [], []
    bare_starts, bare_psses = [], []
    try:
        for i in range(args.runs):
            if args.bare:
                b = one_run(os.path.abspath(args.bare), page, env, args.settle, False, bare=True)
                if b is not None:
                    bare_starts.append(b[0])
                    bare_psses.append(b[1])
                    print(f"run {i + 1}: bare window: load finished {b[0]:.3f} s, PSS {b[1]:.1f} MiB")
            r = one_run(os.path.abspath(args.host), page, env, args.settle, args.libraries and i == 0)
            if r is None:
                print(f"run {i + 1}: no frame call within 60 s")
                continue
            first, pss, private, by_file = r
            starts.append(first)
            psses.append(pss)
            privates.append(private)
            print(f"run {i + 1}: first frame call {first:.3f} s, host PSS {pss:.1f} MiB, private {private:.1f} MiB")
            if by_file:
                for name, kb in by_file.most_common(25):
                    print(f"    {kb / 1024:7.1f} MiB  {name}")
    finally:
        xvfb.kill()
        xvfb.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)
    if bare_starts:
        print(f"median: bare WebKitGTK window: load finished {statistics.median(bare_starts):.3f} s, "
              f"PSS {statistics.median(bare_psses):.1f} MiB ({len(bare_starts)} runs)")
    if starts:
        print(f"median: first frame call {statistics.median(starts):.3f} s, "
              f"host PSS {statistics.median(psses):.1f} MiB, private {statistics.median(privates):.1f} MiB "
              f"({len(starts)} runs)")
    return 0 if starts else 1


if __name__ == "__main__":
    sys.exit(main())
