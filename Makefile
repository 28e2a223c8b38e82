# Set-up and checks for loxant.  Every target creates .venv and installs what
# it needs, so `make demo` and `make test` work on a fresh Debian machine with
# no pip cache (as root they also install KLU, and OpenSTA for the Liberty
# check, with apt-get).

PYTHON ?= python3
VENV := .venv
BIN := $(VENV)/bin
# Extra CMake options, for example LOXANT_CMAKE="-DLOXANT_SANITIZE=ON"
LOXANT_CMAKE ?= -DLOXANT_WERROR=ON

.PHONY: all deps install test sanitize demo bench lint format clean

all: test

# KLU is required; METIS (nested-dissection orders for large matrices) is
# used where present; OpenSTA (the Liberty test's reader) is optional and that
# test says it was skipped when it is absent.
deps:
	@if [ ! -f /usr/include/suitesparse/klu.h ] || [ ! -f /usr/include/metis.h ] || ! command -v sta >/dev/null; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libsuitesparse-dev libmetis-dev opensta >/dev/null; \
	  fi; \
	fi
	@if [ ! -f /usr/include/suitesparse/klu.h ]; then \
	  echo "KLU is missing: install the Debian package libsuitesparse-dev"; exit 1; \
	fi

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)
	$(BIN)/pip install -q --upgrade pip
	$(BIN)/pip install -q "scikit-build-core>=0.10" "numpy>=1.23" ninja cmake

# loxant's own C++ build reuses the venv's build tools (no isolation, so the
# build directory stays valid between runs); the extras are then installed with
# build isolation, so a dependency shipped only as an sdist brings its own
# build requirements.
EXTRAS := test,plot,cli,analysis
install: deps $(BIN)/python
	CMAKE_ARGS="$(LOXANT_CMAKE)" $(BIN)/pip install -q --no-build-isolation .
	$(BIN)/pip install -q "loxant[$(EXTRAS)]"

test: install
	$(BIN)/python -m pytest -q

# The whole test suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer; any report fails the run.
SANITIZER_RUNTIME = $$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)
sanitize: install
	PATH="$(CURDIR)/$(BIN):$$PATH" CMAKE_ARGS="-DLOXANT_SANITIZE=ON -DLOXANT_WERROR=ON" \
	  tools/devbuild build/sanitize > build/sanitize.env
	. build/sanitize.env && LD_PRELOAD="$(SANITIZER_RUNTIME)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(BIN)/python -m pytest -q -s -p no:cacheprovider

demo: install
	$(BIN)/loxant run examples/jtl.cir --plot jtl.png

bench: install
	$(BIN)/python benchmarks/run_all.py

lint: $(BIN)/python
	$(BIN)/pip install -q "ruff==0.17.6"
	$(BIN)/ruff check python tests benchmarks examples docs
	$(BIN)/ruff format --check python tests benchmarks examples docs
	$(BIN)/python tools/importgraph > /dev/null
	clang-format --dry-run --Werror capi/*.hpp kernel/*.hpp kernel/*.cpp kernel/models/*.hpp kernel/models/*.cpp solver/*.hpp solver/*.cpp engine/*.hpp engine/*.cpp

format:
	$(BIN)/ruff format python tests benchmarks examples docs
	clang-format -i capi/*.hpp kernel/*.hpp kernel/*.cpp kernel/models/*.hpp kernel/models/*.cpp solver/*.hpp solver/*.cpp engine/*.hpp engine/*.cpp

clean:
	rm -rf build $(VENV)
