#!/usr/bin/env bash
# The musllinux_1_2_armv7l wheel of the module for CPython 3.13: compiled on
# the host with zig's clang for arm-linux-musleabihf against CPython's and
# NumPy's headers from the Debian trixie armhf root (see scripts/arm.sh),
# packed into dist/ and checked by auditwheel in that root, where Debian's
# musl package supplies the musl loader auditwheel asks for its version.
# No CPython for musl on armhf can be had here, so the wheel is built and
# checked but not imported.
#
#   bash scripts/wheel-armv7-musl.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_build_tools
ensure_apt patchelf
ensure_binfmt_arm
ensure_zig build/musl/zig-wrappers
root=build/armhf-root
ensure_armhf_root "$root"
ensure_root_auditwheel "$root"

out=build/musl/wheel
tools=.venv/arm-tools
# FindPython asks an interpreter of the same version for NumPy's version; the
# headers themselves are the root's.
"$tools/bin/python" -c "import numpy" 2>/dev/null || "$tools/bin/python" -m pip install -q "numpy>=2"

# Debian's armhf pyconfig.h includes <arm-linux-gnueabihf/python3.13/pyconfig.h>;
# only that folder of the root's /usr/include is put on the search path (the
# rest is glibc's and must not shadow musl's headers). Both C libraries give
# the same sizes and alignments on armhf, which is what the header records.
pyconfig=$PWD/$out/pyconfig
mkdir -p "$pyconfig/arm-linux-gnueabihf"
ln -sfn "$PWD/$root/usr/include/arm-linux-gnueabihf/python3.13" "$pyconfig/arm-linux-gnueabihf/python3.13"

stage "musl wheel: the module for arm-linux-musleabihf"
cmake -S . -B "$out/build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/arm-linux-musleabihf-zig.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DQUELVA_BUILD_MODULE=ON -DQUELVA_WERROR=ON \
    -DPython_EXECUTABLE="$PWD/$tools/bin/python" \
    -DPython_INCLUDE_DIR="$PWD/$root/usr/include/python3.13" \
    -DPython_NumPy_INCLUDE_DIR="$PWD/$root/usr/lib/python3/dist-packages/numpy/_core/include" \
    -DCMAKE_CXX_FLAGS="-idirafter $pyconfig" -DCMAKE_MODULE_LINKER_FLAGS=-s >/dev/null
cmake --build "$out/build" -j"$(build_jobs)"
rm -rf "$out/stage"
cmake --install "$out/build" --prefix "$PWD/$out/stage" >/dev/null

# FindPython knows no SOABI when cross-compiling: the file gets the name that
# CPython on musl armhf imports, and musl's name for its C library (zig links
# against a generic libc.so).
module=$out/stage/quelva.cpython-313-arm-linux-musleabihf.so
mv "$out/stage/quelva.so" "$module"
patchelf --replace-needed libc.so libc.musl-armv7.so.1 "$module"
readelf -d "$module" | grep NEEDED

stage "musl wheel: packing"
"$tools/bin/python" - "$out/stage" <<'PY'
"""Writes the dist-info of the wheel from pyproject.toml's [project] table."""
import sys, tomllib
from pathlib import Path

stage = Path(sys.argv[1])
project = tomllib.loads(Path("pyproject.toml").read_text())["project"]
info = stage / f"{project['name']}-{project['version']}.dist-info"
info.mkdir()
lines = [
    "Metadata-Version: 2.4",
    f"Name: {project['name']}",
    f"Version: {project['version']}",
    f"Summary: {project['description']}",
    f"Author: {', '.join(a['name'] for a in project['authors'])}",
    f"License-Expression: {project['license']}",
    f"Requires-Python: {project['requires-python']}",
]
lines += [f"License-File: {name}" for name in project["license-files"]]
(info / "licenses").mkdir()
for name in project["license-files"]:
    (info / "licenses" / name).write_bytes(Path(name).read_bytes())
lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
lines += [f"Requires-Dist: {d}" for d in project.get("dependencies", [])]
for extra, deps in project.get("optional-dependencies", {}).items():
    lines.append(f"Provides-Extra: {extra}")
    lines += [f'Requires-Dist: {d}; extra == "{extra}"' for d in deps]
lines += ["Description-Content-Type: text/markdown", "", Path(project["readme"]).read_text()]
(info / "METADATA").write_text("\n".join(lines))
(info / "WHEEL").write_text(
    "Wheel-Version: 1.0\nGenerator: quelva scripts/wheel-armv7-musl.sh\nRoot-Is-Purelib: false\n"
    "Tag: cp313-cp313-musllinux_1_2_armv7l\n"
)
PY
mkdir -p dist
rm -f dist/quelva-*-musllinux_1_2_armv7l.whl
"$tools/bin/python" -m wheel pack -d dist "$out/stage"
wheel=$(ls dist/quelva-*-cp313-cp313-musllinux_1_2_armv7l.whl)

stage "musl wheel: auditwheel show in the armhf root"
report=$(musl_auditwheel_show "$root" "$wheel")
echo "$report"
echo "$report" | tr -d '\n' | grep -q 'consistent with *the *following platform tag: *"musllinux_1_2_armv7l"'
stage "musl wheel: $wheel"
