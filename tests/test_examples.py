"""The examples: the materials against published indices and closed forms,
the thickness fit against its own uncertainty, the incoherent-substrate
formula against tmm's inc_tmm, the Dask path of the design sweep on a
LocalCluster against a plain loop, and every script run end to end at a small
size. Whatever starts processes or a cluster runs in a child interpreter
with a timeout, so that a hang fails the test instead of stopping CI."""

import importlib
import math
import re
import subprocess
import sys

import pytest

from conftest import REPO_ROOT, child_timeout, run_python

np = pytest.importorskip("numpy")

import quelva  # noqa: E402

EXAMPLES = REPO_ROOT / "examples"
CHILD_TIMEOUT = 300


def example(name):
    """The example module `name` (examples/ holds the modules it imports too)."""
    if str(EXAMPLES) not in sys.path:
        sys.path.insert(0, str(EXAMPLES))
    return importlib.import_module(name)


def run_example(script, *args, timeout=CHILD_TIMEOUT):
    """Runs examples/`script` with `args` as a user would, in its own interpreter."""
    return run_python(
        f"""
        import runpy, sys
        sys.argv = [{str(EXAMPLES / script)!r}] + {list(args)!r}
        sys.path.insert(0, {str(EXAMPLES)!r})
        try:
            runpy.run_path(sys.argv[0], run_name="__main__")
        except SystemExit as stop:
            sys.exit(stop.code)
        """,
        timeout=timeout,
    )


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


# ---------------------------------------------------------------------------
# Materials: published indices and the closed forms of the models

# Published refractive indices at the helium d line (587.56 nm), the F and C
# hydrogen lines (486.13, 656.27 nm) and the mercury e line (546.07 nm): Schott's
# N-BK7 data sheet, Malitson's fused silica, MgF2's ordinary ray.
PUBLISHED_INDICES = [
    ("bk7", 587.56, 1.5168),
    ("bk7", 486.13, 1.5224),
    ("bk7", 656.27, 1.5143),
    ("bk7", 546.07, 1.5187),
    ("fused_silica", 587.56, 1.4585),
    ("mgf2", 587.56, 1.3777),
]


@pytest.mark.parametrize("material, wavelength, published", PUBLISHED_INDICES)
def test_catalogue_materials_give_published_indices(material, wavelength, published):
    n = getattr(example("materials"), material)(np.array([wavelength]))
    assert n.dtype == np.complex128 and n.shape == (1,)
    assert n[0].imag == 0.0
    assert abs(n[0].real - published) < 0.6e-4


def test_bk7_abbe_number():
    """(n_d - 1) / (n_F - n_C) = 64.17 on Schott's data sheet."""
    n_d, n_f, n_c = example("materials").bk7(np.array([587.56, 486.13, 656.27])).real
    assert abs((n_d - 1.0) / (n_f - n_c) - 64.17) < 0.01


def test_cauchy_with_published_bk7_coefficients():
    """The textbook two-term Cauchy fit of BK7 (A = 1.5046, B = 0.00420 um^2)
    gives its n_d; the model is real and falls with the wavelength."""
    cauchy = example("materials").cauchy
    n = cauchy(np.array([587.56, 400.0, 700.0]), 1.5046, 0.00420)
    assert n.dtype == np.complex128 and np.all(n.imag == 0.0)
    assert abs(n[0].real - 1.5168) < 0.6e-4
    assert n[1].real > n[0].real > n[2].real


def test_sellmeier_closed_forms():
    sellmeier = example("materials").sellmeier
    wl = np.array([300.0, 600.0, 1500.0])
    # A term with its resonance at zero wavelength adds its strength to n^2.
    assert np.allclose(sellmeier(wl, (1.25,), (0.0,)), 1.5, rtol=1e-15)
    # One term at lambda = 2 * resonance: n^2 = 1 + B * 4 / 3.
    n = sellmeier(np.array([600.0]), (0.75,), (0.3**2,))
    assert abs(n[0] ** 2 - 2.0) < 1e-14
    with pytest.raises(ValueError):
        sellmeier(wl, (1.0, 0.5), (0.01,))


