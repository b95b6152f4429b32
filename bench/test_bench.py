"""Tests of the benchmark's peers and of how it reports them.

They run in the benchmark's venv, where the peer packages are installed:

    .venv/bench/bin/python -m pytest -q bench/test_bench.py

Each peer must reproduce quelva's R and T to rounding on small stacks that
exercise what its adapter converts (the angle's unit, which polarisation comes
first, the s/p weighting, the sign of Im n). A peer whose package is missing is
skipped here; the benchmark itself reports it as unavailable.
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import shutil
import sys
import sysconfig
import warnings
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import baseline  # noqa: E402
import fit  # noqa: E402
import peers  # noqa: E402
import run  # noqa: E402
import stacks  # noqa: E402

quelva = pytest.importorskip("quelva")

PHIS = (0.0, math.pi / 2, 0.6)   # pure s, pure p, mixed

# PyMoosh sets array shapes in place, which NumPy 2.5 deprecates; not ours to fix.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


def peer_or_skip(key: str) -> peers.Peer:
    peer = peers.PEER[key]
    if not peer.available:
        pytest.skip(f"{peer.package} unavailable: {peer.error}")
    return peer


def small_stacks(phi: float) -> dict:
    return {
        "absorbing film at 0.3 rad": dataclasses.replace(stacks.film_on_glass(7), phi=phi),
        "mirror at 45°": stacks.bragg_mirror(9, pairs=3, theta=math.pi / 4, phi=phi),
        "frustrated TIR": stacks.frustrated_tir(6, phi),
    }


@pytest.mark.parametrize("phi", PHIS)
@pytest.mark.parametrize("key", [p.key for p in peers.PEERS])
def test_peer_agrees_with_quelva_on_lossless_exit(key, phi):
    peer = peer_or_skip(key)
    for label, st in small_stacks(phi).items():
        r_q, t_q = peers.quelva_rt(st)
        r, t = peer.rt(st)
        assert r.shape == r_q.shape == (st.points,), label
        np.testing.assert_allclose(r, r_q, rtol=0, atol=1e-12, err_msg=label)
        np.testing.assert_allclose(t, t_q, rtol=0, atol=1e-12, err_msg=label)


# Into an absorbing exit medium the p transmittance of PyMoosh (like tmm) is the
# Poynting flux; tmm-faster and pyElli report quelva's quantity.
P_CONVENTION = {"tmm_faster": "as quelva", "pyelli": "as quelva", "pymoosh": "Poynting"}


@pytest.mark.parametrize("key", [p.key for p in peers.PEERS])
def test_p_transmittance_into_absorbing_exit(key):
    peer = peer_or_skip(key)
    st = stacks.absorbing_exit(8, math.pi / 2)
    _, t_q = peers.quelva_rt(st)
    _, t = peer.rt(st)
    text = run.p_convention(t, t_q, t_q * run.poynting_p_factor(st))
    assert P_CONVENTION[key] in text, text


def test_poynting_factor_turns_quelva_into_tmm():
    st = stacks.absorbing_exit(8, math.pi / 2)
    _, t_q = peers.quelva_rt(st)
    _, t_tmm = peers.tmm_rt(st)
    assert np.max(np.abs(t_q - t_tmm)) > 1e-3       # the conventions do differ here
    np.testing.assert_allclose(t_q * run.poynting_p_factor(st), t_tmm, rtol=0, atol=1e-13)


@pytest.mark.parametrize("key", [p.key for p in peers.PEERS])
def test_index_sign_is_found_from_an_absorbing_film(key):
    peer = peer_or_skip(key)
    film = stacks.film_on_glass(5)
    gain = dataclasses.replace(film, n=np.conj(film.n))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")      # pyElli warns of the gain medium
        text = run.index_convention(peer.rt(film)[0], peer.rt(gain)[0],
                                    peers.quelva_rt(film)[0])
    assert text == "Im n > 0 absorbs, as quelva"
    # Fed the conjugated index as if it were the stack, the check names the other sign.
    text = run.index_convention(peers.quelva_rt(gain)[0], peers.quelva_rt(film)[0],
                                peers.quelva_rt(film)[0])
    assert text == "Im n < 0 absorbs: give it conj(n)"


def test_pymoosh_leaves_the_callers_wavelengths_alone():
    peer = peer_or_skip("pymoosh")
    st = stacks.film_on_glass(6)
    prepared = peer.prepare(st)
    for _ in range(2):
        peer.run(prepared)
    assert prepared[1].shape == (6,) and st.wl.shape == (6,)


def test_one_wavelength_runs_everywhere():
    st = stacks.workload("W1")
    r_q, t_q = peers.quelva_rt(st)
    for peer in peers.PEERS:
        if peer.available:
            r, t = peer.rt(st)
            np.testing.assert_allclose([r[0], t[0]], [r_q[0], t_q[0]], rtol=0, atol=1e-14)


def test_distinct_media_shares_equal_rows():
    st = stacks.chirped_mirror(5)
    rows, which = peers._distinct_media(st.n)
    assert len(which) == st.layers == 102
    assert len(rows) == 5      # air, TiO2, SiO2, silver, BK7
    for j, k in enumerate(which):
        np.testing.assert_array_equal(rows[k], st.n[j])


def test_missing_package_is_unavailable_not_fatal():
    ghost = dataclasses.replace(peers.PEER["tmm_faster"], key="ghost",
                                module="no_such_module_for_the_benchmark")
    assert not ghost.available
    assert ghost.error.startswith("ModuleNotFoundError")


def test_a_peer_that_raises_is_reported_and_the_others_still_timed(monkeypatch):
    peer = peer_or_skip("tmm_faster")

    def refuse(_prepared):
        raise ValueError("no oblique incidence")
    monkeypatch.setattr(peer, "run", refuse)
    st = stacks.film_on_glass(4)
    fns = run.impl_fns(st, ("quelva", "numpy", "tmm_faster"))
    res = run.measure(fns, run.Settings(quick=True), rounds=3)
    assert res["tmm_faster"] == {"error": "ValueError: no oblique incidence"}
    assert res["quelva"]["rounds"] >= 3 and res["numpy"]["time"] > 0
    ag = run.agreement(fns, peers.quelva_rt(st), ("numpy", "tmm_faster"))
    assert ag["tmm_faster"] == "ValueError: no oblique incidence"
    assert run.diff_pair(ag["tmm_faster"]).startswith("cannot run: ValueError")
    assert max(ag["numpy"]) < 1e-14


def test_quelva_and_its_baseline_take_turns_to_run_first():
    calls = []
    fns = {key: (lambda key=key: calls.append(key)) for key in ("quelva", "baseline", "numpy")}
    cfg = run.Settings(quick=True)
    cfg.sample = 0.0  # one call per sample
    result = run.measure(fns, cfg, rounds=4)
    assert all(result[key]["rounds"] == 4 for key in fns)
    timed = calls[3:]  # after one calibration call each
    rounds = [timed[k:k + 3] for k in range(0, len(timed), 3)]
    assert rounds == [["quelva", "baseline", "numpy"], ["baseline", "quelva", "numpy"]] * 2


@pytest.mark.parametrize("pool_us, status", [(18.0, "met"), (22.5, "MISSED")])
def test_handoff_is_checked_against_its_target(pool_us, status):
    targets = []
    table = run.handoff_table({("quelva", 100): 10e-6, ("quelva", 101): pool_us * 1e-6,
                               ("baseline", 100): 14e-6, ("baseline", 101): 90e-6}, targets)
    quelva_row, baseline_row = table.rows
    assert quelva_row[3] == f"+{run.fmt_time((pool_us - 10.0) * 1e-6)}"
    assert quelva_row[5] == status
    assert baseline_row[3] == "+76 µs" and baseline_row[5] == ""
    assert [(ok and "met") or "MISSED" for _, _, ok in targets] == [status]


def test_handoff_without_a_baseline_says_so():
    table = run.handoff_table({("quelva", 100): 1e-5, ("quelva", 101): 2e-5}, [])
    assert table.rows[1][:2] == [run.LABEL["baseline"], "unavailable"]


def test_w5_is_the_w3_mirror_at_45_degrees_unpolarised():
    w3, w5 = stacks.workload("W3"), stacks.workload("W5")
    np.testing.assert_array_equal(w3.n, w5.n)
    np.testing.assert_array_equal(w3.d, w5.d)
    assert (w5.theta, w5.phi) == (math.pi / 4, math.pi / 4)


@pytest.mark.parametrize("name, key, threads, expected", [
    ("W4", "tmm_faster", 1, run.T_FASTER_W4),
    ("W4", "fused", 1, run.T_FASTER_W4),
    ("W3", "tmm_faster", 1, run.T_FASTER),
    ("W5", "tmm_faster", 1, run.T_FASTER),
    ("W2", "tmm_faster", 1, run.T_FASTER),
    ("W1", "tmm_faster", 1, None),
    ("W4", "tmm_faster", 2, None),
    ("W4", "numpy", 2, run.T_NUMPY_2),
    ("W5", "numpy", 1, None),
    ("W4", "pymoosh", 1, None),
    ("W1", "baseline", 1, 1 / 0.75),
    ("W2", "baseline", 1, 1 / 0.6),
    ("W3", "baseline", 1, 1 / 0.6),
    ("W4", "baseline", 1, 1 / 0.7),
    ("W5", "baseline", 1, None),
    ("W4", "baseline", 2, None),
])
def test_targets(name, key, threads, expected):
    assert run.target_for(name, key, threads) == expected


# W4's targets, as (implementation label, target) at each thread count.
W4_TARGETS = {1: [("tmm-faster (C++, OpenMP)", run.T_FASTER_W4),
                  ("NumPy: (N,2,2) matmul per layer", run.T_NUMPY_1),
                  ("NumPy fused by hand (s+p together)", run.T_FASTER_W4)],
              2: [("NumPy: (N,2,2) matmul per layer", run.T_NUMPY_2)]}


@pytest.mark.parametrize("threads", (1, 2))
@pytest.mark.parametrize("speedup", (1.25, 2.0, 4.5, 8.0))   # 4.5 and 8: on a target
def test_peer_rows_check_each_target_once(threads, speedup):
    peer_or_skip("tmm_faster")
    quelva_seconds = 0.5   # a power of two: the ratios are exact
    times = {key: quelva_seconds * speedup for key in run.ROW_ORDER[1:]}
    bench = run.Run(args=None, cfg=None, have_q=True, calls_bin=None, calls_err="",
                    started=0.0)
    table = run.workloads_table()
    run.add_peer_rows(bench, table, "W4", threads, times, {"pymoosh": "ValueError: no"}, {},
                      quelva_seconds, 1000)
    rows = {row[3]: row for row in table.rows}
    # The baseline, where it was built, comes first: quelva's time at most 0.7x its own.
    own = threads == 1 and not run.unavailable("baseline")
    targets = ([(baseline.LABEL, 1 / 0.7)] if own else []) + W4_TARGETS[threads]
    expected_ok = [(label, speedup >= target) for label, target in targets]
    assert [(label, rows[label][10]) for label, _ in expected_ok] == \
        [(label, "met" if ok else "MISSED") for label, ok in expected_ok]
    assert [ok for _, _, ok in bench.targets] == [ok for _, ok in expected_ok]
    texts = [text for _, text, _ in bench.targets]
    assert texts == ([f"{1 / speedup:.2f}x its time"] if own else []) + \
        [f"{speedup:g}x"] * len(W4_TARGETS[threads])
    if own:
        assert rows[baseline.LABEL][9] == "<= 0.7x its time"
    # pyElli and PyMoosh run on one thread: no rows of theirs at 2 threads.
    assert ("pyElli Solver2x2" in rows) == (threads == 1 and peers.PEER["pyelli"].available)
    if threads == 1 and peers.PEER["pymoosh"].available:
        assert rows["PyMoosh vectorised, S matrices"][4] == "cannot run this stack: ValueError: no"
    assert "pymoosh" not in bench.summary[("W4", threads)]
    assert bench.summary[("W4", threads)]["quelva"] == quelva_seconds


def test_report_leaves_out_empty_tables_and_prints_warnings():
    empty = run.Table("Nothing measured", ["a"])
    full = run.Table("Measured", ["a"])
    full.add("1")
    text = run.report(["head"], ["tmm differs"], [None, empty, full], ["Notes:"], False)
    assert "Measured" in text and "Nothing measured" not in text
    assert text.startswith("head\n\nWARNING: tmm differs\n\nMeasured\n")


# ---------------------------------------------------------------------------
# The baseline: an earlier build of quelva loaded beside the current one

def baseline_or_skip():
    if peers.quelva_base is None:
        pytest.skip(f"no baseline in this run: {peers.BASELINE_NOTE}")
    return peers.quelva_base


def test_baseline_is_a_second_module_beside_the_current_one():
    base = baseline_or_skip()
    import quelva as found_by_import
    assert found_by_import is quelva and sys.modules["quelva"] is quelva
    assert base is not quelva and base.DataPy is not quelva.DataPy
    built = Path(baseline.os.environ[baseline.DIR_VARIABLE]).resolve()
    assert Path(base.__file__).resolve().parent == built
    assert Path(quelva.__file__).resolve().parent != built


@pytest.mark.parametrize("phi", PHIS)
def test_baseline_agrees_with_quelva_to_rounding(phi):
    baseline_or_skip()
    # 150 wavelengths: the pools of both modules compute it, beside each other.
    for label, st in {**small_stacks(phi), "mirror on the pool": dataclasses.replace(
            stacks.bragg_mirror(150), phi=phi)}.items():
        r_q, t_q = peers.quelva_rt(st)
        r_b, t_b = peers.baseline_rt(st)
        assert r_b.shape == (st.points,), label
        np.testing.assert_allclose(r_b, r_q, rtol=0, atol=1e-13, err_msg=label)
        np.testing.assert_allclose(t_b, t_q, rtol=0, atol=1e-13, err_msg=label)


def test_loader_gives_a_module_of_its_own_from_a_copy_of_the_current_build(tmp_path):
    # Needs no build of the baseline: a copy of the current module under another
    # path is loaded as the baseline would be.
    shutil.copy(quelva.__file__, tmp_path)
    copy, note = baseline.load(tmp_path)
    assert note == "" and copy is not None
    assert copy is not quelva and copy.DataPy is not quelva.DataPy
    assert sys.modules["quelva"] is quelva
    assert baseline.load(tmp_path)[0] is copy        # loaded once per file
    st = stacks.bragg_mirror(9, pairs=3, theta=math.pi / 4, phi=0.6)
    for got, want in zip(peers.quelva_rt(st, copy), peers.quelva_rt(st)):
        np.testing.assert_array_equal(got, want)
    assert not isinstance(quelva.DataPy(st.d, st.n, st.wl, 0.0, 0.0), copy.DataPy)


def test_missing_or_broken_baseline_is_a_note(tmp_path, monkeypatch):
    module, note = baseline.load(tmp_path)
    assert module is None and note.startswith("no quelva") and str(tmp_path) in note
    (tmp_path / ("quelva" + sysconfig.get_config_var("EXT_SUFFIX"))).write_bytes(b"not ELF")
    module, note = baseline.load(tmp_path)
    assert module is None and "does not load: ImportError" in note
    assert sys.modules["quelva"] is quelva
    monkeypatch.delenv(baseline.DIR_VARIABLE, raising=False)
    monkeypatch.delenv(baseline.SKIPPED_VARIABLE, raising=False)
    assert baseline.from_environment() == (
        None, "QUELVA_BENCH_BASELINE is not set (scripts/bench.sh builds the baseline and "
              "sets it)")
    monkeypatch.setenv(baseline.DIR_VARIABLE, str(tmp_path))
    monkeypatch.setenv(baseline.SKIPPED_VARIABLE, "the git history lacks commit 8a39e86")
    assert baseline.from_environment() == (None, "the git history lacks commit 8a39e86")


def test_a_run_without_the_baseline_says_so_and_goes_on(monkeypatch):
    monkeypatch.setattr(peers, "quelva_base", None)
    monkeypatch.setattr(peers, "BASELINE_NOTE", "the git history lacks commit 8a39e86")
    bench = run.Run(args=argparse.Namespace(quick=True), cfg=run.Settings(quick=True),
                    have_q=True, calls_bin=Path("reference_calls"), calls_err="", started=0.0)
    assert (f"The baseline row ({baseline.LABEL}) is skipped: the git history lacks commit "
            "8a39e86") in run.header_lines(bench)
    st = stacks.film_on_glass(4)
    fns = run.impl_fns(st, run.ROW_ORDER)
    assert "baseline" not in fns and "quelva" in fns
    table = run.workloads_table()
    run.add_peer_rows(bench, table, "W2", 1, {"numpy": 1.0, "fused": 1.0}, {}, {}, 0.5, 4)
    assert table.rows[0][3:5] == [baseline.LABEL, "unavailable"]
    res = fit.measure(1, keys=("quelva", "baseline"))
    assert res["baseline"] == {"error": "RuntimeError: the git history lacks commit 8a39e86"}
    rows = {row[0]: row for row in run.fit_table(res).rows}
    assert rows[baseline.LABEL][1] == ("unavailable: RuntimeError: the git history lacks "
                                       "commit 8a39e86")
    assert rows["quelva"][1] == "1"


def test_baseline_row_comes_right_after_quelva_with_its_ratio(monkeypatch):
    monkeypatch.setattr(peers, "quelva_base", quelva)   # any loaded module will do
    bench = run.Run(args=None, cfg=None, have_q=True, calls_bin=None, calls_err="",
                    started=0.0)
    table = run.workloads_table()
    times = {key: 1.5 for key in run.ROW_ORDER[1:]}
    run.add_peer_rows(bench, table, "W3", 2, times, {}, {"baseline": [0.0, 2.5e-16]}, 0.5, 10)
    assert table.rows[0][3:9] == [baseline.LABEL, "1.5 s", "150 ms", "3x", "0", "2.5e-16"]
    assert bench.summary[("W3", 2)]["baseline"] == 1.5


# ---------------------------------------------------------------------------
# The reference order's C-library calls (bench/reference_calls.cpp)

# Media through the polar square root, known from the indices: N^2 - beta^2 is
# real exactly when N and beta are real (beta = sin(theta) N_0).
@pytest.mark.parametrize("indices, theta, polar", [
    ((1.0, 1.5, 1.46), 0.3, 0),                         # lossless: the one-sqrt branch
    ((1.0, 2.0 + 0.1j, 1.5, 1.46 + 1e-3j), 0.3, 2),     # the two absorbing media
    ((1.5 + 1e-4j, 1.5, 1.46), 0.3, 3),                 # a complex beta reaches every medium
])
def test_reference_calls_run_on_the_stack_they_are_given(indices, theta, polar):
    binary, err = run.find_reference_calls(run.DEFAULT_REFERENCE_CALLS)
    assert binary is not None, err
    points = 4
    st = stacks.Stack("test", np.full(len(indices) - 2, 100.0),
                      np.outer(np.array(indices, dtype=complex), np.ones(points)),
                      np.linspace(500.0, 700.0, points), theta, 0.0)
    out = run.run_reference_calls(binary, st, 0.0)
    assert (out["media"], out["points"], out["general_media"]) == \
        (len(indices), points, polar * points)
    assert run.general_media(st) == polar
    for variant in ("all", "branch"):
        assert out[variant]["repeats"] >= 3 and run.calls_time(out, variant) > 0
    assert math.isfinite(out["check"])


def test_reference_calls_rows_give_quelvas_speed_up_and_no_target():
    st = stacks.bragg_mirror(4)
    table = run.workloads_table()
    run.add_reference_calls_rows(table, st, 2.0, 1.5, 0.5, 4 * st.layers)
    label = "the reference order's C-library calls"
    assert [row[3:] for row in table.rows] == [
        [f"{label}, all media polar", "2 s", "22.7 ms", "4x", "", "", "", ""],
        [f"{label}, as this stack needs ({run.general_media(st)} of {st.layers} media polar)",
         "1.5 s", "17 ms", "3x", "", "", "", ""]]


# ---------------------------------------------------------------------------
# The least-squares fit

@pytest.mark.parametrize("key", fit.KEYS)
def test_fit_model_takes_both_thicknesses_in_order(key):
    if key == "baseline":
        baseline_or_skip()
    if key in peers.PEER:
        peer_or_skip(key)
    st = fit.coating()
    r_model = fit.model(key, st)
    r_target = peers.quelva_rt(st)[0]
    np.testing.assert_allclose(r_model(np.array(fit.TRUE_NM)), r_target, rtol=0, atol=1e-13)
    # The thicknesses swapped: another coating, another spectrum.
    assert np.max(np.abs(r_model(np.array(fit.TRUE_NM[::-1])) - r_target)) > 1e-3


def test_fit_table_has_a_row_per_implementation_and_the_fits_converge():
    res = fit.measure(2)
    table = run.fit_table(res)
    assert [row[0] for row in table.rows] == [run.LABEL[key] for key in fit.KEYS]
    for key in fit.KEYS:
        r = res[key]
        if "error" in r:
            assert key != "quelva", r
            continue
        assert len(r["fit_s"]) == 2 and all(e > 3 for e in r["evaluations"])
        assert all(0 < m < f for m, f in zip(r["model_s"], r["fit_s"]))
        np.testing.assert_allclose(r["d"], [fit.TRUE_NM] * 2, rtol=0, atol=1e-6)
    quelva_row = table.rows[0]
    assert quelva_row[1] == "2" and quelva_row[7] == "98 / 64"
