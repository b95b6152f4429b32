"""Tolerance Monte Carlo of a four-layer anti-reflection coating, computed three ways.

    python examples/design_sweep.py [--stacks 20000] [--ways serial,pool,dask]
                                    [--scheduler tcp://HOST:8786] [--plot FILE | --no-plot]

A broadband anti-reflection coating on BK7 glass (air | MgF2 | TiO2 | MgF2 |
TiO2 | glass, designed for the lowest mean reflectance from 420 to 680 nm) is
made many times with random thickness errors (each layer off by a Gaussian
2 % of its thickness, one sigma). Every coating made is one stack whose
spectrum of 200 wavelengths quelva computes; the result is the distribution of
the mean reflectance over the design band, drawn as a histogram.

The stacks are computed three ways, and the results must be identical bit for
bit (the engine follows one fixed operation order whatever runs it):

- serial: one loop in this process;
- pool: a `concurrent.futures` process pool with one process per core;
- dask: `dask.distributed`, on a LocalCluster of one single-threaded worker
  process per core, or on the cluster whose scheduler address is given with
  `--scheduler`.

Each `simulate()` call holds the interpreter lock, so Python threads add no
cores; processes do. A `DataPy` cannot be pickled, so the stacks travel to the
workers as plain arrays (a block of thickness rows plus the shared indices and
wavelengths) and each worker builds its own `DataPy` objects. The script
prints the throughput of each way and writes the histogram as a PNG (skipped
with a message when Matplotlib is not installed). Lengths are in nanometres.
The Dask way needs dask and distributed: `pip install ".[sweep]"` installs
quelva with them and Matplotlib.
"""

import argparse
import concurrent.futures
import multiprocessing
import os
import sys
import time

import numpy as np

import quelva
from materials import air, bk7, mgf2, tio2

# Materials from the air side to the substrate, and the nominal design
# (thicknesses of the four layers in nm, found by minimising the mean
# normal-incidence reflectance over the design band).
MEDIA = [air, mgf2, tio2, mgf2, tio2, bk7]
NOMINAL_D = np.array([117.2, 14.5, 51.5, 10.4])
DESIGN_BAND = (420.0, 680.0)
THICKNESS_ERROR = 0.02
WAYS = ("serial", "pool", "dask")


class Problem:
    """The stacks of one Monte Carlo run, as arrays: row k of `d` holds the
    four layer thicknesses of stack k; all stacks share the media `n`
    (rows: air, the four layers, glass), the wavelengths `wl` and the angles."""

    def __init__(self, stacks, wavelengths, seed):
        self.wl = np.linspace(380.0, 780.0, wavelengths)
        self.n = np.array([medium(self.wl) for medium in MEDIA])
        rng = np.random.default_rng(seed)
        errors = rng.normal(0.0, THICKNESS_ERROR, size=(stacks, NOMINAL_D.size))
        self.d = NOMINAL_D * (1.0 + errors)
        self.theta = 0.0
        self.phi = np.pi / 4  # unpolarised

    def chunks(self, size):
        """The thickness rows in blocks of at most `size` stacks, in order."""
        return [self.d[start : start + size] for start in range(0, len(self.d), size)]


def chunk_spectra(d_rows, n, wl, theta, phi):
    """R and T (arrays of shape (stacks, wavelengths)) of the stacks whose
    thicknesses are the rows of `d_rows`, all with the media `n`."""
    r = np.empty((len(d_rows), len(wl)))
    t = np.empty((len(d_rows), len(wl)))
    for k, d in enumerate(d_rows):
        sim = quelva.DataPy(np.ascontiguousarray(d), n, wl, theta, phi).simulate()
        r[k] = sim.r
        t[k] = sim.t
    return r, t