HC = 1239.841984  # eV nm


@pytest.mark.parametrize("energy, n_expected", [
    (10.0, 0.0),                       # at the plasma energy eps = 0
    (5.0, 1j * math.sqrt(3.0)),        # below it eps = 1 - 4: the wave decays
    (20.0, math.sqrt(0.75)),           # above it the metal is transparent
], ids=["plasma", "below", "above"])
def test_undamped_drude_metal(energy, n_expected):
    drude_lorentz = example("materials").drude_lorentz
    n = drude_lorentz(np.array([HC / energy]), eps_inf=1.0, plasma=10.0)
    assert abs(n[0] - n_expected) < 1e-7


def test_lorentz_oscillator_at_resonance_and_static_limit():
    """At its resonance E_0 an oscillator adds i f E_0 / g to eps; far below
    it, its strength f."""
    drude_lorentz = example("materials").drude_lorentz
    wl = np.array([HC / 3.0, 1e12])  # 1 km: Im eps = f g E / E_0^2, about 4e-11
    n = drude_lorentz(wl, eps_inf=2.0, oscillators=[(1.0, 3.0, 0.3)])
    assert abs(n[0] ** 2 - (2.0 + 10.0j)) < 1e-12
    assert n[0].imag > 0
    assert abs(n[1] ** 2 - 3.0) < 1e-9


def test_damped_media_absorb():
    """Positive dampings give Im n > 0 at every wavelength (no gain), the
    silver of the examples included."""
    materials = example("materials")
    wl = np.linspace(200.0, 2000.0, 301)
    n = materials.drude_lorentz(wl, eps_inf=3.0, plasma=9.0, damping=0.1,
                                oscillators=[(2.0, 4.0, 0.5), (0.5, 6.2, 1.0)])
    assert np.all(n.imag > 0)
    assert np.all(materials.silver(wl).imag > 0)


TABLE = ([400.0, 500.0, 700.0], [1.5, 1.7, 1.6], [0.0, 0.02, 0.01])


def test_tabulated_interpolates_linearly():
    tabulated = example("materials").tabulated
    n = tabulated(np.array([400.0, 450.0, 500.0, 650.0, 700.0]), *TABLE)
    assert n.dtype == np.complex128
    assert np.allclose(n, [1.5, 1.6 + 0.01j, 1.7 + 0.02j, 1.625 + 0.0125j, 1.6 + 0.01j], rtol=0, atol=1e-15)
    assert np.array_equal(tabulated(np.array([500.0]), *TABLE[:2]), [1.7 + 0.0j])


@pytest.mark.parametrize("wavelength", [399.9, 700.5, float("nan")], ids=["below", "above", "nan"])
def test_tabulated_refuses_extrapolation(wavelength):
    tabulated = example("materials").tabulated
    with pytest.raises(ValueError, match=r"is outside the table \(400 to 700 nm\): no extrapolation"):
        tabulated(np.array([450.0, wavelength]), *TABLE)


@pytest.mark.parametrize("table, message", [
    (([400.0, 700.0, 500.0], [1.5, 1.6, 1.7]), "must increase"),
    (([400.0], [1.5]), "at least two wavelengths"),
    (([400.0, 500.0], [1.5, 1.6, 1.7]), "one n"),
], ids=["unsorted", "one_row", "lengths"])
def test_tabulated_refuses_bad_tables(table, message):
    with pytest.raises(ValueError, match=message):
        example("materials").tabulated(np.array([450.0]), *table)


def test_material_rows_make_quelvas_n():
    """Rows of the helpers stack into the n quelva takes; a bare BK7 surface
    reflects ((n - 1) / (n + 1))^2 at normal incidence."""
    materials = example("materials")
    wl = np.array([450.0, 587.56, 800.0])
    n = np.array([materials.air(wl), materials.bk7(wl)])
    r = quelva.DataPy(np.array([]), n, wl, 0.0, 0.0).simulate().r
    n_glass = materials.bk7(wl).real
    assert np.allclose(r, ((n_glass - 1) / (n_glass + 1)) ** 2, rtol=1e-14, atol=0)


