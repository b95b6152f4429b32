"""Writes data/reference_matrices.txt, the golden stack matrices that pin the
engine's reference operation order (engine/src/reference.cpp, checked by the
engine's tests) and its Python copy (reference_order.py, checked by
test_reference_order.py) to each other.

Run it only when the reference operation order itself changes, on a machine
with glibc (whose sin, cos, exp, hypot and atan2 the values come from):

    python3.12 tests/make_reference_matrices.py

Each line: theta, wavelength, polarisation (s or p), the thicknesses, the
media (real and imaginary part of each index, incidence first), then M[0][0],
M[1][0], M[0][1], M[1][1] as real and imaginary parts: every number in
float.hex() form, fields separated by " | "."""

from pathlib import Path

import reference_order

# (media, d, wavelength, theta): the stacks a reader would check by hand
# (a film on glass, a quarter-wave coating, total internal reflection, a
# metal), a Bragg mirror, and an absorbing multilayer at a large angle.
STACKS = [
    ([1.0, 2.0 + 0.1j, 1.5], [100.0], 500.0, 0.5),
    ([1.0, 1.5 ** 0.5, 1.5], [550.0 / (4 * 1.5 ** 0.5)], 550.0, 0.0),
    ([1.5, 1.0], [], 600.0, 1.0),
    ([1.0, 0.13 + 3.2j, 1.52], [40.0], 633.0, 0.3),
    ([1.0] + [2.45, 1.46] * 5 + [1.52], [61.2, 102.7] * 5, 600.0, 0.2),
    ([1.0, 2.1 + 0.05j, 1.7 + 0.3j, 3.0 + 0.5j, 1.52], [80.0, 150.0, 40.0], 700.0, 1.2),
]

PATH = Path(__file__).resolve().parent / "data" / "reference_matrices.txt"


def hexes(values):
    return " ".join(float(v).hex() for v in values)


def lines():
    for media, d, lam, theta in STACKS:
        indices = [part for m in media for part in (complex(m).real, complex(m).imag)]
        for p in (False, True):
            m = reference_order.stack_matrix(d, media, lam, theta, p)
            elements = [m[0][0], m[1][0], m[0][1], m[1][1]]
            yield " | ".join([
                hexes([theta, lam]), "p" if p else "s", hexes(d), hexes(indices),
                hexes(part for element in elements for part in element),
            ])


def main():
    header = ("# Golden stack matrices of the reference operation order; written by "
              "tests/make_reference_matrices.py.\n")
    PATH.write_text(header + "\n".join(lines()) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
