#!/usr/bin/python3
"""Figures of a scripts/soak run, read from its work directory.

    /usr/bin/python3 tools/soak_report.py --work DIR --seconds N --status S

Reads host.out (the host's report and standard-output lines), host.err (the
library's system log and the sanitizers' reports), vps.jsonl (every VPS
request the server saw, with what it did), stats.json (the page's counters)
and rss.tsv (seconds, resident kB). Prints the figures and exits 1 when a
target is missed:
  - the host ran to the end and exited 0 (LeakSanitizer clean);
  - every VPS request the host sent is accounted for: answered exactly once
    (" VPS Request completed.") or failed with exactly one " Request failed: "
    line; the failures are exactly the requests the server cut off;
  - resident memory grows by no more than 5% from the end of the warm-up
    (the first 60 s or a tenth of the run, whichever is longer) to the end.
"""

import argparse
import json
import os
import re
import sys

LOG = "TevraARWebGL: "
SOAK_ID = re.compile(r'"soak_id"\s*:\s*(\d+)')


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def log_lines(text):
    """System-log lines (multi-line entries keep only their first line)."""
    return [l[len(LOG):] for l in text.splitlines() if l.startswith(LOG)]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--work", required=True)
    p.add_argument("--seconds", type=float, required=True)
    p.add_argument("--status", type=int, required=True)
    p.add_argument("--sanitizer", default="asan")
    a = p.parse_args()
    w = a.work
    out, err = read(os.path.join(w, "host.out")), read(os.path.join(w, "host.err"))
    lines = log_lines(err)
    problems = []

    # Frames and stalls, from the host's report.
    m = re.search(r"report: frames delivered (\d+)", out)
    delivered = int(m.group(1)) if m else None
    m = re.search(r"report: main-thread stalls p99 (\d+) ms, max ([\d.]+) ms over (\d+) ticks", out)
    stall_p99, stall_max, ticks = (int(m.group(1)), float(m.group(2)), int(m.group(3))) if m else (None, None, None)
    try:
        stats = json.loads(read(os.path.join(w, "stats.json")) or "{}")
    except ValueError:
        stats = {}
    print("frames delivered by the session: %s" % delivered)
    print("frames the page acknowledged (asked for the next): %s (over %s page loads)"
          % (stats.get("frames"), stats.get("loads")))
    print("anchors added / removed: %s / %s" % (stats.get("anchorsAdded"), stats.get("anchorsRemoved")))
    print("detection switched on/off: %s times" % stats.get("detectionToggles"))
    print("main-thread stall: p99 %s ms, max %s ms (%s probe ticks of 10 ms)" % (stall_p99, stall_max, ticks))
    if delivered is None or stall_p99 is None:
        problems.append("the host printed no report (it did not run to the end)")

    # Every VPS request accounted for.
    sent = [int(x) for l in lines if l.startswith("VPS Request Meta Data ") for x in SOAK_ID.findall(l)[:1]]
    completed = [int(x) for l in lines if l.startswith(" VPS Request completed. ") for x in SOAK_ID.findall(l)[:1]]
    failures = [l for l in lines if l.startswith(" Request failed: ")]
    server = {}
    for row in read(os.path.join(w, "vps.jsonl")).splitlines():
        e = json.loads(row)
        server.setdefault(e["soak_id"], []).append(e["behaviour"])
    kinds = {}
    for b in server.values():
        for k in b:
            kinds[k] = kinds.get(k, 0) + 1
    done = {}
    for i in completed:
        done[i] = done.get(i, 0) + 1
    twice = sorted(i for i, n in done.items() if n > 1)
    cut = sorted(i for i, b in server.items() if b == ["cut"])
    unanswered = sorted(set(sent) - set(done))
    print("VPS requests sent: %d (server saw %d: %s)" % (len(sent), sum(kinds.values()),
                                                        ", ".join("%s %d" % kv for kv in sorted(kinds.items()))))
    print("VPS answers: %d, failure lines: %d, answered twice: %d" % (len(completed), len(failures), len(twice)))
    if len(set(sent)) != len(sent):
        problems.append("a VPS request id was sent twice")
    if twice:
        problems.append("answered more than once: %s" % twice[:10])
    if set(done) - set(sent):
        problems.append("answers to requests never sent: %s" % sorted(set(done) - set(sent))[:10])
    if len(unanswered) != len(failures):
        problems.append("%d requests unanswered but %d failure lines" % (len(unanswered), len(failures)))
    if unanswered != cut:
        problems.append("unanswered requests %s are not the ones cut off %s" % (unanswered[:10], cut[:10]))
    if not sent:
        problems.append("no VPS request was sent")

    # Models.
    ready = [l for l in out.splitlines() if l.startswith("Model ready: ")]
    print("models downloaded and compiled: %s" % ", ".join(l[len("Model ready: "):] for l in ready))

    # Memory.
    rss = []
    for row in read(os.path.join(w, "rss.tsv")).splitlines():
        t, kb = row.split("\t")
        if float(t) <= a.seconds:  # not the shutdown after the run
            rss.append((float(t), int(kb)))
    if rss:
        warm = max(60.0, a.seconds / 10)
        after = [r for r in rss if r[0] >= warm] or rss
        start, end = after[0], after[-1]
        middle = min(after, key=lambda r: abs(r[0] - (start[0] + end[0]) / 2))
        growth = (end[1] - start[1]) / start[1] * 100
        print("resident memory: start %.1f MB (at %ds), middle %.1f MB (at %ds), end %.1f MB (at %ds): %+.1f%%"
              % (start[1] / 1024, start[0], middle[1] / 1024, middle[0], end[1] / 1024, end[0], growth))
        print("resident memory right after start-up: %.1f MB (at %ds)" % (rss[0][1] / 1024, rss[0][0]))
        if growth > 5:
            problems.append("resident memory grew by %.1f%% after warm-up" % growth)
    else:
        problems.append("no memory samples")

    # Sanitizers.
    # Only the host's own reports count: with the leak checker preloaded the
    # engine's helper processes inherit it and report their own exits.
    pid = read(os.path.join(w, "host.pid")).strip() or r"\d+"
    leaks = re.search(r"==%s==ERROR: LeakSanitizer" % pid, err)
    asan = re.search(r"==%s==ERROR: AddressSanitizer|runtime error:" % pid, err)
    others = len(re.findall(r"==\d+==ERROR: LeakSanitizer", err)) - (1 if leaks else 0)
    print("LeakSanitizer (%s): %s; AddressSanitizer/UBSan: %s; host exit status %d%s"
          % (a.sanitizer, "LEAKS" if leaks else "clean",
             "FINDINGS" if asan else ("clean" if a.sanitizer == "asan" else "not checked"), a.status,
             "; %d reports from the engine's helper processes ignored" % others if others > 0 else ""))
    if leaks or asan or a.status != 0:
        problems.append("sanitizer findings or a failed exit (status %d); see %s/host.err" % (a.status, w))

    if problems:
        print("SOAK FAILED:")
        for pr in problems:
            print("  - " + pr)
        return 1
    print("soak passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
