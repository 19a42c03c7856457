# Two set-up commands that work on a fresh machine:
#   make demo   installs what is missing, builds, runs the main job
#   make test   installs what is missing, builds, runs the whole suite
# The other targets are for developers.

.PHONY: demo test setup build build-asan windows wine-demo test-default test-asan bench fuzz soak \
        coverage format clean

JOBS ?= $(shell nproc)

demo: setup build
	./build/default/bin/vavedu demo

test: setup
	bash scripts/run-tests.sh

setup:
	bash scripts/setup.sh

build:
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

build-asan:
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)

# The Windows images (PE32+ kernel images cross-compiled with mingw-w64) in build/windows. The test
# suite builds and checks its own copy (tests/windows).
windows: setup
	bash windows/build.sh build/windows

# The Windows images at work on Wine: a fresh prefix in build/wine-demo, the instrument emulator and
# the driver installed, a short session of vavedu.exe, the drivers' debug output.
wine-demo: windows
	python3 tests/wine/wine_machine.py demo build/wine-demo build/windows

test-default: build
	ctest --preset default

test-asan: build-asan
	ctest --preset asan

# Benchmarks of the default build (not part of `make test`): build/bench/results.json and
# build/bench/report.txt with the speed targets and whether each is met.
bench: setup build
	bash scripts/bench.sh build/default

# Campaigns of the two fuzz targets (tests/fuzz) on the sanitizer build, side by side under nice,
# for FUZZ_RUNS executions each (make fuzz FUZZ_RUNS=1000000) or else FUZZ_SECONDS each; new and
# failing inputs go to build/fuzz-corpus, never into the repository. Builds only the targets.
# `make test` runs each target for a bounded number of executions.
FUZZ_SECONDS ?= 600
FUZZ_RUNS ?=
fuzz: setup
	cmake --preset asan >/dev/null
	nice cmake --build --preset asan -j $(JOBS) --target fuzz_hostile_device fuzz_hostile_application
	FUZZ_RUNS=$(FUZZ_RUNS) FUZZ_SECONDS=$(FUZZ_SECONDS) bash scripts/fuzz.sh build/asan

# The soak on the default build: Plug and Play cycles under concurrent I/O, device control, cancels
# and random low resources for SOAK_MINUTES (and at least SOAK_MIN_CYCLES cycles). `make test` runs
# a bounded one.
SOAK_MINUTES ?= 10
SOAK_MIN_CYCLES ?= 0
soak: setup
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target soak_tests
	bash scripts/soak.sh build/default $(SOAK_MINUTES) $(SOAK_MIN_CYCLES)

# Coverage of the kernel code (not part of `make test`): builds the coverage preset, runs the suite
# on it and writes build/coverage/report/index.html and summary.txt (scripts/coverage.sh).
coverage: setup
	bash scripts/coverage.sh

format:
	git ls-files '*.c' '*.cpp' '*.h' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build
