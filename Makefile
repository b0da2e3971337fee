# Set-up is part of every target: a fresh machine needs only Python 3.10+ and a C++20 compiler.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
DEPS   := $(VENV)/.deps-stamp
BUILD_DEPS := scikit-build-core pybind11 ninja cmake
PYTEST_ARGS ?=

.PHONY: demo test install build bench fuzz sanitize clean

$(DEPS): pyproject.toml Makefile
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q torch==2.13.0
	$(PY) -m pip install -q numpy pytest hypothesis $(BUILD_DEPS)
	touch $@

# Builds the wheel (incrementally, in build/) and installs it into the venv.
install: $(DEPS)
	$(PY) -m pip install -q --no-build-isolation --no-deps --force-reinstall .

demo: install
	$(PY) -m quorvane info

test: install
	$(PY) -m pytest -q $(PYTEST_ARGS)

# In-place development build: run code with PYTHONPATH=src.
build: $(DEPS)
	$(VENV)/bin/cmake -S . -B build/dev -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(VENV)/bin/cmake --build build/dev
	cp build/dev/*.so src/quorvane/

clean:
	rm -rf build src/quorvane/*.so
