#!/usr/bin/env python3.12
"""Benchmark of quelva against its peers: the packages a user would pick instead
(tmm-faster, pyElli's Solver2x2, PyMoosh's vectorised spectra, tmm), quelva as
built from an earlier commit (bench/baseline.py), two NumPy implementations of
the same 2x2 method vectorised over wavelengths, and the reference order's
C-library calls timed on their own (bench/reference_calls.cpp); and the model's share of a least-squares fit
(bench/fit.py).

Every figure is the median (or, with --statistic min, the minimum) of
interleaved rounds measured in this run; the ratios compare figures of the same
run (and, for the thread counts, of the same child processes). Run it through
scripts/bench.sh, which builds everything.

    bench/run.py              full run (3 to 4 minutes on two cores)
    bench/run.py --quick      smoke run of a few seconds
    bench/run.py --markdown   the tables as Markdown, for the README
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import math
import os
import platform
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

# tmm-faster's OpenMP threads are sized when it loads. In this process quelva
# computes W1 and W2 on the calling thread, so tmm-faster gets one thread too;
# the child processes of W3 to W5 set it to their own thread count.
os.environ.setdefault("OMP_NUM_THREADS", "1")

import baseline  # noqa: E402
import fit  # noqa: E402
import peers  # noqa: E402
import stacks  # noqa: E402

DEFAULT_REFERENCE_CALLS = ROOT / "build" / "bench" / "quelva_reference_calls"
DEFAULT_PLOT = HERE / "time_vs_n.png"
SECTIONS = ("workloads", "growth", "memory", "conventions", "fit", "handoff")
CHILD_WORKLOADS = ("W3", "W4", "W5")   # timed in child processes at 1 and 2 threads
REFERENCE_CALLS_WORKLOADS = ("W3", "W4")   # the reference's calls are timed beside these
# The label of bench/reference_calls.cpp in the tables and the plot.
REFERENCE_CALLS = "the reference order's C-library calls"

# Targets of the performance work, as ratios of this table.
T_W1_US = 5.0
T_TMM_W3 = 300.0
T_NUMPY_1 = 2.5
T_NUMPY_2 = 4.5
T_THREADS = 1.8
T_FASTER_W4 = 8.0     # W4 against tmm-faster and against NumPy fused by hand, 1 thread
T_FASTER = 6.0        # W2, W3 and W5 against tmm-faster, 1 thread
T_HANDOFF_US = 10.0   # N = 101 on the pool within this many µs of N = 100 on the calling thread
# quelva's whole call as a share of its baseline's, at most, 1 thread.
T_BASELINE_SHARE = {"W1": 0.75, "W2": 0.6, "W3": 0.6, "W4": 0.7}
HANDOFF_POINTS = (100, 101)   # the longest spectrum kept on the calling thread, the shortest not


# ---------------------------------------------------------------------------
# Settings

class Settings:
    def __init__(self, quick: bool):
        self.quick = quick
        self.rounds = 3 if quick else 11          # interleaved rounds per measurement
        self.sample = 0.005 if quick else 0.05    # seconds per timed sample (loops grow to it)
        self.budget = 0.6 if quick else 8.0       # seconds per measurement group
        self.tmm_points = {"W1": 1, "W2": 20 if quick else 100, "W3": 20 if quick else 200,
                           "W4": 4 if quick else 30, "W5": 20 if quick else 200}
        self.tmm_repeats = 1 if quick else 3
        self.grow_n = [10, 100, 1000] if quick else [10, 30, 100, 300, 1000, 3000, 10000,
                                                     30000, 100000]
        self.grow_n_tmm = 10 if quick else 60     # tmm wavelengths per point (scaled to N)
        self.grow_l = [3, 22, 102] if quick else [3, 6, 12, 22, 52, 102, 202, 400]
        self.grow_l_points = 200 if quick else 1000
        self.grow_l_tmm = 4 if quick else 10
        self.calls_seconds = 0.2 if quick else 1.0
        self.calls_round_seconds = 0.05 if quick else 0.3   # reference calls per round
        self.child_passes = 1 if quick else 2     # children per thread count, alternating
        self.child_rounds = 3 if quick else 4     # interleaved rounds in each child
        self.fits = 3 if quick else 15            # least-squares fits per implementation


# ---------------------------------------------------------------------------
# Timing

# The statistic of the samples that the tables show: the median by default; the
# minimum (--statistic min) is the better estimate on a machine busy with other work.
STAT = ["time"]


def stat(samples) -> float:
    return min(samples) if STAT[0] == "min" else statistics.median(samples)


def calls_time(result: dict, variant: str) -> float:
    """The time of one sweep of bench/reference_calls.cpp, variant "all" or "branch"."""
    return result[variant]["min_s" if STAT[0] == "min" else "median_s"]


def _time_loops(fn, loops: int) -> float:
    t0 = time.perf_counter()
    for _ in range(loops):
        fn()
    return (time.perf_counter() - t0) / loops


def measure(fns: dict, cfg: Settings, rounds: int | None = None,
            keep_samples: bool = False, extra=None) -> dict:
    """Median time per call of each function, from interleaved rounds.

    Each function first runs once (warm-up and calibration); its loop count is
    then raised until one sample lasts cfg.sample seconds. The rounds alternate
    between the functions so that a slow spell of the machine hits all of them.
    The first two (quelva and its baseline) swap places every other round:
    whichever runs first after the peers finds the caches and the heap as the
    peers left them (W4's 16 MB of indices evicted, freed pages returned), and
    the second profits from the first, so a fixed order would favour one.
    `extra`, if given, runs once per round after the functions and returns
    samples of its own ({name: seconds}), timed by itself. A function that
    raises in its first call is left out; its entry is {"error": message}.
    """
    loops = {}
    errors = {}
    per_round = 0.0
    for name, fn in list(fns.items()):
        try:
            first = _time_loops(fn, 1)
        except Exception as exc:  # a peer that cannot run this stack
            errors[name] = {"error": error_text(exc)}
            continue
        loops[name] = max(1, min(100000, math.ceil(cfg.sample / max(first, 1e-9))))
        per_round += first * loops[name]
    fns = {name: fn for name, fn in fns.items() if name in loops}
    rounds = rounds or cfg.rounds
    rounds = max(3, min(rounds, int(cfg.budget / max(per_round, 1e-9))))
    samples = {name: [] for name in fns}
    names = list(fns)
    swapped = names[1::-1] + names[2:]
    for round_index in range(rounds):
        for name in (swapped if round_index % 2 else names):
            samples[name].append(_time_loops(fns[name], loops[name]))
        for name, val in (extra() if extra else {}).items():
            samples.setdefault(name, []).append(val)
    return {**{name: {"time": stat(v), "min": min(v), "rounds": len(v),
                      "loops": loops.get(name, 1), **({"samples": v} if keep_samples else {})}
               for name, v in samples.items()}, **errors}


def error_text(exc: BaseException) -> str:
    text = f"{type(exc).__name__}: {exc}".splitlines()[0]
    return text if len(text) <= 90 else text[:87] + "..."


def time_tmm_subset(stack, sub, cfg: Settings) -> dict:
    """tmm on a subset of the wavelengths; the figure is scaled to the full N."""
    peers.tmm_rt(sub.subset(1))  # the first call pays for tmm's own imports
    res = measure({"tmm": lambda: peers.tmm_rt(sub)}, cfg, rounds=cfg.tmm_repeats)["tmm"]
    return {"time": res["time"] * stack.points / sub.points,
            "measured_points": sub.points, "scaled": sub.points != stack.points,
            "rt": peers.tmm_rt(sub), "sub": sub}


def fmt_time(sec: float | None) -> str:
    if sec is None or not math.isfinite(sec):
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if sec >= scale or unit == "ns":
            v = sec / scale
            return f"{v:.3g} {unit}" if v < 100 else f"{v:.0f} {unit}"
    return "-"


def fmt_ratio(x: float | None) -> str:
    if x is None or not math.isfinite(x):
        return "-"
    return f"{x:.3g}x" if x < 1000 else f"{x:.0f}x"


def fmt_diff(x: float | None) -> str:
    if x is None:
        return "-"
    if not math.isfinite(x):
        return str(x)
    return "0" if x == 0 else f"{x:.1e}"


def fmt_mem(kib: float | None) -> str:
    if kib is None:
        return "-"
    return f"{kib / 1024:.1f} MiB"


# ---------------------------------------------------------------------------
# Tables

class Table:
    def __init__(self, title: str, columns: list[str], note: str = ""):
        self.title = title
        self.columns = columns
        self.rows: list[list[str]] = []
        self.note = note

    def add(self, *cells):
        cells = [str(c) for c in cells]
        cells += [""] * (len(self.columns) - len(cells))
        self.rows.append(cells)

    def render(self, markdown: bool) -> str:
        out = []
        if markdown:
            out.append(f"**{self.title}**\n")
            out.append("| " + " | ".join(c.replace("|", "\\|") for c in self.columns) + " |")
            out.append("|" + "|".join("---" for _ in self.columns) + "|")
            for r in self.rows:
                out.append("| " + " | ".join(c.replace("|", "\\|") for c in r) + " |")
        else:
            widths = [max(len(c), *(len(r[i]) for r in self.rows)) if self.rows else len(c)
                      for i, c in enumerate(self.columns)]
            out.append(self.title)
            out.append("  ".join(c.ljust(w) for c, w in zip(self.columns, widths)).rstrip())
            out.append("  ".join("-" * w for w in widths))
            for r in self.rows:
                out.append("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
        if self.note:
            out.append("")
            out.append(self.note)
        return "\n".join(out) + "\n"


def status(ok: bool | None) -> str:
    return "-" if ok is None else ("met" if ok else "MISSED")


# ---------------------------------------------------------------------------
# The reference order's C-library calls (bench/reference_calls.cpp)

def write_stack_file(stack, path: Path):
    with open(path, "wb") as f:
        layers, npts = stack.layers, stack.points
        f.write(b"QFLR")
        f.write(struct.pack("<QQd", layers, npts, stack.theta))
        f.write(np.ascontiguousarray(stack.d[: layers - 2], dtype="<f8").tobytes())
        f.write(np.ascontiguousarray(stack.wl, dtype="<f8").tobytes())
        f.write(np.ascontiguousarray(stack.n[:, :npts], dtype="<c16").tobytes())


def find_reference_calls(path: Path | None) -> tuple[Path | None, str]:
    """The program of bench/reference_calls.cpp, compiled directly when no
    up-to-date build of it exists."""
    src = HERE / "reference_calls.cpp"
    if path and path.exists() and (path != DEFAULT_REFERENCE_CALLS or
                                   path.stat().st_mtime >= src.stat().st_mtime):
        return path, ""
    if path and path != DEFAULT_REFERENCE_CALLS:
        return None, f"{path} does not exist"
    out = DEFAULT_REFERENCE_CALLS
    out.parent.mkdir(parents=True, exist_ok=True)
    cmd = ["c++", "-std=c++20", "-O2", "-ffp-contract=off", "-Wall", "-Wextra",
           str(src), "-o", str(out)]
    try:
        subprocess.run(cmd, check=True, capture_output=True, text=True)
    except (OSError, subprocess.CalledProcessError) as exc:
        return None, f"cannot build bench/reference_calls.cpp: {exc}"
    return out, ""


def run_reference_calls(binary: Path | None, stack, seconds: float) -> dict | None:
    if binary is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        f = Path(tmp) / "stack.bin"
        write_stack_file(stack, f)
        return run_reference_calls_file(binary, f, seconds)


def run_reference_calls_file(binary: Path, stack_file: Path, seconds: float) -> dict | None:
    proc = subprocess.run([str(binary), str(stack_file), str(seconds), "3"],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        print(f"{binary.name} failed: {proc.stderr.strip()}", file=sys.stderr)
        return None
    return json.loads(proc.stdout)


def general_media(stack) -> int:
    """Media per wavelength (on average) whose N^2 - beta^2 takes the polar square root."""
    beta = math.sin(stack.theta) * stack.n[0]
    z = stack.n * stack.n - beta * beta
    return int(round(np.count_nonzero((z.real != 0) & (z.imag != 0)) / stack.points))


# ---------------------------------------------------------------------------
# The implementations timed in-process (tmm is timed apart, on fewer wavelengths)

IMPLS = [
    ("quelva", "quelva", peers.quelva_rt),
    ("baseline", baseline.LABEL, peers.baseline_rt),
    ("numpy", "NumPy: (N,2,2) matmul per layer", peers.numpy_rt),
    ("fused", "NumPy fused by hand (s+p together)", peers.numpy_fused_rt),
]
# What the growth sections time (and the memory section with --quick).
BASE = ("quelva", "numpy", "fused")
LABEL = {key: label for key, label, _ in IMPLS}
LABEL.update({p.key: p.label for p in peers.PEERS})
LABEL["tmm"] = "tmm"
# The order of the rows of a workload: quelva and its baseline, the installed
# packages, then NumPy.
ROW_ORDER = ("quelva", "baseline", *(p.key for p in peers.PEERS), "numpy", "fused")
# The implementations timed in the 2-thread children: those whose threads follow
# the child's thread count, and the NumPy versions, which targets at 2 threads
# refer to. pyElli and PyMoosh run on one thread whatever the count and are
# timed in the 1-thread children only.
TWO_THREADS = ("quelva", "baseline", "tmm_faster", "numpy", "fused")


def unavailable(key: str) -> bool:
    """Whether `key` cannot be timed in this run: a quelva that does not import,
    a baseline that was not built or does not load, a peer package that does
    not import."""
    if key == "quelva":
        return peers.quelva is None
    if key == "baseline":
        return peers.quelva_base is None
    return key in peers.PEER and not peers.PEER[key].available


def impl_fns(stack, keys=BASE) -> dict:
    """The timed callables of the given implementations that can run, by key.

    A peer's own inputs are built here, outside the clock. If that fails, the
    callable raises the same error, and measure() reports it.
    """
    fns = {}
    for key, _, fn in IMPLS:
        if key in keys and not unavailable(key):
            fns[key] = lambda fn=fn: fn(stack)
    for peer in peers.PEERS:
        if peer.key not in keys or not peer.available:
            continue
        try:
            prepared = peer.prepare(stack)
        except Exception as exc:
            def failing(exc=exc):
                raise exc
            fns[peer.key] = failing
        else:
            fns[peer.key] = lambda run=peer.run, prepared=prepared: run(prepared)
    return fns


def agreement(fns: dict, ref, keys) -> dict:
    """Largest |dR| and |dT| of each implementation from the reference (R, T);
    a peer that raises gets its error text instead."""
    out = {}
    for key in keys:
        if key == "quelva" or key not in fns:
            continue
        try:
            r, t = fns[key]()
        except Exception as exc:
            out[key] = error_text(exc)
        else:
            out[key] = [peers.max_diff(ref[0], r), peers.max_diff(ref[1], t)]
    return out


# ---------------------------------------------------------------------------
# Child processes: thread counts and peak memory

def child_main(args) -> int:
    cfg = Settings(args.quick)
    if args.child == "threads":
        out = {"threads_env": os.environ.get("RAYON_NUM_THREADS"), "workloads": {}}
        keys = tuple(args.impls.split(",")) if args.impls else ROW_ORDER
        for name in args.workloads.split(","):
            st = stacks.workload(name, args.quick)
            fns = impl_fns(st, keys)
            with tempfile.TemporaryDirectory() as tmp:
                # The reference's calls are timed between the rounds of quelva and
                # NumPy, so that their figures and quelva's see the same state of
                # the machine.
                path = Path(tmp) / "stack.bin"
                write_stack_file(st, path)

                def calls_round(path=path):
                    rc = run_reference_calls_file(Path(args.reference_calls), path,
                                                  cfg.calls_round_seconds)
                    return {} if rc is None else {
                        "reference_calls_all": calls_time(rc, "all"),
                        "reference_calls_branch": calls_time(rc, "branch")}
                with_calls = args.reference_calls and name in REFERENCE_CALLS_WORKLOADS
                res = measure(fns, cfg, rounds=args.rounds, keep_samples=True,
                              extra=calls_round if with_calls else None)
            entry = {k: v["samples"] for k, v in res.items() if "samples" in v}
            entry["errors"] = {k: v["error"] for k, v in res.items() if "error" in v}
            if peers.quelva is not None:
                entry["agree"] = agreement(fns, peers.quelva_rt(st), keys)
            out["workloads"][name] = entry
        print(json.dumps(out))
        return 0
    if args.child == "fit":
        print(json.dumps(fit.measure(cfg.fits)))
        return 0
    if args.child == "rss":
        st = stacks.workload(args.workloads, args.quick)
        impl_fns(stacks.workload("W1"), (args.impl,))[args.impl]()  # loads what a call loads
        fn = impl_fns(st, (args.impl,))[args.impl]   # the peer's own inputs count as inputs
        before = proc_status_kib("VmRSS")
        reset = reset_peak_rss()
        r, _ = fn()
        after = proc_status_kib("VmHWM")
        print(json.dumps({"before_kib": before, "peak_kib": after, "reset": reset,
                          "points": st.points, "media": st.layers,
                          "finite": bool(np.isfinite(r).all())}))
        return 0
    raise SystemExit(f"unknown child mode {args.child}")


def proc_status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


def reset_peak_rss() -> bool:
    """Resets VmHWM to the current RSS (Linux: "5" into clear_refs)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def spawn_child(extra: list[str], env_extra: dict, quick: bool) -> dict | None:
    cmd = [sys.executable, str(Path(__file__).resolve()), *extra]
    if quick:
        cmd.append("--quick")
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    env.pop("RAYON_RS_NUM_CPUS", None)
    # The NumPy peers run in the same children; OpenBLAS's own threads would
    # otherwise spin after each NumPy call and compete with quelva's workers.
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    env.update(env_extra)
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        print(f"child {' '.join(extra)} failed ({proc.returncode}):\n{proc.stderr}",
              file=sys.stderr)
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------
# The benchmark

def machine_line() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    import importlib.metadata as md

    def ver(pkg):
        try:
            return md.version(pkg)
        except md.PackageNotFoundError:
            return "missing"
    return (f"{cpu}, {cores} CPUs available, {platform.system()} {platform.release()}; "
            f"Python {platform.python_version()}, NumPy {np.__version__}, tmm {ver('tmm')}, "
            + "".join(f"{p.package} {ver(p.package) if p.available else 'unavailable'}, "
                      for p in dict((p.package, p) for p in peers.PEERS).values())
            + f"quelva {ver('quelva') if peers.quelva is not None else 'not installed'}")


# The names of the timed series in the slope notes.
SERIES_LABEL = {**LABEL, "reference_calls": REFERENCE_CALLS}


def slopes(series: dict, xkey: str, xmin: float) -> str:
    """Log-log slopes of each timed series against series[xkey], from xmin on."""
    out = []
    for key in ("quelva", "numpy", "fused", "reference_calls"):
        pts = [(x, v) for x, v in zip(series[xkey], series.get(key, [])) if v and x >= xmin]
        if len(pts) >= 2:
            k = np.polyfit(np.log([p[0] for p in pts]), np.log([p[1] for p in pts]), 1)[0]
            out.append(f"{SERIES_LABEL.get(key, key)} {k:.3f}")
    return "; ".join(out) or "-"


def pool_env() -> str:
    for var in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        if var in os.environ:
            return f"{var}={os.environ[var]}"
    return f"RAYON_NUM_THREADS unset: {len(os.sched_getaffinity(0))} threads here"


SHORT = {"numpy": "NumPy", "fused": "NumPy fused by hand", "tmm_faster": "tmm-faster",
         "baseline": baseline.LABEL}
COLUMN = {"tmm_faster": "tmm-faster", "pyelli": "pyElli Solver2x2", "pymoosh": "PyMoosh",
          "numpy": "NumPy (N,2,2) matmul", "fused": "NumPy fused by hand"}


def target_for(name: str, key: str, threads: int) -> float | None:
    """The speed-up over implementation `key` that quelva aims for, if any."""
    if key == "numpy" and name in ("W3", "W4"):
        return T_NUMPY_1 if threads == 1 else T_NUMPY_2
    if threads != 1:
        return None
    if key == "baseline":
        share = T_BASELINE_SHARE.get(name)
        return None if share is None else 1.0 / share
    if key == "fused" and name == "W4":
        return T_FASTER_W4
    if key == "tmm_faster":
        return T_FASTER_W4 if name == "W4" else T_FASTER if name in ("W2", "W3", "W5") else None
    return None


# The conventions of the implementations that are not installed packages.
OWN_CONVENTIONS = {
    "tmm": ("radians", "'s', 'p': one call each, per λ"),
    "baseline": ("radians", "s and p, as quelva"),
    "numpy": ("radians", "s and p, as quelva"),
    "fused": ("radians", "s and p, as quelva"),
}


def poynting_p_factor(stack) -> np.ndarray:
    """Per wavelength, the ratio of the Poynting flux factor for p light that tmm uses,
    Re(n_L conj(cos θ_L)) / Re(n_0 conj(cos θ_0)), to quelva's Re(q_L / (n_0 cos θ)).

    quelva's p transmittance times this ratio is the Poynting flux into the exit medium.
    """
    n0, nl = stack.n[0], stack.n[-1]
    beta = math.sin(stack.theta) * n0
    ql = np.sqrt(nl * nl - beta * beta)
    factor_q = (ql / (n0 * math.cos(stack.theta))).real
    factor_poynting = (nl * np.conj(ql / nl)).real / (n0 * math.cos(stack.theta)).real
    return factor_poynting / factor_q


def index_convention(r_given, r_conjugated, r_ref) -> str:
    """Which sign of Im n a peer takes as absorbing, from its R of an absorbing film
    given as is and with the index conjugated."""
    d_given = peers.max_diff(r_ref, r_given)
    if d_given < 1e-9:
        return "Im n > 0 absorbs, as quelva"
    if peers.max_diff(r_ref, r_conjugated) < 1e-9:
        return "Im n < 0 absorbs: give it conj(n)"
    return f"neither sign (|ΔR| {d_given:.1e})"


def p_convention(t_peer, t_ref, t_poynting) -> str:
    """Whether a peer's p transmittance into an absorbing exit medium is quelva's
    |t|² Re(q_L / (n_0 cos θ)) or the Poynting flux."""
    d_ref = peers.max_diff(t_ref, t_peer)
    if d_ref < 1e-9:
        return "Re(q_L / (n_0 cos θ)) |t|², as quelva"
    if peers.max_diff(t_poynting, t_peer) < 1e-9:
        return f"Poynting flux, as tmm (|ΔT| {d_ref:.1e} from quelva)"
    return f"neither (|ΔT| {d_ref:.1e} from quelva)"


def diff_pair(pair) -> str:
    if pair is None:
        return "-"
    if isinstance(pair, str):
        return f"cannot run: {pair}"
    return f"{fmt_diff(pair[0])} / {fmt_diff(pair[1])}"


def summary_table(summary: dict, quick: bool) -> Table:
    """One row per workload and thread count: each implementation's time and, in
    brackets, how many times quelva is faster (the README's table)."""
    keys = ("quelva", *ROW_ORDER[1:], "tmm")
    tab = Table("Summary: time of one call; in brackets how many times quelva is faster",
                ["workload", "L", "N", *(COLUMN.get(k, LABEL[k]) for k in keys)])
    for (name, threads), times in summary.items():
        st = stacks.workload(name, quick)
        q = times.get("quelva")
        cells = []
        for key in keys:
            t = times.get(key)
            if key == "quelva":
                text = fmt_time(q)
                q1 = summary.get((name, 1), {}).get("quelva")
                if threads > 1 and q and q1:
                    text += f" ({q1 / q:.3g}× the 1-thread speed)"
            elif unavailable(key):
                text = "unavailable"
            else:
                text = "" if t is None else fmt_time(t) + (f" ({t / q:.3g}×)" if q else "")
            cells.append(text)
        where = "" if name in ("W1", "W2") else f", {plural(threads)}"
        tab.add(f"{name} {st.name}{where}", st.layers, f"{st.points:,}", *cells)
    tab.note = ("tmm runs on a subset of the wavelengths, scaled per wavelength. pyElli and "
                "PyMoosh run on one thread whatever the count: only their 1-thread rows are "
                "filled.")
    return tab


def plural(threads: int) -> str:
    return f"{threads} thread{'s' if threads > 1 else ''}"


# ---------------------------------------------------------------------------
# The sections. Each one measures, adds its rows to its own table(s) and
# returns them; what the sections share (the targets met, the warnings, the
# agreement figures and the summary times) lives in one Run.

def max_rt_diff(rt_a, rt_b):
    """Largest absolute difference of R and of T between two (R, T) results."""
    return peers.max_diff(rt_a[0], rt_b[0]), peers.max_diff(rt_a[1], rt_b[1])


@dataclasses.dataclass
class Run:
    """The settings of one run and what its sections hand on to the next:
    the peers-and-conventions section reuses the agreement measured beside the
    timings, and the summary and target tables collect what the workloads find."""
    args: argparse.Namespace
    cfg: Settings
    have_q: bool
    calls_bin: Path | None    # bench/reference_calls.cpp built, or None
    calls_err: str            # why it is None
    started: float
    targets: list = dataclasses.field(default_factory=list)  # (description, measured, ok)
    warn: list = dataclasses.field(default_factory=list)
    # {workload: {implementation: [max |dR|, max |dT|] or the error}}
    agreed: dict = dataclasses.field(default_factory=dict)
    # {(workload, threads): {implementation: seconds}}
    summary: dict = dataclasses.field(default_factory=dict)

    def log(self, msg):
        print(f"[{time.perf_counter() - self.started:6.1f} s] {msg}", file=sys.stderr)

    def ref_rt(self, stack):
        """The reference every agreement column is measured against: quelva, or
        the NumPy implementation when quelva is not importable."""
        return peers.quelva_rt(stack) if self.have_q else peers.numpy_rt(stack)

    def check_tmm(self, label, dr, dt):
        if max(dr, dt) > 1e-9:
            self.warn.append(f"tmm and {'quelva' if self.have_q else 'NumPy'} differ by "
                             f"{max(dr, dt):.2e} on {label} (lossless exit medium)")


def header_lines(run: Run) -> list[str]:
    header = [f"quelva benchmark, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}"
              + (" (--quick: smaller stacks, fewer rounds)" if run.args.quick else ""),
              f"Machine: {machine_line()}"]
    if not run.have_q:
        header.append(f"quelva is not importable ({peers.QUELVA_ERROR}): its rows are "
                      "skipped and agreement is shown against the NumPy implementation.")
    if run.calls_bin is None:
        header.append(f"The rows of {REFERENCE_CALLS} are skipped: {run.calls_err}")
    if peers.quelva_base is None:
        header.append(f"The baseline row ({baseline.LABEL}) is skipped: {peers.BASELINE_NOTE}")
    else:
        header.append(f"Baseline: {baseline.LABEL}, loaded from {peers.quelva_base.__file__} "
                      "beside the current module and timed in the same rounds")
    for peer in peers.PEERS:
        if not peer.available:
            header.append(f"{peer.label} is unavailable ({peer.package} does not import: "
                          f"{peer.error}); its rows say so.")
    return header


def add_tmm_row(table: Table, tm, per, q, dtm, target="", ok=None):
    name = "tmm" + (f" ({tm['measured_points']} λ, scaled)" if tm["scaled"] else "")
    table.add("", "", "", name, fmt_time(tm["time"]), fmt_time(tm["time"] / per),
              fmt_ratio(tm["time"] / q) if q else "-", fmt_diff(dtm[0]), fmt_diff(dtm[1]),
              target, status(ok) if target else "")


def add_peer_rows(run: Run, table: Table, name, threads, times, errors, ag, q, per):
    """The rows of the packages and the NumPy versions: one workload, one thread count."""
    run.summary[(name, threads)] = {"quelva": q}
    for key in ROW_ORDER[1:]:
        if threads > 1 and key not in TWO_THREADS:
            continue   # one thread whatever the count: its 1-thread row stands
        if unavailable(key):
            table.add("", "", "", LABEL[key], "unavailable")
            continue
        if key in errors:
            table.add("", "", "", LABEL[key], f"cannot run this stack: {errors[key]}")
            continue
        t = times.get(key)
        if t is None:
            continue
        run.summary[(name, threads)][key] = t
        tgt = target_for(name, key, threads)
        ok = (t / q >= tgt) if (q and tgt) else None
        a = ag.get(key)
        dr, dt = a if isinstance(a, list) else (None, None)
        # The baseline's target is a share of its time, the peers' a speed-up.
        own = key == "baseline"
        wanted = (f"<= {1 / tgt:g}x its time" if own else f">= {tgt:g}x") if tgt else ""
        table.add("", "", "", LABEL[key], fmt_time(t), fmt_time(t / per),
                  fmt_ratio(t / q) if q else "-", fmt_diff(dr), fmt_diff(dt),
                  wanted, status(ok) if tgt else "")
        if tgt:
            measured = (f"{q / t:.2f}x its time" if own else fmt_ratio(t / q)) if q else "-"
            run.targets.append((f"{name} vs {SHORT[key]}, {plural(threads)} ({wanted})",
                                measured, ok))


def in_process_workloads(run: Run, table: Table):
    """W1 and W2, timed in this process (no pool is used below 101 wavelengths)."""
    cfg, quick = run.cfg, run.args.quick
    for name in ("W1", "W2"):
        run.log(name)
        st = stacks.workload(name, quick)
        fns = impl_fns(st, ROW_ORDER)
        res = measure(fns, cfg)
        tm = time_tmm_subset(st, st.subset(cfg.tmm_points[name]), cfg)
        per = st.points * st.layers
        ref = run.ref_rt(st)
        label = f"{name} {st.name}"
        q = res.get("quelva", {}).get("time") if run.have_q else None
        if not run.have_q:
            table.add(label, st.layers, st.points, "quelva", "not installed")
        else:
            ok = q * 1e6 < T_W1_US if name == "W1" else None
            table.add(label, st.layers, st.points, "quelva", fmt_time(q), fmt_time(q / per), "",
                      "", "", f"< {T_W1_US:g} µs per call" if name == "W1" else "",
                      status(ok) if name == "W1" else "")
            if name == "W1":
                run.targets.append(("W1: one whole call (construct, simulate, read r and t)",
                                    fmt_time(q), ok))
        run.agreed[name] = agreement(fns, ref, ROW_ORDER) if run.have_q else {}
        add_peer_rows(run, table, name, 1, {k: v["time"] for k, v in res.items() if "time" in v},
                      {k: v["error"] for k, v in res.items() if "error" in v},
                      run.agreed[name], q, per)
        dtm = max_rt_diff(run.ref_rt(tm["sub"]), tm["rt"])
        run.agreed[name]["tmm"] = list(dtm)
        run.check_tmm(label, *dtm)
        add_tmm_row(table, tm, per, q, dtm)
        run.summary[(name, 1)]["tmm"] = tm["time"]


def child_samples(run: Run) -> tuple[dict, dict]:
    """W3 to W5 timed in child processes with 1 and 2 threads, alternating (the
    pool size is read once per process). Returns the samples as
    {threads: {workload: {implementation: [seconds]}}} and the errors as
    {workload: {implementation: text}}; the agreement goes to run.agreed."""
    cfg = run.cfg
    samples = {1: {}, 2: {}}
    errors = {}
    two_thread_impls = tuple(k for k in ROW_ORDER if k in TWO_THREADS)
    for rep in range(cfg.child_passes):
        for threads in (1, 2):
            run.log(f"{', '.join(CHILD_WORKLOADS)} with RAYON_NUM_THREADS={threads} (child "
                    f"process {rep + 1} of {cfg.child_passes})")
            c = spawn_child(["--child", "threads", "--workloads", ",".join(CHILD_WORKLOADS),
                             "--rounds", str(cfg.child_rounds), "--impls",
                             ",".join(ROW_ORDER if threads == 1 else two_thread_impls)]
                            + (["--reference-calls", str(run.calls_bin)]
                               if run.calls_bin else []),
                            {"RAYON_NUM_THREADS": str(threads),
                             "OMP_NUM_THREADS": str(threads)}, run.args.quick)
            if not c:
                continue
            for wname, entry in c["workloads"].items():
                for key, vals in entry.items():
                    if key == "agree":
                        run.agreed.setdefault(wname, {}).update(vals)
                    elif key == "errors":
                        errors.setdefault(wname, {}).update(vals)
                    else:
                        samples[threads].setdefault(wname, {}).setdefault(key, []).extend(vals)
    return samples, errors


def child_workloads(run: Run, table: Table) -> dict:
    """The rows of W3 to W5 at 1 and 2 threads, with tmm and the reference
    order's C-library calls beside them; returns the raw samples of the children."""
    cfg, quick = run.cfg, run.args.quick
    samples, errors = child_samples(run)
    tmm_res = {}
    for name in CHILD_WORKLOADS:
        st = stacks.workload(name, quick)
        run.log(f"{name}: tmm on {cfg.tmm_points[name]} wavelengths")
        tmm_res[name] = time_tmm_subset(st, st.subset(cfg.tmm_points[name]), cfg)

    for name in CHILD_WORKLOADS:
        st = stacks.workload(name, quick)
        per = st.points * st.layers
        label = f"{name} {st.name}"
        tm = tmm_res[name]
        dtm = max_rt_diff(run.ref_rt(tm["sub"]), tm["rt"])
        run.agreed.setdefault(name, {})["tmm"] = list(dtm)
        run.check_tmm(label, *dtm)
        med = {th: {k: stat(v) for k, v in samples[th].get(name, {}).items()}
               for th in (1, 2)}
        q1 = med[1].get("quelva")
        for threads in (1, 2):
            m = med[threads]
            q = m.get("quelva")
            tlabel = f"{label}, {plural(threads)}"
            if q is not None:
                table.add(tlabel, st.layers, st.points, "quelva", fmt_time(q), fmt_time(q / per))
                if threads == 2 and q1:
                    ok = q1 / q >= T_THREADS
                    is_w4 = name == "W4"
                    table.add("", "", "", "quelva: speed-up from 1 to 2 threads", "", "",
                              fmt_ratio(q1 / q), "", "",
                              f">= {T_THREADS:g}x" if is_w4 else "", status(ok) if is_w4 else "")
                    if is_w4:
                        run.targets.append(("W4: quelva from 1 to 2 threads "
                                            f"(>= {T_THREADS:g}x)", fmt_ratio(q1 / q), ok))
            else:
                table.add(tlabel, st.layers, st.points, "quelva",
                          "not installed" if not run.have_q else "failed")
            add_peer_rows(run, table, name, threads, m, errors.get(name, {}),
                          run.agreed.get(name, {}), q, per)
            if threads == 1:
                run.summary[(name, 1)]["tmm"] = tm["time"]
            if name == "W3" and threads == 1:
                ok = tm["time"] / q >= T_TMM_W3 if q else None
                add_tmm_row(table, tm, per, q, dtm, f">= {T_TMM_W3:g}x", ok)
                run.targets.append((f"W3 vs tmm, 1 thread (>= {T_TMM_W3:g}x)",
                                    fmt_ratio(tm["time"] / q) if q else "-", ok))
            else:
                add_tmm_row(table, tm, per, q, dtm)
            if threads == 1 and "reference_calls_all" in m:
                add_reference_calls_rows(table, st, m["reference_calls_all"],
                                         m["reference_calls_branch"], q, per)
    return samples


def add_reference_calls_rows(table: Table, st, all_polar: float, as_needed: float,
                             q: float | None, per: int):
    """The two rows of bench/reference_calls.cpp under a workload: every medium
    through the polar square root, and the calls the reference makes on this
    stack. A yardstick of the reference order, which the kernel does not follow:
    no target refers to it."""
    table.add("", "", "", f"{REFERENCE_CALLS}, all media polar", fmt_time(all_polar),
              fmt_time(all_polar / per), fmt_ratio(all_polar / q) if q else "-")
    table.add("", "", "", f"{REFERENCE_CALLS}, as this stack needs ("
              f"{general_media(st)} of {st.layers} media polar)", fmt_time(as_needed),
              fmt_time(as_needed / per), fmt_ratio(as_needed / q) if q else "-")


def workloads_table() -> Table:
    """The main table, empty; the workload sections add its rows."""
    return Table(f"Workloads ({STAT[0]} of interleaved rounds; 'quelva faster by' = peer time / "
                 "quelva time; agreement = largest absolute difference from quelva)",
                 ["workload", "L", "N", "implementation", STAT[0], "per λ·medium",
                  "quelva faster by", "max |ΔR|", "max |ΔT|", "target", "status"])


def workloads_section(run: Run) -> tuple[Table, dict]:
    """The main table: every workload, every implementation, with the targets
    checked in place. Returns the table and the children's raw samples."""
    table = workloads_table()
    in_process_workloads(run, table)
    samples = child_workloads(run, table)
    return table, samples


def growth_in_n_section(run: Run) -> tuple[Table, dict, stacks.Stack]:
    """Time against the number of wavelengths on the W3 mirror. Returns the
    table, the series of the plot and the stack they were measured on."""
    cfg = run.cfg
    run.log("growth in N")
    gst = stacks.bragg_mirror(10)
    gn = Table(f"Growth with N: {gst.name} (L = {gst.layers}); quelva with the default pool "
               f"size ({pool_env()})",
               ["N", "quelva", "quelva per λ", LABEL["numpy"], LABEL["fused"], "tmm",
                "reference's C-library calls (1 thread)", "quelva faster than NumPy",
                "than NumPy fused",
                "max |ΔR| NumPy", "max |ΔT| NumPy"])
    plot = {"N": [], "quelva": [], "numpy": [], "fused": [], "tmm": [], "tmm_measured": [],
            "reference_calls": []}
    tmm_per_point = None
    for npts in cfg.grow_n:
        st = stacks.bragg_mirror(npts)
        res = measure(impl_fns(st), cfg, rounds=cfg.rounds if npts < 30000 else 3)
        measured = npts <= cfg.grow_n_tmm
        if measured:
            tmm_t = time_tmm_subset(st, st, cfg)["time"]
        else:
            if tmm_per_point is None:
                tmm_per_point = time_tmm_subset(st, st.subset(cfg.grow_n_tmm),
                                                cfg)["time"] / npts
            tmm_t = tmm_per_point * npts
        rc = run_reference_calls(run.calls_bin, st, cfg.calls_seconds * 0.3)
        q = res["quelva"]["time"] if run.have_q else None
        npm = res["numpy"]["time"]
        fus = res["fused"]["time"]
        dn = (max_rt_diff(peers.quelva_rt(st), peers.numpy_rt(st)) if run.have_q
              else (None, None))
        gn.add(npts, fmt_time(q), fmt_time(q / npts if q else None), fmt_time(npm),
               fmt_time(fus), fmt_time(tmm_t) + ("" if measured else " *"),
               fmt_time(calls_time(rc, "all")) if rc else "-",
               fmt_ratio(npm / q) if q else "-", fmt_ratio(fus / q) if q else "-",
               fmt_diff(dn[0]), fmt_diff(dn[1]))
        for key, val in (("N", npts), ("quelva", q), ("numpy", npm), ("fused", fus),
                         ("tmm", tmm_t), ("tmm_measured", measured),
                         ("reference_calls", calls_time(rc, "all") if rc else None)):
            plot[key].append(val)
    gn.note = (f"* tmm measured on {cfg.grow_n_tmm} λ and scaled (its cost per wavelength "
               "does not depend on N). Log-log slope of time against N for N >= 1000 "
               "(1 = linear): " + slopes(plot, "N", 1000))
    return gn, plot, gst


def growth_in_l_section(run: Run) -> Table:
    """Time against the number of media on alternating TiO2/SiO2 layers."""
    cfg = run.cfg
    run.log("growth in L")
    gl = Table(f"Growth with L: alternating TiO2/SiO2 layers on BK7, N = {cfg.grow_l_points}; "
               f"quelva with the default pool size ({pool_env()}); "
               f"tmm on {cfg.grow_l_tmm} λ, scaled",
               ["L", "quelva", "quelva per λ·medium", LABEL["numpy"], "NumPy per λ·medium",
                LABEL["fused"], "tmm (scaled)", "reference's C-library calls (1 thread)",
                "quelva faster than NumPy",
                "than tmm", "max |ΔR| tmm", "max |ΔT| tmm"])
    lgrow = {}
    for layers in cfg.grow_l:
        st = stacks.periodic(layers, cfg.grow_l_points)
        res = measure(impl_fns(st), cfg)
        tm = time_tmm_subset(st, st.subset(cfg.grow_l_tmm), cfg)
        dtm = max_rt_diff(run.ref_rt(tm["sub"]), tm["rt"])
        run.check_tmm(st.name, *dtm)
        rc = run_reference_calls(run.calls_bin, st, cfg.calls_seconds * 0.3)
        q = res["quelva"]["time"] if run.have_q else None
        npm = res["numpy"]["time"]
        per = st.points * layers
        gl.add(layers, fmt_time(q), fmt_time(q / per if q else None), fmt_time(npm),
               fmt_time(npm / per), fmt_time(res["fused"]["time"]), fmt_time(tm["time"]),
               fmt_time(calls_time(rc, "all")) if rc else "-",
               fmt_ratio(npm / q) if q else "-", fmt_ratio(tm["time"] / q) if q else "-",
               fmt_diff(dtm[0]), fmt_diff(dtm[1]))
        for key, val in (("L", layers), ("quelva", q), ("numpy", npm),
                         ("fused", res["fused"]["time"]), ("tmm", tm["time"]),
                         ("reference_calls", calls_time(rc, "all") if rc else None)):
            lgrow.setdefault(key, []).append(val)
    gl.note = ("Log-log slope of time against L for L >= 22 (1 = linear): "
               + slopes(lgrow, "L", 22))
    return gl


def memory_section(run: Run) -> Table:
    """Peak resident memory of one call, each in its own child process."""
    quick = run.args.quick
    run.log("peak memory (child processes)")
    mem = Table("Peak resident memory of one call, each in its own child process (RSS when "
                "the inputs are built, then the peak VmHWM during the call; quelva's pool at "
                f"its default size, {pool_env()}"
                + ("; --quick: quelva and NumPy only)" if quick else ")"),
                ["run", "L", "N", "implementation", "RSS before the call",
                 "peak during the call", "growth", ""])
    for wname in ("W4", "BIG"):
        st = stacks.workload(wname, quick)
        label = "W4" if wname == "W4" else "one film on glass"
        for key in ROW_ORDER if not quick else BASE:
            if key == "quelva" and not run.have_q:
                continue
            if unavailable(key):
                continue
            r = spawn_child(["--child", "rss", "--workloads", wname, "--impl", key], {}, quick)
            if r:
                mem.add(label, st.layers, st.points, LABEL[key], fmt_mem(r["before_kib"]),
                        fmt_mem(r["peak_kib"]), fmt_mem(r["peak_kib"] - r["before_kib"]),
                        "" if r["reset"] else "peak since process start")
            label = ""
    return mem


def exit_medium_section(run: Run) -> Table:
    """Agreement with tmm on an absorbing exit medium and under frustrated
    total reflection, with the p part of T rescaled to tmm's convention."""
    run.log("conventions check")
    conv = Table("Conventions: agreement with tmm on an absorbing exit medium (air | 100 nm "
                 "SiO2 | Lorentz absorber, θ = 0.9) and under frustrated total reflection "
                 "(BK7 | 300 nm air | 20 nm Lorentz absorber | BK7, θ = 1.0), 50 λ each",
                 ["light", "max |ΔR| tmm", "max |ΔT| tmm",
                  "max |ΔT| tmm, p part rescaled", "max |ΔR| NumPy", "max |ΔT| NumPy"])
    # quelva's T multiplies |t|^2 by Re(q_L / (n_0 cos theta)) for s and p alike;
    # tmm uses Re(n_L conj(cos theta_L)) / Re(n_0 conj(cos theta_0)) for p. Rescaling
    # the p part of quelva's T by the ratio of the two factors must give tmm's T.
    pure = {phi: run.ref_rt(stacks.absorbing_exit(50, phi)) for phi in (0.0, math.pi / 2)}
    to_poynting = poynting_p_factor(stacks.absorbing_exit(50, 0.0))
    for label, phi in (("s (phi = 0)", 0.0), ("p (phi = π/2)", math.pi / 2),
                       ("mixed (phi = 0.6)", 0.6)):
        st = stacks.absorbing_exit(50, phi)
        ref = run.ref_rt(st)
        (rs, ts), (rp, tp) = peers.tmm_rt(st, pol_split=False)
        ws, wp = math.cos(phi) ** 2, math.sin(phi) ** 2
        tr, tt = ws * rs + wp * rp, ws * ts + wp * tp
        adjusted = ws * pure[0.0][1] + wp * pure[math.pi / 2][1] * to_poynting
        dn = max_rt_diff(ref, peers.numpy_rt(st)) if run.have_q else (None, None)
        conv.add(label, fmt_diff(peers.max_diff(ref[0], tr)),
                 fmt_diff(peers.max_diff(ref[1], tt)), fmt_diff(peers.max_diff(adjusted, tt)),
                 fmt_diff(dn[0]), fmt_diff(dn[1]))
    for label, phi in (("frustrated TIR, s", 0.0), ("frustrated TIR, p", math.pi / 2),
                       ("frustrated TIR, mixed", 0.6)):
        st = stacks.frustrated_tir(50, phi)
        ref = run.ref_rt(st)
        rt = peers.tmm_rt(st)
        run.check_tmm(f"{st.name} ({label})", *max_rt_diff(ref, rt))
        dn = max_rt_diff(ref, peers.numpy_rt(st)) if run.have_q else (None, None)
        conv.add(label, fmt_diff(peers.max_diff(ref[0], rt[0])),
                 fmt_diff(peers.max_diff(ref[1], rt[1])), "", fmt_diff(dn[0]), fmt_diff(dn[1]))
    conv.note = (
        "quelva's T multiplies |t|² by Re(q_L / (n_0 cos θ)) = Re(n_L cos θ_L) / "
        "(n_0 cos θ) for both polarisations; tmm uses that factor for s but "
        "Re(n_L conj(cos θ_L)) / Re(n_0 conj(cos θ)) for p (the Poynting flux of a p "
        "wave whose amplitude t is that of its electric field). The two agree whenever "
        "the exit medium is lossless, as in the frustrated-TIR stack, whose evanescent "
        "waves in the air gap test the choice of the square-root branch. 'p part "
        "rescaled' multiplies quelva's p transmittance by the ratio of the two factors: "
        "the remaining difference is rounding.")
    return conv


def text_or_error(check) -> str:
    """The text of one checked cell, or why the peer could not run it."""
    try:
        return check()
    except Exception as exc:
        return f"cannot run: {error_text(exc)}"


def peer_agreement_section(run: Run) -> Table:
    """Every peer: its conventions, two of them checked here, and its agreement
    on the workloads (measured beside the timings where the workloads ran)."""
    quick = run.args.quick
    run.log("peers: conventions and agreement")
    wnames = ("W1", "W2", *CHILD_WORKLOADS)
    for name in wnames:
        if name in run.agreed:
            continue     # measured beside the timings
        st = stacks.workload(name, quick)
        ref = run.ref_rt(st)
        run.agreed[name] = (agreement(impl_fns(st, ROW_ORDER), ref, ROW_ORDER) if run.have_q
                            else {})
        sub = st.subset(run.cfg.tmm_points[name])
        run.agreed[name]["tmm"] = list(max_rt_diff(run.ref_rt(sub), peers.tmm_rt(sub)))
    film = stacks.film_on_glass(20)
    film_gain = dataclasses.replace(film, n=np.conj(film.n))
    exit_p = stacks.absorbing_exit(50, math.pi / 2)
    ftir = stacks.frustrated_tir(50, stacks.PHI)
    ref_film, ref_exit, ref_ftir = run.ref_rt(film), run.ref_rt(exit_p), run.ref_rt(ftir)
    poynting_t = ref_exit[1] * poynting_p_factor(exit_p)
    whole = {"tmm": peers.tmm_rt, "baseline": peers.baseline_rt, "numpy": peers.numpy_rt,
             "fused": peers.numpy_fused_rt}
    whole.update({p.key: p.rt for p in peers.PEERS})
    pconv = Table("Peers: conventions (as documented; the last two checked here) and "
                  "agreement with quelva, max |ΔR| / max |ΔT|",
                  ["implementation", "angles", "polarisations", "absorbing index (checked)",
                   "T of p light into an absorbing exit (checked)",
                   *(f"{w}" for w in wnames), "frustrated TIR"])
    for key in ("tmm", *ROW_ORDER[1:]):
        peer = peers.PEER.get(key)
        angles, pols = (peer.angle_unit, peer.polarisations) if peer else OWN_CONVENTIONS[key]
        if unavailable(key):
            pconv.add(LABEL[key], angles, pols, "unavailable")
            continue
        fn = whole[key]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")   # pyElli warns of the gain medium
            index = text_or_error(lambda: index_convention(fn(film)[0], fn(film_gain)[0],
                                                           ref_film[0]))
        p_exit = text_or_error(lambda: p_convention(fn(exit_p)[1], ref_exit[1], poynting_t))
        tir = text_or_error(lambda: diff_pair(max_rt_diff(ref_ftir, fn(ftir))))
        pconv.add(LABEL[key] + (" (on its subset of λ)" if key == "tmm" else ""), angles,
                  pols, index, p_exit, *(diff_pair(run.agreed[w].get(key)) for w in wnames), tir)
    pconv.note = (
        "Every peer is given quelva's inputs in its own form (angles in its unit; indices "
        "as its own arrays, tables or permittivity functions) and its s and p results are "
        "combined as quelva defines them: R = cos²φ R_s + sin²φ R_p, the same for T. "
        "'Absorbing index': the absorbing film of W1/W2 (20 λ) computed as given and with "
        "n conjugated; the one that matches quelva's R to 1e-9 tells the sign. 'T of p "
        "light': air | 100 nm SiO2 | Lorentz absorber at θ = 0.9 (50 λ), compared with "
        "quelva's T and with quelva's T rescaled to the Poynting flux into the absorber. "
        "Frustrated TIR: BK7 | 300 nm air | 20 nm absorber | BK7 at θ = 1.0, φ = 0.6 (50 λ).")
    return pconv


def fit_section(run: Run) -> Table:
    """The model inside a least-squares fit, timed in a child process at one
    thread (quelva's pool and tmm-faster's OpenMP alike)."""
    run.log(f"least-squares fits ({run.cfg.fits} per implementation, child process)")
    res = spawn_child(["--child", "fit"], {"RAYON_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"},
                      run.args.quick)
    if res is None:
        res = {key: {"error": "the child process failed (its error is printed above)"}
               for key in fit.KEYS}
    return fit_table(res)


def fit_table(res: dict) -> Table:
    """One row per fitted implementation, from fit.measure's figures: medians
    over the fits, and how many times quelva's model evaluation is faster."""
    stack = fit.coating()
    tab = Table(f"Least-squares fit: the two thicknesses of a {stack.name}, N = {stack.points}, "
                f"from {fit.START_NM[0]:g} / {fit.START_NM[1]:g} nm to a synthetic R "
                f"({fit.TRUE_NM[0]:g} / {fit.TRUE_NM[1]:g} nm); scipy.optimize.least_squares, "
                f"1 thread; {STAT[0]} of the fits",
                ["implementation", "fits", "model evaluations", "fit time",
                 "per model evaluation", "scipy's own time", "quelva faster by (per evaluation)",
                 "fitted thicknesses (nm)"])
    per_eval = {}
    for key in fit.KEYS:
        r = res.get(key, {})
        if "fit_s" in r:
            per_eval[key] = stat([m / e for m, e in zip(r["model_s"], r["evaluations"])])
    q = per_eval.get("quelva")
    for key in fit.KEYS:
        r = res.get(key, {})
        if "fit_s" not in r:
            tab.add(LABEL[key], "unavailable: " + r.get("error", "not measured"))
            continue
        own = stat([f - m for f, m in zip(r["fit_s"], r["model_s"])])
        d_last = r["d"][-1]
        tab.add(LABEL[key], len(r["fit_s"]), f"{stat(r['evaluations']):g}",
                fmt_time(stat(r["fit_s"])), fmt_time(per_eval[key]), fmt_time(own),
                "" if key == "quelva" else (fmt_ratio(per_eval[key] / q) if q else "-"),
                " / ".join(f"{x:.6g}" for x in d_last))
    tab.note = ("The model is R as a function of the two thicknesses, one whole call of each "
                "implementation (its inputs that do not depend on the thicknesses built once, "
                "before the fit); the evaluations include those of scipy's finite-difference "
                "Jacobian. 'scipy's own time' is the fit's time minus the time spent in the "
                "model's calls, timed inside the fit. The synthetic R comes from the NumPy "
                "code fused by hand; the fits are interleaved, one of each implementation per "
                "round, in a child process with RAYON_NUM_THREADS=1 and OMP_NUM_THREADS=1.")
    return tab


def handoff_section(run: Run) -> Table:
    """What handing a pass to the pool costs: a two-layer coating on glass
    (L = 4) at N = 100, computed on the calling thread, against N = 101, the
    first length that goes to the pool, interleaved in this process."""
    run.log("hand-off to the pool")
    fns = {}
    for key in ("quelva", "baseline"):
        if unavailable(key):
            continue
        for points in HANDOFF_POINTS:
            stack = stacks.two_layer_coating(points, *fit.TRUE_NM)
            fns[(key, points)] = impl_fns(stack, (key,))[key]
    res = measure(fns, run.cfg)
    return handoff_table({name: r["time"] for name, r in res.items() if "time" in r},
                         run.targets)


def handoff_table(times: dict, targets: list) -> Table:
    """The hand-off table from {(implementation, N): seconds}; quelva's
    difference is checked against its target, which goes to `targets`."""
    few, many = HANDOFF_POINTS
    tab = Table(f"Hand-off to the pool: a two-layer coating on glass (L = 4), N = {few} on the "
                f"calling thread against N = {many} on the pool ({pool_env()}); {STAT[0]} of "
                "interleaved rounds of back-to-back calls",
                ["implementation", f"N = {few}, calling thread", f"N = {many}, pool",
                 "difference", "target", "status"])
    for key in ("quelva", "baseline"):
        if (key, few) not in times or (key, many) not in times:
            tab.add(LABEL[key], "unavailable")
            continue
        difference = times[(key, many)] - times[(key, few)]
        check = key == "quelva"
        ok = difference * 1e6 <= T_HANDOFF_US if check else None
        tab.add(LABEL[key], fmt_time(times[(key, few)]), fmt_time(times[(key, many)]),
                ("+" if difference >= 0 else "-") + fmt_time(abs(difference)),
                f"<= {T_HANDOFF_US:g} µs more" if check else "", status(ok) if check else "")
        if check:
            targets.append((f"N = {many} on the pool within {T_HANDOFF_US:g} µs of N = {few} on "
                            "the calling thread (L = 4)", fmt_time(difference), ok))
    return tab


def targets_table(targets: list) -> Table:
    """Every target checked by the workloads, in the order they were met."""
    tab = Table("Targets", ["target", "measured", "status"])
    for desc, val, ok in targets:
        tab.add(desc, val, status(ok))
    return tab


def note_lines(cfg: Settings) -> list[str]:
    return [
        "Notes:",
        f"- 'per λ·medium' is the {STAT[0]} divided by N·L. quelva's time is one whole call "
        "from Python: DataPy(...), simulate(), reading r and t.",
        f"- W3, W4 and W5 run in child processes with RAYON_NUM_THREADS=1 and =2 (the pool size is "
        f"read once per process), {cfg.child_passes} alternating child(ren) per count; the "
        "NumPy peers are single-threaded and are timed in the same children, interleaved with "
        "quelva.",
        "- NumPy: (N,2,2) matmul per layer is the way vectorised transfer-matrix packages are "
        "written (per layer and polarisation an array of 2x2 matrices, np.matmul); the targets "
        "refer to it. 'Fused by hand' computes s and p together, shares each medium's cosine "
        "and each layer's phase factors, and multiplies matrix elements directly: the fastest "
        "NumPy form we know, shown for context.",
        "- tmm-faster, pyElli and PyMoosh (PyPI) get each stack in their own form, built "
        "outside the clock: the index as a [λ x media] array (tmm-faster), as a Table "
        "dispersion per distinct material (pyElli, which interpolates it in every call), or "
        "as a permittivity function per distinct material (PyMoosh); the angle in degrees "
        "for tmm-faster and pyElli. The timed call includes combining s and p as "
        "cos²φ·s + sin²φ·p. tmm-faster's OpenMP threads follow the child's thread count "
        "(OMP_NUM_THREADS; 1 for W1 and W2); pyElli and PyMoosh run on one thread and are "
        "timed in the 1-thread children only.",
        f"- {baseline.LABEL} is quelva built from that earlier commit by scripts/bench.sh "
        "and loaded in the same process as the current module, timed in the same rounds "
        "and children; its 'quelva faster by' is the current module's speed-up over it.",
        "- tmm is pure Python: it runs on an evenly spread subset of the wavelengths and its "
        "time is scaled to the full N (its cost per wavelength does not depend on N); its "
        "agreement is measured on that subset.",
        "- The reference order's C-library calls (bench/reference_calls.cpp) are the calls of "
        "the reference operation order alone, timed on one thread, with none of its complex "
        "arithmetic: a yardstick of that order, which the kernel does not follow. 'All media "
        "polar' makes hypot, atan2, sqrt, sin and cos for every medium and exp, cos and sin "
        "for each of exp(ikh) and exp(-ikh) for every layer, at every wavelength. 'As this "
        "stack needs' takes the one-sqrt branch for media where N² − β² has a zero real or "
        "imaginary part (lossless media at a real angle), as the reference does.",
    ]


def report(header: list[str], warn: list[str], tables: list, notes: list[str],
           markdown: bool) -> str:
    """The whole printed report; tables that are None or empty are left out."""
    parts = [("\n\n" if markdown else "\n").join(header), ""]
    parts += [f"WARNING: {w}" for w in warn] + ([""] if warn else [])
    parts += [tab.render(markdown) for tab in tables if tab is not None and tab.rows]
    parts.append("\n".join(notes))
    return "\n".join(parts) + "\n"


def main_run(args) -> int:
    cfg = Settings(args.quick)
    sections = set(args.only.split(",")) if args.only else set(SECTIONS)
    if not sections <= set(SECTIONS):
        print(f"--only takes a comma-separated list of {', '.join(SECTIONS)}", file=sys.stderr)
        return 2
    if peers.tmm is None:
        print(f"tmm is not importable ({peers.TMM_ERROR}); install it (scripts/bench.sh does)",
              file=sys.stderr)
        return 2
    calls_bin, calls_err = find_reference_calls(
        Path(args.reference_calls) if args.reference_calls else DEFAULT_REFERENCE_CALLS)
    run = Run(args=args, cfg=cfg, have_q=peers.quelva is not None, calls_bin=calls_bin,
              calls_err=calls_err, started=time.perf_counter())
    load_start = os.getloadavg()[0]
    header = header_lines(run)

    main = gn = gl = mem = conv = pconv = fit_tab = hand = None
    plot = gst = None
    samples = {}
    if "workloads" in sections:
        main, samples = workloads_section(run)
    if "growth" in sections:
        gn, plot, gst = growth_in_n_section(run)
        gl = growth_in_l_section(run)
    if "memory" in sections:
        mem = memory_section(run)
    # After the workloads: the peer table reuses the agreement measured beside
    # the timings and measures only what they did not.
    if "conventions" in sections:
        conv = exit_medium_section(run)
        pconv = peer_agreement_section(run)
    if "fit" in sections:
        fit_tab = fit_section(run)
    if "handoff" in sections:
        hand = handoff_section(run)
    summary_tab = summary_table(run.summary, args.quick) if run.summary else None
    tt_tab = targets_table(run.targets)

    header.append("Load average (1 min) at the start and the end of the run: "
                  f"{load_start:.2f}, {os.getloadavg()[0]:.2f} (other processes on the machine "
                  "make the figures noisy)")
    tables = [main, summary_tab, tt_tab, fit_tab, hand, gn, gl, mem, conv, pconv]
    notes = note_lines(cfg)
    sys.stdout.write(report(header, run.warn, tables, notes, args.markdown))
    sys.stdout.flush()
    if args.markdown_out:
        with open(args.markdown_out, "w") as f:
            f.write(report(header, run.warn, tables, notes, True))
    run.log("tables done")

    if not args.no_plot and plot is not None:
        write_plot(plot, Path(args.plot), run.have_q, gst)
        run.log(f"plot written to {args.plot}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"threads": samples, "growth_n": plot}, f, indent=1,
                      default=str)
    return 0


def write_plot(plot, path: Path, have_q: bool, gst):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4.8), dpi=110)
    ns = np.array(plot["N"], dtype=float)
    if have_q:
        ax.loglog(ns, plot["quelva"], "o-", label="quelva (default pool size)")
    ax.loglog(ns, plot["numpy"], "s-", label="NumPy, (N,2,2) matmul per layer")
    ax.loglog(ns, plot["fused"], "d-", label="NumPy, fused by hand")
    meas = np.array(plot["tmm_measured"])
    tmm_t = np.array(plot["tmm"], dtype=float)
    ax.loglog(ns, tmm_t, "^--", color="tab:red", mfc="none", label="tmm (scaled per λ)")
    if meas.any():
        ax.loglog(ns[meas], tmm_t[meas], "^", color="tab:red", label="tmm (measured)")
    if all(v is not None for v in plot["reference_calls"]):
        ax.loglog(ns, plot["reference_calls"], "k:", label=f"{REFERENCE_CALLS}, 1 thread")
    ax.set_xlabel("number of wavelengths N")
    ax.set_ylabel("time per call [s]")
    ax.set_title(f"{gst.name}, L = {gst.layers}")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path)
    plt.close(fig)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="smoke run of a few seconds")
    ap.add_argument("--markdown", action="store_true", help="print the tables as Markdown")
    ap.add_argument("--plot", default=str(DEFAULT_PLOT), help="path of the PNG plot of time "
                    "against N (default: %(default)s)")
    ap.add_argument("--no-plot", action="store_true", help="do not write the plot")
    ap.add_argument("--markdown-out", default=None, help="also write the tables as Markdown "
                    "to this file")
    ap.add_argument("--reference-calls", default=None, help="path of the program that times "
                    f"{REFERENCE_CALLS} (default: {DEFAULT_REFERENCE_CALLS}, compiled from "
                    "bench/reference_calls.cpp if missing)")
    ap.add_argument("--json", default=None, help="also write raw figures to this file")
    ap.add_argument("--only", default=None, help="run only these sections, comma-separated: "
                    + ", ".join(SECTIONS) + " (default: all)")
    ap.add_argument("--child", default=None, help=argparse.SUPPRESS)
    ap.add_argument("--workloads", default="W3,W4", help=argparse.SUPPRESS)
    ap.add_argument("--impl", default="quelva", help=argparse.SUPPRESS)
    ap.add_argument("--impls", default=None, help=argparse.SUPPRESS)
    ap.add_argument("--rounds", type=int, default=None, help=argparse.SUPPRESS)
    ap.add_argument("--statistic", choices=("median", "min"), default="median",
                    help="statistic of the timed samples (default: %(default)s)")
    args = ap.parse_args(argv)
    STAT[0] = args.statistic
    if args.child:
        return child_main(args)
    return main_run(args)


if __name__ == "__main__":
    sys.exit(main())
