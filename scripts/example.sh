#!/usr/bin/env bash
# Installs quelva into .venv/example (with NumPy and the example extra) and runs the
# example: three real stacks, a table of R and T, and a plot in spectra.png.
# Arguments go to the example (e.g. the path of the PNG to write).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_build_tools
python=$(find_python 3.12)
make_venv .venv/example "$python"
mapfile -t example_requirements < <(extra_requirements example)
.venv/example/bin/python -m pip install -q numpy "${example_requirements[@]}"
.venv/example/bin/python -m pip install -q --force-reinstall --no-deps .
exec .venv/example/bin/python examples/spectra.py "$@"
