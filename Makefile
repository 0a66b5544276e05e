# Entry points. Each target does its own set-up: a virtual environment in .venv with
# Python 3.12, the build tools, and an install of the package from this tree.

PYTHON ?= $(shell pyenv which python3.12 2>/dev/null || command -v python3.12 || echo python3.12)
VENV := .venv
VPY := $(VENV)/bin/python
BUILD_TOOLS := "scikit-build-core>=0.10" "cmake>=3.21" ninja

.PHONY: all install test demo bench fuzz clean

all: test

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(BUILD_TOOLS)

# The build tree under build/ is kept between runs, so a reinstall only recompiles what changed.
install: $(VPY)
	$(VPY) -m pip install -q --no-build-isolation ".[test]"

test: install
	$(VPY) -m pytest -q

demo: install
	$(VPY) -m zemlo

bench: install
	@for f in bench/*.py; do echo "== $$f"; $(VPY) $$f || exit 1; done
	@for f in bench/*.sh; do [ -e "$$f" ] || continue; echo "== $$f"; bash $$f || exit 1; done

fuzz:
	$(MAKE) -C fuzz run

clean:
	rm -rf build $(VENV) .pytest_cache