# ---------------------------------------------------------------------------
# The thickness fit


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_fit_recovers_the_thicknesses_within_its_uncertainty(seed):
    pytest.importorskip("scipy")
    fit = example("fit_thickness")
    coating = fit.Coating(np.linspace(400.0, 1000.0, 60))
    measured = fit.synthetic_measurement(coating, fit.TRUE_D, 0.002, seed)
    result = fit.fit_thicknesses(coating, measured, 0.002, fit.START_D)
    assert np.all(np.abs(fit.START_D - fit.TRUE_D) > 5.0)  # the fit has work to do
    assert np.all(np.abs(result.d - fit.TRUE_D) < 3.0 * result.sigma)
    assert np.all((result.sigma > 0.01) & (result.sigma < 0.5))
    assert 0.5 < result.reduced_chi2 < 2.0
    # Every spectrum counted: at least one step, each with a Jacobian of two.
    assert result.evaluations >= 3
    assert 0.0 < result.seconds_per_evaluation * result.evaluations <= result.seconds
    assert np.allclose(result.fitted, coating.reflectance(result.d), rtol=0, atol=0)


def test_fit_uncertainty_is_calibrated():
    """Over many noise draws about 68 % of the fits land within one stated
    sigma of the truth: an uncertainty off by a factor of 2 misses this range."""
    pytest.importorskip("scipy")
    fit = example("fit_thickness")
    coating = fit.Coating(np.linspace(400.0, 1000.0, 60))
    z = []
    for seed in range(100, 160):
        measured = fit.synthetic_measurement(coating, fit.TRUE_D, 0.002, seed)
        result = fit.fit_thicknesses(coating, measured, 0.002, fit.START_D)
        z.append(np.abs(result.d - fit.TRUE_D) / result.sigma)
    within = (np.array(z) < 1.0).mean(axis=0)
    assert np.all((within > 0.5) & (within < 0.85)), within


# ---------------------------------------------------------------------------
# Incoherent substrate against tmm


def tmm_coated_substrate(tmm, pol, front, substrate, thickness, back, lam, theta):
    """tmm's R and T at one wavelength of air | front | substrate | back | air.

    front and back are lists of (index, thickness), substrate the complex
    index. tmm puts the substrate's complex index into the Fresnel
    coefficients of its faces as well; the model under test keeps the faces
    lossless and lets kappa act over the thickness only, which differs at
    order kappa behind a coating. So an absorbing substrate is framed by two
    incoherent layers of its real index and no thickness: tmm's coatings then
    see the same lossless medium, and the two bare interfaces real | complex
    that this adds reflect only (kappa / 2n)^2, below 1e-11 for the kappas
    used here.
    """
    if substrate.imag == 0.0:
        middle = [(substrate, thickness)]
    else:
        middle = [(substrate.real, 0.0), (substrate, thickness), (substrate.real, 0.0)]
    n_list = [1.0] + [m for m, _ in front] + [m for m, _ in middle] + [m for m, _ in back] + [1.0]
    d_list = [math.inf] + [h for _, h in front] + [h for _, h in middle] + [h for _, h in back] + [math.inf]
    c_list = ["i"] + ["c"] * len(front) + ["i"] * len(middle) + ["c"] * len(back) + ["i"]
    out = tmm.inc_tmm(pol, np.array(n_list), np.array(d_list), c_list, theta, lam)
    return out["R"], out["T"]


def cauchy(a, b, kappa=0.0):
    """An index n = a + b / (lambda in um)^2 + i kappa, so that the angle in
    the substrate changes with the wavelength."""
    return lambda lam: a + b / (lam / 1000.0) ** 2 + 1j * kappa


