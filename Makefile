# Front end over CMake. `make test` configures, builds and runs every test from a fresh clone.

# Python 2.7 with headers: PYTHON2 if given, else the newest pyenv 2.7 interpreter.
PYTHON2 ?= $(shell ls -d /root/.pyenv/versions/2.7*/bin/python 2>/dev/null | sort -V | tail -n 1)
# Python 3 with headers, for the modules in build/py3: PYTHON3 if given, else the newest pyenv 3.x.
PYTHON3 ?= $(shell ls -d /root/.pyenv/versions/3.*/bin/python 2>/dev/null | sort -V | tail -n 1)
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

BUILD := build
ASAN_BUILD := build-asan

.PHONY: all build test asan bench demo clean check-python

all: build

check-python:
	@if [ -z "$(PYTHON2)" ] || [ ! -x "$(PYTHON2)" ]; then \
	  echo "error: no Python 2.7 interpreter found."; \
	  echo "  Install Python 2.7 with its headers (for example under /root/.pyenv/versions/2.7.18)"; \
	  echo "  or run make with PYTHON2=/path/to/python2.7."; \
	  exit 1; \
	fi
	@if [ -z "$(PYTHON3)" ] || [ ! -x "$(PYTHON3)" ]; then \
	  echo "error: no Python 3 interpreter found."; \
	  echo "  Install Python 3.8 or newer with its headers (for example under /root/.pyenv/versions)"; \
	  echo "  or run make with PYTHON3=/path/to/python3."; \
	  exit 1; \
	fi

$(BUILD)/CMakeCache.txt: CMakeLists.txt | check-python
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython2_EXECUTABLE=$(PYTHON2) \
	  -DPython3_EXECUTABLE=$(PYTHON3)

build: check-python $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure

$(ASAN_BUILD)/CMakeCache.txt: CMakeLists.txt | check-python
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=ON -DPython2_EXECUTABLE=$(PYTHON2) \
	  -DPython3_EXECUTABLE=$(PYTHON3)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
asan: check-python $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure

bench: build
	cmake --build $(BUILD) --target benchmarks -j $(JOBS)
	@for b in $(BUILD)/bench_*; do [ -x "$$b" ] && "$$b"; done
	PYTHONPATH=$(BUILD) $(PYTHON2) bench/large_queue_bench.py
	PYTHONPATH=$(BUILD) $(PYTHON2) bench/tessart_bench.py
	PYTHONPATH=$(BUILD) $(PYTHON2) bench/recording_bench.py

# The matchmaking simulation on its built-in traffic and queue configuration, as text and as an
# HTML page with charts (build/demo-report.html). Only the two
# modules are built, not the tests, so that a fresh clone shows the report in well under a
# minute; `--scenario rated` then runs on the same build.
demo: check-python $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) --target kelvane tessart -j $(JOBS)
	PYTHONPATH=$(BUILD) $(PYTHON2) tools/simulate.py --html $(BUILD)/demo-report.html
	@echo "The same report with its charts, one page that opens offline: $(BUILD)/demo-report.html"

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