def worker_chunk_spectra(d_rows, n, wl, theta, phi):
    """`chunk_spectra` as run in a worker process. The worker is one of one
    process per core, so quelva's own thread pool (used from 101 wavelengths
    on) must have a single thread there, or the processes and the pool threads
    oversubscribe the cores. The pool reads RAYON_NUM_THREADS once, when it
    starts, i.e. at the first long spectrum of the process: setting it before
    that call is enough, and a value the worker already has is kept."""
    os.environ.setdefault("RAYON_NUM_THREADS", "1")
    return chunk_spectra(d_rows, n, wl, theta, phi)


def join(parts):
    """One (r, t) pair from the per-chunk pairs, in chunk order."""
    return np.concatenate([r for r, _ in parts]), np.concatenate([t for _, t in parts])


def run_serial(problem, chunk):
    return join([chunk_spectra(rows, problem.n, problem.wl, problem.theta, problem.phi)
                 for rows in problem.chunks(chunk)])


def run_pool(problem, chunk, executor):
    parts = [executor.submit(worker_chunk_spectra, rows, problem.n, problem.wl, problem.theta, problem.phi)
             for rows in problem.chunks(chunk)]
    return join([part.result() for part in parts])


def run_dask(problem, chunk, client):
    # The shared arrays go to every worker once, not once per task.
    n, wl = client.scatter([problem.n, problem.wl], broadcast=True)
    parts = [client.submit(worker_chunk_spectra, rows, n, wl, problem.theta, problem.phi, pure=False)
             for rows in problem.chunks(chunk)]
    return join(client.gather(parts))


def start_pool(workers):
    # Fresh interpreters rather than forks of this one: this process may
    # already have started quelva's thread pool with every core.
    executor = concurrent.futures.ProcessPoolExecutor(
        max_workers=workers, mp_context=multiprocessing.get_context("spawn"))
    # Start every process (and its imports) before the clock runs.
    list(executor.map(time.sleep, [0.2] * workers))
    return executor


def start_dask(workers, scheduler):
    """A Client on the cluster at `scheduler`, or on a new LocalCluster of
    `workers` single-threaded processes; returns (client, cluster or None)."""
    from dask.distributed import Client, LocalCluster

    if scheduler:
        return Client(scheduler), None
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)
    return Client(cluster), cluster


def nominal_spectrum(problem):
    """R of the coating made exactly as designed."""
    return chunk_spectra(NOMINAL_D[None, :], problem.n, problem.wl, problem.theta, problem.phi)[0][0]


def band_mean(problem, r):
    """Mean reflectance of each stack over the design band."""
    in_band = (problem.wl >= DESIGN_BAND[0]) & (problem.wl <= DESIGN_BAND[1])
    return r[:, in_band].mean(axis=1)


def identical(a, b):
    """Bit-for-bit equality of two float64 arrays (NaN included)."""
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def plot(problem, r, path):
    try:
        import matplotlib
    except ImportError:
        print("Matplotlib is not installed: no plot")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    nominal = nominal_spectrum(problem)
    means = band_mean(problem, r)
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.2))
    low, mid, high = np.percentile(r, [5, 50, 95], axis=0)
    left.fill_between(problem.wl, 100 * low, 100 * high, alpha=0.3, label="5 % to 95 % of the coatings made")
    left.plot(problem.wl, 100 * mid, label="median")
    left.plot(problem.wl, 100 * nominal, "k--", label="nominal design")
    left.axvspan(*DESIGN_BAND, color="0.9", zorder=0)
    left.set_xlabel("wavelength (nm)")
    left.set_ylabel("reflectance R (%)")
    left.set_ylim(0, 3)
    left.set_title("4-layer AR coating on BK7, unpolarised, normal incidence", fontsize=10)
    left.legend(fontsize=8)
    right.hist(100 * means, bins=60)
    right.axvline(100 * band_mean(problem, nominal[None, :])[0], color="k", ls="--", label="nominal")
    right.set_xlabel(f"mean R over {DESIGN_BAND[0]:.0f}-{DESIGN_BAND[1]:.0f} nm (%)")
    right.set_ylabel("coatings")
    right.set_title(f"{len(means)} coatings, thickness errors {100 * THICKNESS_ERROR:.0f} % (1 sigma)",
                    fontsize=10)
    right.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot written to {path}")


