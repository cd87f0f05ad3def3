# Front door: `make` builds everything into out/, `make demo` packs and runs
# the sample application, `make test` builds and runs every test. Both first
# install the Debian packages that are missing (build/install-deps).
OUT ?= out
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps configure demo test package test-sanitized test-valgrind bench bench-quick fuzz clean

all: configure
	cmake --build $(OUT)

# Silent and quick when everything is present.
deps:
	@build/install-deps

configure: deps $(OUT)/build.ninja

$(OUT)/build.ninja: | deps
	cmake -S . -B $(OUT) -G Ninja $(CMAKE_FLAGS)

# Only the tool and the sample application, not the tests.
demo: configure
	cmake --build $(OUT) --target onefile demo_app
	$(OUT)/bin/onefile pack $(OUT)/demo/app --main hello -o $(OUT)/demo/hello
	cd / && "$(CURDIR)/$(OUT)/demo/hello" first "second argument"

# CTEST_FLAGS selects tests, as `-LE slow` does for the sanitizer pass.
CTEST_FLAGS ?=

test: all
	ctest --test-dir $(OUT) --output-on-failure -j $(JOBS) $(CTEST_FLAGS)

# onefile-VERSION-ARCH.deb and .tar.gz in $(OUT)/ for amd64 and arm64: the
# tool, its manual page, its bash completion and the CMake package, as
# `cmake --install` lays them out (build/package). Only the two tools are
# built for it.
package: configure
	cmake --build $(OUT) --target onefile onefile-tool-aarch64
	cpack --config $(OUT)/CPackConfig.cmake -B $(OUT)
	cpack --config $(OUT)/CPackConfig-arm64.cmake -B $(OUT)

# The same tests with AddressSanitizer and UndefinedBehaviorSanitizer, but
# those labelled slow (a pack at the highest level), which would take hours.
test-sanitized:
	$(MAKE) test OUT=out/sanitized CMAKE_FLAGS="-DONEFILE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo" CTEST_FLAGS="-LE slow"

# Side-by-side measurement of launch, small files, start-up, packing, peers,
# memory and compression (bench/run_bench.py); the table goes to standard
# output and to $(OUT)/bench/results.md, and with
# BENCH_FLAGS='--readme docs/performance.md' to the latest figures of the
# documentation as well. `bench-quick` is the short run CI
# does (under half a minute). The compression rows need `onefile pack
# --compress`; BENCH_FLAGS=--skip-compressed leaves them out, marked skipped.
# bench_programs includes the x86-64 stub's project, which builds the floor.
BENCH_FLAGS ?=
BENCH_PYTHON ?= python3

BENCH_BUILD = cmake --build $(OUT) --target bench_programs

bench: configure
	$(BENCH_BUILD)
	$(BENCH_PYTHON) bench/run_bench.py --out $(OUT) --command "make bench$(if $(BENCH_FLAGS), BENCH_FLAGS='$(BENCH_FLAGS)')" $(BENCH_FLAGS)

bench-quick: configure
	$(BENCH_BUILD)
	$(BENCH_PYTHON) bench/run_bench.py --out $(OUT) --quick --command "make bench-quick$(if $(BENCH_FLAGS), BENCH_FLAGS='$(BENCH_FLAGS)')" $(BENCH_FLAGS)

# The tool's tests once under valgrind memcheck. The tool that the CLI tests
# start as a child runs natively; the test binaries themselves are checked.
VALGRIND ?= valgrind
# A read of a mapped page that is gone is made again once the tool's SIGBUS
# handler has mapped zeros there; valgrind resumes it with the registers it
# had only when it keeps all of them up to date at each memory access.
VALGRIND_FLAGS ?= --error-exitcode=1 --leak-check=full --trace-children=no \
                  --vex-iropt-register-updates=allregs-at-mem-access

test-valgrind: all
	$(VALGRIND) $(VALGRIND_FLAGS) $(OUT)/bin/onefile_tool_unit_tests
	$(VALGRIND) $(VALGRIND_FLAGS) $(OUT)/bin/onefile_tool_cli_tests

# The libFuzzer targets of fuzz/, built with clang in their own directory
# and run one after the other for FUZZ_SECONDS each. Each starts from the
# seed corpus (fuzz/corpus), the recorded regressions (fuzz/regressions) and
# what earlier runs found ($(FUZZ_OUT)/corpus, where new inputs go); a crash
# is written to $(FUZZ_OUT)/artifacts/TARGET/ and fails the run.
FUZZ_OUT ?= out/fuzz
FUZZ_SECONDS ?= 30
FUZZ_CC ?= clang-14
FUZZ_CXX ?= clang++-14
FUZZ_TARGETS ?= template_expansion tool_list extraction
FUZZ_FLAGS ?=
# Large enough for a value of 4096 bytes in a template input, a small
# launcher, and a block with content of more than one copy chunk.
FUZZ_MAX_LEN_template_expansion = 12288
FUZZ_MAX_LEN_tool_list = 131072
FUZZ_MAX_LEN_extraction = 40960
# The extraction target makes and removes a directory tree for every input,
# several times faster on a tmpfs.
FUZZ_TMPDIR ?= $(firstword $(wildcard /dev/shm) $(TMPDIR) /tmp)

# One target's run; $(1) is its name.
define fuzz_run
	mkdir -p $(FUZZ_OUT)/corpus/$(1) $(FUZZ_OUT)/artifacts/$(1)
	TMPDIR=$(FUZZ_TMPDIR) $(FUZZ_OUT)/fuzz/fuzz_$(1) -max_total_time=$(FUZZ_SECONDS) -timeout=30 \
	  -max_len=$(FUZZ_MAX_LEN_$(1)) -dict=fuzz/$(1).dict \
	  -artifact_prefix=$(FUZZ_OUT)/artifacts/$(1)/ -print_final_stats=1 $(FUZZ_FLAGS) \
	  $(FUZZ_OUT)/corpus/$(1) fuzz/corpus/$(1) $(wildcard fuzz/regressions/$(1))

endef

fuzz: deps
	CC=$(FUZZ_CC) CXX=$(FUZZ_CXX) cmake -S . -B $(FUZZ_OUT) -G Ninja -DONEFILE_FUZZ=ON \
	  -DONEFILE_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_OUT) --target onefile_fuzzers
	$(foreach target,$(FUZZ_TARGETS),$(call fuzz_run,$(target)))

clean:
	rm -rf $(OUT)
