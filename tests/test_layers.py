"""The structure checks over src/ and python/: the include-direction check passes on the
repository and catches each kind of violation on a small tree made for the purpose; no function
grows past the size a reader can take in at once."""

from __future__ import annotations

import subprocess
import sys

import pytest

from support import ROOT

SCRIPT = ROOT / "tools" / "check_layers.py"


def run_check(src):
    return subprocess.run([sys.executable, str(SCRIPT), str(src)], capture_output=True, text=True)


def test_repository_sources_depend_one_way():
    r = run_check(ROOT / "src")
    assert r.returncode == 0, r.stdout


@pytest.mark.parametrize("path, text, complaint", [
    ("model/a.hpp", '#include "io/output_file.hpp"\n', "from the later layer 'io'"),
    ("base/a.hpp", '#include "model/store.hpp"\n', "from the later layer 'model'"),
    ("format/a.cpp", '#include <Python.h>\n', "includes <Python.h>"),
    ("expr/a.cpp", '#include "module/binding_py.hpp"\n', "binding header"),
    ("io/a.cpp", '#include "io/io_py.hpp"\n', "binding header"),
    ("model/a_py.cpp", "void f() { with_core(m, g); }\n", "calls with_core"),
    ("module/kit.cpp", "void f() { with_core (m, g); }\n", "calls with_core"),
    ("model/a_py.hpp", "inline void f() { with_core(m, g); }\n", "calls with_core"),
    ("io/deeper/a_py.cpp", "void f() { with_core(m, g); }\n", "calls with_core"),
    ("io/deeper/a.cpp", '#include "module/binding_py.hpp"\n', "binding header"),
    ("model/queries.cpp", "std::lock_guard<std::mutex> guard(source.mutex);\n", "uses a mutex directly"),
    ("model/copy.cpp", "void f(SharedModel& m) { m.mutex.lock(); }\n", "uses a mutex directly"),
    ("variable/v_py.cpp", "std::unique_lock held(m->mutex);\n", "uses a mutex directly"),
    ("widgets/a.hpp", "\n", "not a known layer"),
])
def test_each_kind_of_violation_is_reported(tmp_path, path, text, complaint):
    (tmp_path / "base").mkdir()
    (tmp_path / "base" / "ok.hpp").write_text('#include <vector>\n#include "base/errors.hpp"\n')
    target = tmp_path / path
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text(text)
    r = run_check(tmp_path)
    assert r.returncode == 1
    assert r.stdout.count("\n") == 1 and complaint in r.stdout, r.stdout


def test_allowed_includes_pass(tmp_path):
    for path, text in [
        ("io/w.cpp", '#include "base/errors.hpp"\n#include "model/store.hpp"\n#include "io/w.hpp"\n'),
        ("io/w.hpp", '#include "format/number.hpp"\n'),
        ("model/m_py.cpp", '#include <Python.h>\n#include "module/binding_py.hpp"\n#include "io/w.hpp"\n'),
        ("module/kit_py.hpp", '#include "io/io_py.hpp"\n'),
        ("model/store.hpp", "struct SharedModel { std::mutex mutex; };\nstd::lock_guard<std::mutex> guard(m.mutex);\n"),
        ("io/nested/r.cpp", '#include "model/store.hpp"\n'),
    ]:
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text(text)
    r = run_check(tmp_path)
    assert r.returncode == 0, r.stdout


# Functions may reach these before they are split: cyclomatic complexity and lines.
MAX_COMPLEXITY = 25
MAX_LINES = 80
# keyword_of tells keyword lines from data lines by their first byte, in one switch, for speed.
ALLOWED = {"ondrel::io::MpsSectionParser::keyword_of"}


def test_no_function_is_too_large_to_change_safely():
    import lizard

    too_large = []
    for folder in ("src", "python"):
        for analysis in lizard.analyze([str(ROOT / folder)]):
            for f in analysis.function_list:
                if f.name in ALLOWED:
                    continue
                if f.cyclomatic_complexity > MAX_COMPLEXITY or f.length > MAX_LINES:
                    where = f"{analysis.filename.removeprefix(str(ROOT) + '/')}:{f.start_line}"
                    too_large.append(f"{where} {f.name}: complexity {f.cyclomatic_complexity}, {f.length} lines")
    assert too_large == []
