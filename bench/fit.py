"""A least-squares fit as a user runs one: the model inside scipy's loop.

Two thicknesses of a two-layer antireflection coating (MgF2 on TiO2, on BK7)
are fitted to a synthetic reflectance spectrum at N = 200 wavelengths with
scipy.optimize.least_squares from a fixed start. Each implementation's model
is its own whole call, R as a function of the two thicknesses; the fit counts
and times the model's calls, so that the fit's time splits into the model's
and scipy's own.

The synthetic target comes from the hand-fused NumPy code, which none of the
fitted models is, so every model starts from the same data.
"""

from __future__ import annotations

import time
from typing import Callable

import numpy as np

import peers
import stacks

POINTS = 200
TRUE_NM = (98.0, 64.0)     # MgF2, then TiO2
START_NM = (80.0, 80.0)

# The implementations fitted, in the order of the rows.
KEYS = ("quelva", "baseline", "tmm_faster")


def coating(points: int = POINTS) -> stacks.Stack:
    """The coating at its true thicknesses."""
    return stacks.two_layer_coating(points, *TRUE_NM)


def target(stack: stacks.Stack) -> np.ndarray:
    return peers.numpy_fused_rt(stack)[0]


def model(key: str, stack: stacks.Stack) -> Callable[[np.ndarray], np.ndarray]:
    """R of `stack` with the layers' thicknesses given, by implementation `key`.
    What does not depend on the thicknesses is prepared here, once, as a user
    would; the thicknesses enter each call the way the implementation takes them."""
    if key in ("quelva", "baseline"):
        module = peers.quelva if key == "quelva" else peers.quelva_base
        if module is None:
            raise RuntimeError("quelva is not importable" if key == "quelva"
                               else peers.BASELINE_NOTE)
        n, wl, theta, phi = stack.n, stack.wl, stack.theta, stack.phi

        def r_quelva(d):
            return module.DataPy(np.asarray(d, dtype=np.float64), n, wl, theta,
                                 phi).simulate().r
        return r_quelva
    if key != "tmm_faster":
        raise ValueError(f"no fit model for {key}")
    peer = peers.PEER[key]
    if not peer.available:
        raise RuntimeError(f"{peer.package} does not import: {peer.error}")
    prepared = peer.prepare(stack)

    def r_peer(d):
        return peer.run(peers.tmm_faster_with_thicknesses(prepared, d))[0]
    return r_peer


def one_fit(r_model: Callable, r_target: np.ndarray) -> dict:
    """One fit from START_NM: its thicknesses, the model's calls (those of the
    finite-difference Jacobian included), the fit's time and the model's share."""
    from scipy.optimize import least_squares

    calls = 0
    model_s = 0.0

    def residual(d):
        nonlocal calls, model_s
        t0 = time.perf_counter()
        r = r_model(d)
        model_s += time.perf_counter() - t0
        calls += 1
        return r - r_target

    t0 = time.perf_counter()
    res = least_squares(residual, np.array(START_NM))
    fit_s = time.perf_counter() - t0
    return {"d": [float(x) for x in res.x], "evaluations": calls, "fit_s": fit_s,
            "model_s": model_s, "status": int(res.status)}


def measure(fits: int, keys=KEYS) -> dict:
    """`fits` fits per implementation, interleaved (one of each per round), so
    that a slow spell of the machine hits all of them. Per key: the lists of
    each fit's figures, or {"error": text} for one that cannot run."""
    stack = coating()
    r_target = target(stack)
    models, out = {}, {}
    for key in keys:
        try:
            models[key] = model(key, stack)
            models[key](np.array(START_NM))       # first call: loads what it loads
        except Exception as exc:
            out[key] = {"error": f"{type(exc).__name__}: {exc}".splitlines()[0]}
    for key in models:
        out[key] = {"d": [], "evaluations": [], "fit_s": [], "model_s": []}
    for _ in range(fits):
        for key, r_model in models.items():
            one = one_fit(r_model, r_target)
            for name in out[key]:
                out[key][name].append(one[name])
    return out
