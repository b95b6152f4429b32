"""Writes the seed corpus of fuzz_engine into fuzz/corpus/ (run from anywhere).

Each seed is: a layout byte (media count in the low four bits, the storage
layout of n in bits 4-6, the request order in bit 7), the wavelength count as
a little-endian u16, a selector for the column count of n and one for the
length of d (bit 7 clear: within two of the fitting value, 2 = exact), two
stride/extra bytes, then the value stream: one selector byte per double into
the harness's table of interesting values, or 0xE0 followed by eight raw bytes.
"""
import math
import pathlib
import struct

TABLE = {
    1.0: 2, -1.0: 3, 1.5: 4, 2.0: 5, 0.5: 6, 0.1: 7, 500.0: 8, 100.0: 9,
    1e-3: 10, 633.0: 11, 3.0: 12, 0.25: 13, "pi/3": 14, "pi/2": 15, "nan": 16, "inf": 17,
    "-inf": 18, "denorm": 19, "min": 20, "max": 21, "-max": 22, 1e-300: 23, 1e300: 24,
    1e154: 25, -1e154: 26, "pi": 27, "sqrt2": 28, 4.0: 29, 1e8: 30, -2.5: 31,
}


def v(x):
    """The selector bytes of one value: a table entry or a raw double."""
    if isinstance(x, str):
        return bytes([TABLE[x]])
    if x == 0.0:
        return bytes([1 if math.copysign(1.0, x) < 0 else 0])
    if x in TABLE:
        return bytes([TABLE[x]])
    return b"\xe0" + struct.pack("<d", x)


def seed(rows, nwl, values, layout=0, t_first=False, cols_sel=2, nd_sel=2, stride=0, extra=0):
    head = bytes([rows | (layout << 4) | (0x80 if t_first else 0)])
    head += struct.pack("<H", nwl) + bytes([cols_sel, nd_sel, stride, extra])
    return head + b"".join(v(x) for x in values)


def stack(indices, d, wl, theta, phi):
    """The value stream of n (row-major order of the storage), d, wl, theta, phi."""
    out = []
    for re, im in indices:
        out += [re, im]
    return out + list(d) + list(wl) + [theta, phi]


REF = stack([(1.0, 0.0), (2.0, 0.1), (1.5, 0.0)], [100.0], [500.0], 0.5, 0.0)
SEEDS = {
    "reference": seed(3, 1, REF),
    "reference_t_first": seed(3, 1, REF, t_first=True),
    "reference_colmajor": seed(3, 1, REF, layout=1),
    "interface": seed(2, 1, stack([(1.0, 0.0), (1.5, 0.0)], [], [500.0], 0.0, 0.0)),
    "tir": seed(2, 1, stack([(1.5, 0.0), (1.0, 0.0)], [], [633.0], 1.0, "pi/2")),
    "no_wavelengths": seed(3, 0, REF),
    "one_row": seed(1, 4, [1.5, 0.0, 500.0]),
    "no_rows": seed(0, 3, [500.0]),
    "one_row_no_wl": seed(1, 0, [1.5]),
    "short_d": seed(4, 2, [2.0, 0.1, 100.0, 500.0], nd_sel=1),
    "long_d": seed(3, 2, [1.5, 0.0, 100.0, 633.0], nd_sel=4),
    "short_n": seed(3, 5, [1.5, 0.0, 100.0, 500.0], cols_sel=1),
    "wide_n": seed(3, 5, [1.5, 0.0, 100.0, 500.0], cols_sel=4),
    "seq_100": seed(3, 100, [1.5, 0.25, 100.0, 500.0, 633.0, 0.5]),
    "par_101": seed(3, 101, [1.5, 0.25, 100.0, 500.0, 633.0, 0.5]),
    "par_200_reversed": seed(5, 200, [2.0, 0.1, 1.5, 0.0, 100.0, 633.0], layout=2),
    "par_150_short_n": seed(3, 150, [2.0, 0.1, 500.0], cols_sel=1),
    "par_150_short_d": seed(5, 150, [2.0, 0.1, 500.0], nd_sel=0),
    "par_120_one_row": seed(1, 120, [1.5, 0.0]),
    "both_reversed": seed(4, 7, [1.5, 0.1, 2.0, 0.0, 100.0, 0.25, 500.0], layout=3),
    "broadcast": seed(3, 9, [1.5, 0.0, 100.0, 500.0], layout=4, extra=2),
    "padded": seed(3, 6, [1.5, 0.1, 100.0, 500.0], layout=5, extra=3),
    "strided_bad": seed(3, 4, [1.5, 0.0], layout=6, stride=0x05, extra=0x7F),
    "strided_neg": seed(2, 3, [1.5, 0.0, 500.0], layout=7, stride=0xFD, extra=0x01),
    "specials": seed(4, 6, ["nan", "inf", "-inf", -0.0, "denorm", "max", 0.0, "min"]),
    "zero_index": seed(3, 3, [0.0, 0.0, 100.0, 500.0, 0.0]),
    "zero_wavelength": seed(3, 3, [1.5, 0.0, 100.0, 0.0, 0.5, 0.0]),
    "huge_values": seed(3, 2, [1e300, 1e154, -1e154, 1e-300, 1e8, "pi"]),
    "raw_bits": seed(3, 3, [1.2345, -7.5e-12, 3.3e200, 1.0, 512.0, 0.77, 1.1]),
    "grazing": seed(2, 4, [1.0, 0.0, 1.5, 0.0, 500.0, "pi/2", "pi/3"]),
    "many_layers": seed(15, 12, [1.5, 0.02, 2.0, 0.0, 1.0, 100.0, 0.25, 633.0]),
}


def main():
    out = pathlib.Path(__file__).resolve().parent / "corpus"
    out.mkdir(exist_ok=True)
    for name, data in SEEDS.items():
        (out / f"seed_{name}").write_bytes(data)
    print(f"{len(SEEDS)} seeds in {out}")


if __name__ == "__main__":
    main()
