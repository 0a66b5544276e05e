#!/usr/bin/env python3
"""Checks that the sources under src/ depend one way.

The folders of plain C++ form layers, each of which may include only itself and the layers
before it:

    base, model, format, expr, variable, constraint, io

Plain files (every file not named *_py.* and not in module/ or native/) never include Python.h,
a binding header (*_py.hpp) or anything from module/ or native/. Binding files (*_py.*, module/
and native/, the binding of zemlo._native) sit on top and
may include anything, but never take a store's lock themselves: `with_core` appears only in
plain files. The store's mutex is taken only through `with_core`: no file but the store's own
header (model/store.hpp) names a mutex or a lock guard. Files are checked at any depth; the
folder right under src/ is a file's layer.

Prints one line per violation and exits 1 when there is any; exits 0 otherwise.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

LAYERS = ["base", "model", "format", "expr", "variable", "constraint", "io"]
# The binding kit and _ondrel's module definition; the binding of zemlo._native.
BINDING_FOLDERS = {"module", "native"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)
LOCK_CALL = re.compile(r"\bwith_core\s*\(")
# A mutex or a lock taken on one by hand: std::mutex and its kin, the guards, lock() or
# try_lock() on a member named mutex.
MUTEX_USE = re.compile(
    r"\b(?:std::)?(?:recursive_|timed_|recursive_timed_|shared_|shared_timed_)?mutex\b"
    r"|\b(?:lock_guard|unique_lock|scoped_lock|shared_lock)\b"
    r"|\bmutex\s*\.\s*(?:try_)?lock\s*\(|\bpthread_mutex_\w+"
)
STORE_HEADER = Path("model") / "store.hpp"


def is_binding(path: Path, folder: str) -> bool:
    return folder in BINDING_FOLDERS or path.stem.endswith("_py")


def violations(src: Path) -> list[str]:
    found = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in {".hpp", ".cpp", ".inc"} or not path.is_file():
            continue
        rel_src = path.relative_to(src)
        folder = rel_src.parts[0] if len(rel_src.parts) > 1 else ""
        rel = path.relative_to(src.parent)
        if folder not in BINDING_FOLDERS and folder not in LAYERS:
            found.append(f"{rel}: folder '{folder}' is not a known layer")
            continue
        text = path.read_text(encoding="utf-8")
        if rel_src != STORE_HEADER and MUTEX_USE.search(text):
            found.append(f"{rel}: uses a mutex directly; take the store's lock through with_core")
        binding = is_binding(path, folder)
        if binding:
            if LOCK_CALL.search(text):
                found.append(f"{rel}: a binding file calls with_core; call a plain operation instead")
            continue
        for kind, target in INCLUDE.findall(text):
            if kind == "<":
                if target == "Python.h":
                    found.append(f"{rel}: plain file includes <Python.h>")
                continue
            target_path = Path(target)
            target_folder = target_path.parts[0] if len(target_path.parts) > 1 else folder
            if target_folder in BINDING_FOLDERS or target_path.stem.endswith("_py"):
                found.append(f"{rel}: plain file includes binding header \"{target}\"")
            elif target_folder not in LAYERS:
                found.append(f"{rel}: includes \"{target}\" from unknown folder '{target_folder}'")
            elif LAYERS.index(target_folder) > LAYERS.index(folder):
                found.append(
                    f"{rel}: layer '{folder}' includes \"{target}\" from the later layer '{target_folder}'"
                )
    return found


def main() -> int:
    src = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "src"
    found = violations(src)
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
