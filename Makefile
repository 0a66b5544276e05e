# Entry points. Each target does its own set-up: a virtual environment in .venv with
# Python 3.12, the build tools, and an install of the package from this tree with the extras
# that target needs.

PYTHON ?= $(shell pyenv which python3.12 2>/dev/null || command -v python3.12 || echo python3.12)
VENV := .venv
VPY := $(VENV)/bin/python
BUILD_TOOLS := "scikit-build-core>=0.10" "cmake>=3.21" ninja
# The test suite runs in one pytest-xdist worker process per core; PYTEST_WORKERS=0 runs it in
# pytest's own process.
PYTEST_WORKERS ?= auto

.PHONY: all install test demo bench fuzz sanitize clean

all: test

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(BUILD_TOOLS)

# The build tree under build/ is kept between runs, so a reinstall only recompiles what changed.
install: $(VPY)
	$(VPY) -m pip install -q --no-build-isolation ".[test]"

test: install
	$(VPY) -m pytest -q -n $(PYTEST_WORKERS)

# The demo needs the package and its default solver only, not the test tools.
demo: $(VPY)
	$(VPY) -m pip install -q --no-build-isolation ".[solve]"
	$(VENV)/bin/zemlo solve examples/afiro.mps.gz

# Every benchmark runs to the end; one that misses a target prints it and makes the whole run
# fail at the end, after the others ran.
bench: install
	$(VPY) -m pip install -q --no-build-isolation ".[test,bench]"
	@status=0; \
	for f in bench/bench_*.py; do echo "== $$f"; $(VPY) $$f || status=1; done; \
	for f in bench/*.sh; do [ -e "$$f" ] || continue; echo "== $$f"; bash $$f || status=1; done; \
	if [ $$status -ne 0 ]; then echo "some benchmark missed a target (see above)"; fi; \
	exit $$status

fuzz:
	$(MAKE) -C fuzz run

clean:
	rm -rf build $(VENV) $(ASAN_VENV) .pytest_cache

# The test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer, in its own
# environment (.venv-asan) and build tree. Leak detection is off: the interpreter itself keeps
# memory until exit.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
# Compiled without inlining: the MPS reader's line loop is flattened (every call inlined into it),
# which with the sanitizers' checks makes one function so large that g++ takes minutes over that
# file alone. Every check stays (none is optimised away with an inlined callee), and each frame of
# a report is a real call.
SANITIZE_CXX_FLAGS := $(SANITIZE_FLAGS) -fno-inline

$(ASAN_PY):
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install -q --upgrade pip
	$(ASAN_PY) -m pip install -q $(BUILD_TOOLS)

sanitize: $(ASAN_PY)
	$(ASAN_PY) -m pip install -q --no-build-isolation \
		-Cbuild-dir=build/sanitize -Ccmake.build-type=RelWithDebInfo \
		-Ccmake.define.CMAKE_CXX_FLAGS="$(SANITIZE_CXX_FLAGS)" \
		-Ccmake.define.CMAKE_SHARED_LINKER_FLAGS="$(SANITIZE_FLAGS)" \
		-Ccmake.define.CMAKE_EXE_LINKER_FLAGS="$(SANITIZE_FLAGS)" ".[test]"
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0 ZEMLO_NATIVE_BUILD=build/sanitize $(ASAN_PY) -m pytest -q -p no:cacheprovider \
		-n $(PYTEST_WORKERS)
