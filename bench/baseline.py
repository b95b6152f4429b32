"""The baseline: quelva as built from an earlier commit, loaded beside the current one.

scripts/bench.sh builds BASELINE_COMMIT once into build/bench-baseline/<commit>
and names that folder in QUELVA_BENCH_BASELINE; when it cannot (the history
lacks the commit, or the build fails), it says why in
QUELVA_BENCH_BASELINE_SKIPPED instead. The benchmark then times the baseline in
the same process as the current module, round by round, so that the ratio of
the two sees one state of the machine.

This file imports nothing of the benchmark: scripts/bench.sh reads the commit
from it with a bare interpreter.
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import os
import sys
import sysconfig
from pathlib import Path
from types import ModuleType

# The landed build before the current performance work: the one place that names it.
BASELINE_COMMIT = "8a39e86"
LABEL = f"quelva at {BASELINE_COMMIT}"

DIR_VARIABLE = "QUELVA_BENCH_BASELINE"
SKIPPED_VARIABLE = "QUELVA_BENCH_BASELINE_SKIPPED"

_LOADED: dict[Path, ModuleType] = {}


def extension_path(directory: Path) -> Path | None:
    """The module file that `pip install --target directory` left there, for this
    interpreter's ABI, or None."""
    path = Path(directory) / ("quelva" + sysconfig.get_config_var("EXT_SUFFIX"))
    return path if path.is_file() else None


def load(directory: str | os.PathLike) -> tuple[ModuleType | None, str]:
    """The baseline module built into `directory`, and "" - or None and why not.

    The extension's init function is named after the module, so it must be
    loaded as "quelva"; sys.modules keeps the current quelva under that name,
    and the baseline is reached only through the returned object. A second
    load of the same file returns the same object.
    """
    so = extension_path(Path(directory))
    if so is None:
        return None, (f"no quelva{sysconfig.get_config_var('EXT_SUFFIX')} in {directory} "
                      "(scripts/bench.sh builds it)")
    so = so.resolve()
    if so in _LOADED:
        return _LOADED[so], ""
    loader = importlib.machinery.ExtensionFileLoader("quelva", str(so))
    module_spec = importlib.util.spec_from_file_location("quelva", str(so), loader=loader)
    saved = sys.modules.pop("quelva", None)
    try:
        module = importlib.util.module_from_spec(module_spec)
        loader.exec_module(module)
    except Exception as exc:  # a stale or foreign build fails in many ways
        return None, f"{so} does not load: {type(exc).__name__}: {exc}".splitlines()[0]
    finally:
        # The current module stays the one that `import quelva` finds; without a
        # current module, the baseline must not take its place either.
        if saved is not None:
            sys.modules["quelva"] = saved
        else:
            sys.modules.pop("quelva", None)
    _LOADED[so] = module
    return module, ""


def from_environment() -> tuple[ModuleType | None, str]:
    """The baseline that scripts/bench.sh built for this run, and "" - or None
    and the reason why the run goes without it."""
    skipped = os.environ.get(SKIPPED_VARIABLE, "")
    if skipped:
        return None, skipped
    directory = os.environ.get(DIR_VARIABLE, "")
    if not directory:
        return None, f"{DIR_VARIABLE} is not set (scripts/bench.sh builds the baseline and sets it)"
    return load(directory)


if __name__ == "__main__":
    print(BASELINE_COMMIT)