def parse_args(argv):
    cores = len(os.sched_getaffinity(0))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--stacks", type=int, default=20000, help="coatings to compute (default 20000)")
    parser.add_argument("--wavelengths", type=int, default=200, help="points per spectrum (default 200)")
    parser.add_argument("--chunk", type=int, default=250, help="stacks per task (default 250)")
    parser.add_argument("--workers", type=int, default=cores, help=f"processes (default: the {cores} cores)")
    parser.add_argument("--ways", default=",".join(WAYS), help="comma-separated subset of serial,pool,dask")
    parser.add_argument("--scheduler", help="address of an existing Dask scheduler (default: a LocalCluster)")
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--plot", default="design_sweep.png", help="PNG to write (default design_sweep.png)")
    parser.add_argument("--no-plot", action="store_true")
    args = parser.parse_args(argv)
    args.ways = [way for way in args.ways.split(",") if way]
    unknown = set(args.ways) - set(WAYS)
    if unknown or not args.ways:
        parser.error(f"--ways takes a comma-separated subset of {','.join(WAYS)}")
    return args


def start(way, problem, args):
    """Starts `way` and returns (label, run, stop): run() computes all the
    stacks and returns (r, t); stop() releases what was started."""
    if way == "serial":
        return "serial loop (1 process)", lambda: run_serial(problem, args.chunk), lambda: None
    if way == "pool":
        executor = start_pool(args.workers)
        return (f"process pool ({args.workers} processes)", lambda: run_pool(problem, args.chunk, executor),
                executor.shutdown)
    client, cluster = start_dask(args.workers, args.scheduler)
    workers = len(client.scheduler_info()["workers"])
    where = "scheduler " + args.scheduler if args.scheduler else "LocalCluster"

    def stop():
        client.close()
        if cluster is not None:
            cluster.close()

    return f"Dask, {where} ({workers} workers)", lambda: run_dask(problem, args.chunk, client), stop


def main(argv):
    args = parse_args(argv)
    problem = Problem(args.stacks, args.wavelengths, args.seed)
    tasks = len(problem.chunks(args.chunk))
    print(f"{args.stacks} coatings x {args.wavelengths} wavelengths, {tasks} tasks of up to {args.chunk} stacks")
    print(f"{'way':44s}{'start-up':>10s}{'compute':>10s}{'stacks/s':>12s}")

    results = {}
    for way in args.ways:
        started = time.perf_counter()
        label, run, stop = start(way, problem, args)
        ready = time.perf_counter()
        try:
            results[way] = run()
            done = time.perf_counter()
        finally:
            stop()
        start_up = f"{ready - started:.2f} s" if way != "serial" else "-"
        print(f"{label:44s}{start_up:>10s}{done - ready:>8.2f} s{args.stacks / (done - ready):>12,.0f}",
              flush=True)

    r, t = results[args.ways[0]]
    same = all(identical(r, other_r) and identical(t, other_t) for other_r, other_t in results.values())
    if len(results) > 1:
        print(f"R and T identical bit for bit across {', '.join(results)}: {'yes' if same else 'NO'}")

    means = band_mean(problem, r)
    nominal = band_mean(problem, nominal_spectrum(problem)[None, :])[0]
    p50, p95 = np.percentile(means, [50, 95])
    print(f"mean R over {DESIGN_BAND[0]:.0f}-{DESIGN_BAND[1]:.0f} nm: nominal {100 * nominal:.3f} %, "
          f"median {100 * p50:.3f} %, 95th percentile {100 * p95:.3f} %, "
          f"below 0.3 %: {100 * np.mean(means < 0.003):.1f} % of the coatings")
    if not args.no_plot:
        plot(problem, r, args.plot)
    return 0 if same else 1

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
