"""The Python copy of the reference operation order (reference_order.py, the
yardstick of the accuracy tests) against the golden matrices that the
engine's reference is checked against too (data/reference_matrices.txt):
bit for bit with glibc, whose C library functions wrote the file, to
rounding with another. The file's first stack is the film whose matrices
are tabulated to ten decimals; they are checked here as well, so that the
file itself rests on an independent value."""

import platform

import pytest

import reference_order
from make_reference_matrices import PATH

GLIBC = platform.libc_ver()[0] == "glibc"


def numbers(field):
    return [float.fromhex(word) for word in field.split()]


def records():
    for line in PATH.read_text(encoding="utf-8").splitlines():
        if line and not line.startswith("#"):
            angles, polarisation, d, indices, matrix = line.split(" | ")
            theta, lam = numbers(angles)
            parts = numbers(indices)
            media = [complex(re, im) for re, im in zip(parts[0::2], parts[1::2])]
            yield theta, lam, polarisation == "p", numbers(d), media, numbers(matrix)


RECORDS = list(records())


def test_the_file_holds_both_polarisations_of_six_stacks():
    assert len(RECORDS) == 12
    assert [record[2] for record in RECORDS] == [False, True] * 6


@pytest.mark.parametrize("record", RECORDS, ids=lambda r: f"L{len(r[4])}-{'p' if r[2] else 's'}")
def test_python_copy_gives_the_golden_matrices(record):
    theta, lam, p, d, media, expected = record
    m = reference_order.stack_matrix(d, media, lam, theta, p)
    got = [part for element in (m[0][0], m[1][0], m[0][1], m[1][1]) for part in element]
    if GLIBC:
        assert [x.hex() for x in got] == [x.hex() for x in expected]
    else:
        largest = max(abs(x) for x in expected)
        assert all(abs(g - e) <= 1e-14 * largest for g, e in zip(got, expected))


# The film N_0 = 1 | 2 + 0.1i, 100 | 1.5 at 500 and theta = 0.5, its matrices
# to ten decimals (M[0][0], M[1][0], M[0][1], M[1][1]).
TABULATED = {
    False: [-1.1292884809 - 1.0709729934j, 0.2613810766 + 0.5161212228j,
            0.2159152700 - 0.4642302532j, -0.8887028992 + 0.8515798847j],
    True: [-1.1142793352 - 1.0150455129j, -0.1751243873 - 0.3897249263j,
           -0.1486343122 + 0.3545263480j, -0.8730045155 + 0.7989908825j],
}


@pytest.mark.parametrize("p", [False, True], ids=["s", "p"])
def test_the_first_golden_stack_is_the_tabulated_film(p):
    theta, lam, polarisation, d, media, matrix = RECORDS[int(p)]
    assert (theta, lam, polarisation, d, media) == (0.5, 500.0, p, [100.0], [1, 2 + 0.1j, 1.5])
    golden = [complex(re, im) for re, im in zip(matrix[0::2], matrix[1::2])]
    assert all(abs(g - t) < 1e-10 for g, t in zip(golden, TABULATED[p]))
