# Front door: `make` builds everything into out/, `make demo` packs and runs
# the sample application, `make test` builds and runs every test.
OUT ?= out
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all configure demo test test-sanitized bench bench-quick fuzz clean

all: configure
	cmake --build $(OUT)

configure: $(OUT)/build.ninja

$(OUT)/build.ninja:
	cmake -S . -B $(OUT) -G Ninja $(CMAKE_FLAGS)

demo: all
	$(OUT)/bin/onefile pack $(OUT)/demo/app --main hello -o $(OUT)/demo/hello
	cd / && "$(CURDIR)/$(OUT)/demo/hello" first "second argument"

test: all
	ctest --test-dir $(OUT) --output-on-failure -j $(JOBS)

# The same tests with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitized:
	$(MAKE) test OUT=out/sanitized CMAKE_FLAGS="-DONEFILE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"

# Side-by-side measurement of launch, start-up, packing, peers and memory
# (bench/run_bench.py); the table goes to standard output and to
# $(OUT)/bench/results.md. `bench-quick` is the few-second run CI does.
BENCH_FLAGS ?=
BENCH_PYTHON ?= python3

BENCH_BUILD = cmake --build $(OUT) --target bench_programs

bench: configure
	$(BENCH_BUILD)
	$(BENCH_PYTHON) bench/run_bench.py --out $(OUT) --command "make bench $(BENCH_FLAGS)" $(BENCH_FLAGS)

bench-quick: configure
	$(BENCH_BUILD)
	$(BENCH_PYTHON) bench/run_bench.py --out $(OUT) --quick --command "make bench-quick" $(BENCH_FLAGS)

clean:
	rm -rf $(OUT)