# (front layers, substrate, thickness, back layers, wavelengths, theta); the
# layers as (index function, thickness in nm).
SUBSTRATE_CASES = {
    "bare lossless slab": ([], cauchy(1.5, 0.0), 1e6, [], [450.0, 633.0], 0.6),
    "coated both faces, absorbing glass": (
        [(cauchy(1.38, 0.003), 99.6)], cauchy(1.51, 0.005, 1e-6), 5e6,
        [(cauchy(2.3, 0.02), 60.0), (cauchy(1.46, 0.003), 94.0)], [420.0, 532.1, 780.0], 0.9),
    "absorbing film in front, wafer": (
        [(cauchy(2.0, 0.0, 0.4), 15.0), (cauchy(1.45, 0.0), 80.0)], cauchy(3.45, 0.12, 1e-5), 5e6,
        [], [950.0, 1100.0, 1300.0], 0.3),
    "opaque wafer": ([(cauchy(2.0, 0.0), 140.0)], cauchy(3.5, 0.0, 2e-5), 5e7,
                     [(cauchy(2.0, 0.0), 140.0)], [1000.0, 1200.0], 0.0),
}


@pytest.mark.parametrize("phi", [0.0, math.pi / 2, 0.7], ids=["s", "p", "mixed"])
@pytest.mark.parametrize("case", list(SUBSTRATE_CASES))
def test_incoherent_substrate_against_tmm(case, phi):
    tmm = pytest.importorskip("tmm")
    incoherent_substrate = example("incoherent_substrate").incoherent_substrate
    front, substrate, thickness, back, wavelengths, theta = SUBSTRATE_CASES[case]
    wl = np.array(wavelengths)

    def rows(layers):
        return [m(wl) * np.ones(wl.size) for m, _ in layers]

    front_n = np.array([np.ones(wl.size)] + rows(front) + [substrate(wl)], dtype=np.complex128)
    back_n = np.array([substrate(wl)] + rows(back) + [np.ones(wl.size)], dtype=np.complex128)
    r, t = incoherent_substrate(np.array([h for _, h in front]), front_n, thickness,
                                np.array([h for _, h in back]), back_n, wl, theta, phi)
    assert r.shape == t.shape == wl.shape

    for i, lam in enumerate(wl):
        at = [(complex(m(lam)), h) for m, h in front], complex(substrate(lam)), [(complex(m(lam)), h) for m, h in back]
        r_s, t_s = tmm_coated_substrate(tmm, "s", at[0], at[1], thickness, at[2], lam, theta)
        r_p, t_p = tmm_coated_substrate(tmm, "p", at[0], at[1], thickness, at[2], lam, theta)
        s_weight, p_weight = math.cos(phi) ** 2, math.sin(phi) ** 2
        assert abs(r[i] - (s_weight * r_s + p_weight * r_p)) < 1e-10
        assert abs(t[i] - (s_weight * t_s + p_weight * t_p)) < 1e-10


def test_opaque_wafer_reflects_like_its_front_face():
    """Behind an opaque substrate nothing comes back: R is the front coating's
    own coherent R on a semi-infinite substrate, T is 0 to the attenuation."""
    incoherent_substrate = example("incoherent_substrate").incoherent_substrate
    wl = np.array([1000.0, 1100.0])
    substrate = np.full(wl.size, 3.5 + 0.01j)  # 1/e length 8 um: 1 mm passes e^-125
    front_n = np.array([np.ones(2), np.full(2, 2.0), substrate])
    back_n = np.array([substrate, np.ones(2)])
    r, t = incoherent_substrate(np.array([140.0]), front_n, 1e6, np.array([]), back_n, wl, 0.4, 0.3)
    lossless = front_n.copy()
    lossless[-1] = lossless[-1].real
    r_face = quelva.DataPy(np.array([140.0]), lossless, wl, 0.4, 0.3).simulate().r
    assert np.allclose(r, r_face, rtol=0, atol=1e-15)
    assert np.all((t >= 0) & (t < 1e-50))


# ---------------------------------------------------------------------------
# The design sweep: Dask against a plain loop


