#!/usr/bin/env python3
"""Prints one table from Google Benchmark JSON files (--benchmark_out).

Each row is one benchmark (with its arguments) and its median over the
repetitions, beside the library baseline measured in the same run and the
ratio of the two. Pairing, by name (bench/README.md, "Baselines"):

  - BM_Baseline_<Name>[/args] is the baseline of BM_<Name>[/args];
  - a benchmark whose label holds "baseline=BM_Baseline_<Other>" is measured
    against that one instead (same arguments first, else its only run).

A baseline paired with some benchmark is not listed again on its own; the
others are. Time is the real (wall) time for benchmarks that use real or
manual time, the CPU time of the benchmark's thread otherwise.

Usage: bench_table.py FILE.json...
"""
import json
import re
import statistics
import sys

SUFFIXES = ("/manual_time", "/real_time")
TO_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(paths):
    runs = {}  # name -> {"times": [...], "counters": {...}, ...}
    order = []
    for path in paths:
        try:
            with open(path) as f:
                data = json.load(f)
        except (OSError, ValueError) as e:
            print(f"bench_table: skipped {path}: {e}", file=sys.stderr)
            continue
        program = re.sub(r"\.json$", "", path.rsplit("/", 1)[-1])
        for b in data.get("benchmarks", []):
            if b.get("error_occurred"):
                name = b.get("run_name", b["name"])
                runs.setdefault(name, {"program": program, "times": [], "counters": {},
                                       "label": "", "error": b.get("error_message", "error")})
                if name not in order:
                    order.append(name)
                continue
            run_type = b.get("run_type", "iteration")
            aggregate = b.get("aggregate_name", "")
            if run_type == "aggregate" and aggregate != "median":
                continue
            name = b.get("run_name", b["name"])
            wall = name.endswith(SUFFIXES)
            value = (b["real_time"] if wall else b["cpu_time"]) * TO_NS[b.get("time_unit", "ns")]
            entry = runs.setdefault(name, {"program": program, "times": [], "counters": {}, "label": ""})
            if name not in order:
                order.append(name)
            if aggregate == "median":
                entry["median"] = value
            else:
                entry["times"].append(value)
            entry["label"] = b.get("label", entry["label"])
            for key, v in b.items():
                if key in ("name", "run_name", "run_type", "repetitions", "repetition_index", "threads",
                           "iterations", "real_time", "cpu_time", "time_unit", "family_index",
                           "per_family_instance_index", "aggregate_name", "aggregate_unit", "label",
                           "error_occurred", "error_message"):
                    continue
                if isinstance(v, (int, float)):
                    entry["counters"].setdefault(key, []).append(v)
    for entry in runs.values():
        if "median" not in entry and entry["times"]:
            entry["median"] = statistics.median(entry["times"])
        entry["counters"] = {k: statistics.median(v) for k, v in entry["counters"].items()}
    return runs, order


def bare(name):
    for s in SUFFIXES:
        if name.endswith(s):
            return name[: -len(s)]
    return name


# Run settings in a name, not arguments: BM_X/10/iterations:40 pairs with
# BM_Baseline_X/10.
SETTINGS = re.compile(r"^(iterations|repeats|min_time|min_warmup_time|threads):")


def split(name):
    base = bare(name)
    family, _, args = base.partition("/")
    args = "/".join(a for a in args.split("/") if a and not SETTINGS.match(a))
    return family, args


def find_baseline(name, entry, by_family):
    family, args = split(name)
    m = re.search(r"baseline=(BM_\w+)", entry.get("label", ""))
    wanted = m.group(1) if m else (family.replace("BM_", "BM_Baseline_", 1) if not family.startswith("BM_Baseline_") else None)
    if not wanted or wanted not in by_family:
        return None
    candidates = by_family[wanted]
    for c in candidates:
        if split(c)[1] == args:
            return c
    return candidates[0] if len(candidates) == 1 else None


def human(ns):
    if ns is None:
        return "-"
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def counters_text(counters):
    parts = []
    for k, v in counters.items():
        parts.append(f"{k}={v:.3g}" if isinstance(v, float) else f"{k}={v}")
    return " ".join(parts)


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    runs, order = load(argv[1:])
    by_family = {}
    for name in order:
        by_family.setdefault(split(name)[0], []).append(name)
    paired = {}
    for name in order:
        if split(name)[0].startswith("BM_Baseline_"):
            continue
        b = find_baseline(name, runs[name], by_family)
        if b:
            paired[name] = b
    used = set(paired.values())
    rows = []
    for name in order:
        if name in used:
            continue
        e = runs[name]
        b = paired.get(name)
        be = runs[b] if b else None
        ratio = "-"
        if be and e.get("median") and be.get("median"):
            ratio = f"{e['median'] / be['median']:.2f}"
        note = e.get("error", "") or counters_text(e["counters"])
        rows.append((bare(name), human(e.get("median")), bare(b) if b else "",
                     human(be.get("median")) if be else "", ratio, note))
    headers = ("benchmark", "median", "baseline (same run)", "its median", "ratio", "counters")
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(headers)]
    widths[-1] = len(headers[-1])
    fmt = "  ".join(f"{{:{'<' if i in (0, 2, 5) else '>'}{w}}}" for i, w in enumerate(widths))
    print(fmt.format(*headers))
    print(fmt.format(*("-" * w for w in widths)))
    for r in rows:
        print(fmt.format(*r))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