def test_dask_local_cluster_matches_a_plain_loop(tmp_path):
    pytest.importorskip("distributed")
    design_sweep = example("design_sweep")
    stacks, wavelengths, seed = 300, 200, 11
    result = run_python(
        f"""
        import sys
        sys.path.insert(0, {str(EXAMPLES)!r})
        import numpy as np
        from dask.distributed import Client, LocalCluster
        import design_sweep

        problem = design_sweep.Problem({stacks}, {wavelengths}, {seed})
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            assert len(client.scheduler_info()["workers"]) == 2
            r, t = design_sweep.run_dask(problem, 64, client)
        np.save({str(tmp_path / "r.npy")!r}, r)
        np.save({str(tmp_path / "t.npy")!r}, t)
        print("cluster closed")
        """,
        env={"PYTHONPATH": str(EXAMPLES)},
        timeout=CHILD_TIMEOUT,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "cluster closed"
    assert "Traceback" not in result.stderr

    # The same stacks one by one, with quelva called directly.
    problem = design_sweep.Problem(stacks, wavelengths, seed)
    assert problem.d.shape == (stacks, 4)
    r_loop = np.array([quelva.DataPy(d.copy(), problem.n, problem.wl, problem.theta, problem.phi).simulate().r
                       for d in problem.d])
    t_loop = np.array([quelva.DataPy(d.copy(), problem.n, problem.wl, problem.theta, problem.phi).simulate().t
                       for d in problem.d])
    r, t = np.load(tmp_path / "r.npy"), np.load(tmp_path / "t.npy")
    assert r.shape == t.shape == (stacks, wavelengths)
    assert np.array_equal(bits(r), bits(r_loop))
    assert np.array_equal(bits(t), bits(t_loop))


def test_thickness_errors_are_those_of_the_seed():
    """Different seeds give different coatings around the nominal design; one
    seed always the same (the three ways compute the same stacks)."""
    design_sweep = example("design_sweep")
    a, b, c = (design_sweep.Problem(2000, 10, seed).d for seed in (1, 1, 2))
    assert np.array_equal(a, b) and not np.array_equal(a, c)
    relative = a / design_sweep.NOMINAL_D - 1.0
    assert abs(relative.mean()) < 0.003
    assert abs(relative.std() - design_sweep.THICKNESS_ERROR) < 0.003


# ---------------------------------------------------------------------------
# The scripts end to end


def plot_check(result, png):
    """Either the PNG was written, or the script said why not."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert "Matplotlib is not installed: no plot" in result.stdout
        assert not png.exists()
    else:
        assert f"plot written to {png}" in result.stdout
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_design_sweep_script(tmp_path):
    ways = "serial,pool,dask"
    try:
        import distributed  # noqa: F401
    except ImportError:
        ways = "serial,pool"
    png = tmp_path / "sweep.png"
    result = run_example("design_sweep.py", "--stacks", "240", "--chunk", "50", "--workers", "2",
                         "--ways", ways, "--plot", str(png))
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "240 coatings x 200 wavelengths, 5 tasks of up to 50 stacks"
    rates = [line for line in lines if re.search(r"\d s +[\d,]+$", line)]
    assert len(rates) == len(ways.split(","))
    assert f"R and T identical bit for bit across {ways.replace(',', ', ')}: yes" in lines
    assert any(line.startswith("mean R over 420-680 nm: nominal 0.25") for line in lines)
    plot_check(result, png)


def test_design_sweep_refuses_unknown_ways():
    result = run_example("design_sweep.py", "--ways", "serial,threads", "--no-plot")
    assert result.returncode == 2
    assert "--ways takes a comma-separated subset of serial,pool,dask" in result.stderr


def test_incoherent_substrate_script(tmp_path):
    png = tmp_path / "substrate.png"
    result = run_example("incoherent_substrate.py", "--points", "8000", "--plot", str(png))
    assert result.returncode == 0, result.stdout + result.stderr
    differences = [tuple(float(x) for x in found)
                   for found in re.findall(r"\|dR\| (\S+), \|dT\| (\S+)", result.stdout)]
    # Two cases; the coherent spectrum's average follows the incoherent one.
    assert len(differences) == 2
    assert all(max(pair) < 0.01 for pair in differences)
    plot_check(result, png)


EXAMPLE_SCRIPTS = sorted(path.name for path in EXAMPLES.glob("*.py"))


def run_script_elsewhere(script, *args, cwd):
    """Runs examples/`script` by its path from the directory `cwd`, as
    `python /path/to/examples/script ...` run from anywhere would."""
    try:
        return subprocess.run([sys.executable, str(EXAMPLES / script), *args], capture_output=True,
                              text=True, cwd=cwd, timeout=child_timeout(CHILD_TIMEOUT))
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"hung for {child_timeout(CHILD_TIMEOUT):g} s; output so far: {exc.stdout!r} {exc.stderr!r}")


@pytest.mark.parametrize("script", EXAMPLE_SCRIPTS)
def test_every_example_explains_itself_from_any_directory(script, tmp_path):
    assert {"materials.py", "spectra.py", "design_sweep.py"} <= set(EXAMPLE_SCRIPTS)
    result = run_script_elsewhere(script, "--help", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("usage: ")
    assert list(tmp_path.iterdir()) == []  # --help writes nothing


def test_materials_script(tmp_path):
    result = run_script_elsewhere("materials.py", "--wavelengths", "587.56,1100", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    rows = {line[:14].strip(): line[14:] for line in result.stdout.splitlines()[1:]}
    assert rows["BK7"].split()[0] == "1.5168"
    assert "wavelength 1100 nm is outside the table (400 to 1000 nm): no extrapolation" in rows["silicon"]


def column_ends(line, pattern):
    return [match.end() for match in re.finditer(pattern, line)]


def test_spectra_script(tmp_path):
    png = tmp_path / "spectra.png"
    result = run_script_elsewhere("spectra.py", str(png), "--points", "53", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("R and T as fractions of the incident power; normal incidence unless stated")
    assert "semi-infinite" in lines[1]
    wavelengths, headings, rows = lines[2], lines[3], lines[4:10]
    assert wavelengths.split()[1:] == ["450", "nm", "550", "nm", "650", "nm", "800", "nm"]
    # Every number ends under the letter R or T of its column; each wavelength
    # heading over its T column.
    letter_ends = column_ends(headings, r"\b[RT]\b")
    assert len(letter_ends) == 8 and headings.split()[0] == "stack"
    assert column_ends(wavelengths, r"nm") == letter_ends[1::2]
    for row in rows[:-1]:
        assert column_ends(row, r"-?\d\.\d{4}") == letter_ends, row
    assert rows[-1].strip().startswith("silver: absorbed A = 1 - R - T")
    assert column_ends(rows[-1], r"-?\d\.\d{4}") == letter_ends[0::2]
    # The bare glass against Fresnel's formula, at the BK7 of the materials.
    bk7 = example("materials").bk7(np.array([450.0, 550.0, 650.0, 800.0])).real
    fresnel = ((bk7 - 1) / (bk7 + 1)) ** 2
    assert rows[0].startswith("bare BK7 glass")
    assert rows[0].split()[3:] == [f"{x:.4f}" for pair in zip(fresnel, 1 - fresnel) for x in pair]
    plot_check(result, png)


def test_fit_script(tmp_path):
    pytest.importorskip("scipy")
    png = tmp_path / "fit.png"
    result = run_script_elsewhere("fit_thickness.py", "--points", "60", "--seed", "4", "--plot", str(png),
                                  cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    found = re.findall(r"^(SiO2|Si3N4) +([\d.]+) +[\d.]+ +([\d.]+) ± +([\d.]+)$", result.stdout, re.M)
    assert [name for name, *_ in found] == ["SiO2", "Si3N4"]
    for _, true, fitted, sigma in found:
        assert abs(float(fitted) - float(true)) < 3 * float(sigma)
    assert re.search(r"^\d+ spectra computed \(the Jacobian's included\), \d+ µs each; the whole fit [\d.]+ ms$",
                     result.stdout, re.M)
    plot_check(result, png)


def test_fit_script_refuses_bad_arguments(tmp_path):
    result = run_script_elsewhere("fit_thickness.py", "--noise", "0", "--no-plot", cwd=tmp_path)
    assert result.returncode == 2
    assert "--points must be at least 3 and --noise positive" in result.stderr
