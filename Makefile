# The project's commands. Each target first installs what it needs and this
# machine lacks (scripts/deps.sh: Debian packages via apt-get, as root), then
# configures its CMake preset (build/<preset>/) and builds only what changed.

ARGS ?=
OUT  := build/windows/out
OUT64 := build/windows-x64/out

.PHONY: help run test races reliability reliability-races reliability-faults tsan analyze windows windows-x64 wine-check bench bench-callgrind bench-suite bench-lab bench-summary fuzz fuzz-ci clean

help:
	@echo "make run [ARGS='...']  build and run the simulator"
	@echo "make run ARGS='--pty'  the serial lab: COM7 on a pseudo-terminal for Linux serial programs"
	@echo "make test              every test, plain and under ASan+UBSan"
	@echo "make races             the port's races, 200 delay-fuzzer seeds each (not in CI)"
	@echo "make reliability       the reliability suite's long runs and a one-page summary (about 2 hours)"
	@echo "make reliability-races the race families, 1000 delay-fuzzer seeds per test, a table per family"
	@echo "make reliability-faults every allocation site of both drivers failing in turn through the port's life, a table"
	@echo "make tsan              the simulator and the scenario tests under ThreadSanitizer (build/tsan)"
	@echo "make analyze           clang-tidy and clang (i686 mingw target) over the driver code"
	@echo "make windows           tolvane.sys, merrow.sys and INFs in $(OUT), import-checked"
	@echo "make windows-x64       the same for x64 Windows, in $(OUT64)"
	@echo "make wine-check        the x64 port driver under Wine, used through kernel32 (a fresh prefix each run)"
	@echo "make bench             every benchmark (release build), then one summary table and the plot"
	@echo "make bench-callgrind   instructions per byte of a 1 MB loopback through the whole stack (valgrind)"
	@echo "make bench-suite       simulated seconds per wall second of the port's scenarios; the test suite's wall time"
	@echo "make bench-lab         the serial lab beside a socat pty pair: pyserial 64 KB round trip, ZMODEM 1 MB"
	@echo "make bench-summary     the summary table and plot from the last runs' results"
	@echo "make fuzz [ARGS='-max_total_time=N']  the fuzz harnesses of merrow and tolvane, 60 s each by default (build/fuzz)"
	@echo "make fuzz-ci           the seed corpora replayed, then 60 s per harness from the seeds only"
	@echo "make clean             remove build/"

run:
	scripts/deps.sh host
	cmake --preset host >/dev/null
	cmake --build --preset host --target simulator
	build/host/simulator $(ARGS)

test:
	scripts/deps.sh host
	cmake --preset host >/dev/null
	cmake --build --preset host
	ctest --preset host
	cmake --preset sanitize >/dev/null
	cmake --build --preset sanitize
	ctest --preset sanitize

# CI runs a few seeds of each race with the other tests; this runs 200.
races:
	scripts/deps.sh host
	cmake --preset host >/dev/null
	cmake --build --preset host --target port_tests
	RACE_SEEDS=200 build/host/tests/port_tests --gtest_filter='*Races.*'

# Each race test with 1000 seeds in a process of its own, two at a time; per
# family the seeds run, the failures and their seeds (tests/port/run_races.sh).
# RACES_DIR picks another host build directory.
RACES_DIR ?= build/host
RACE_SEEDS ?= 1000
reliability-races:
	scripts/deps.sh host
	cmake --preset host -B $(RACES_DIR) >/dev/null
	cmake --build $(RACES_DIR) --target port_tests
	tests/port/run_races.sh $(RACES_DIR)/tests/port_tests $(RACE_SEEDS)

# The port's life scenarios with every allocation site of tolvane, then of
# merrow, failing once in turn (CI tries 6 sites per row); a table of
# scenario x driver x sites x outcomes (tests/port/run_faults.sh).
# FAULTS_DIR picks another host build directory, FAULT_SITES=N fewer sites.
FAULTS_DIR ?= build/host
FAULT_SITES ?= all
reliability-faults:
	scripts/deps.sh host
	cmake --preset host -B $(FAULTS_DIR) >/dev/null
	cmake --build $(FAULTS_DIR) --target port_tests
	tests/port/run_faults.sh $(FAULTS_DIR)/tests/port_tests $(FAULT_SITES)

# The reliability suite's long runs (not CI): the fault table, a 1000-cycle
# unplug storm, 10 minutes of fuzzing per harness, the race families with
# 1000 seeds and the ThreadSanitizer run, then a one-page summary
# (build/reliability/summary.txt). Settings: see scripts/reliability.sh.
reliability:
	scripts/reliability.sh

# ThreadSanitizer (build/tsan): the simulator and the sim, usb, pipe and port
# tests, every test bounded by the preset's timeout; a race report fails its
# test. Ends with the build and test wall times and the number of tests with
# a report: the fault runs' child processes only echo their report count, so
# tests are counted rather than reports.
tsan:
	scripts/deps.sh tsan
	cmake --preset tsan >/dev/null
	@start=$$(date +%s); cmake --build --preset tsan || exit 1; built=$$(date +%s); \
	ctest --preset tsan; status=$$?; done=$$(date +%s); \
	racy=$$(awk '/^[0-9]+\/[0-9]+ Test:/ { test = $$0 } /ThreadSanitizer/ && test != counted { n++; counted = test } \
	  END { print n + 0 }' build/tsan/Testing/Temporary/LastTest.log); \
	echo "tsan: build $$((built - start)) s, tests $$((done - built)) s, $$racy tests with ThreadSanitizer reports"; \
	exit $$status

analyze:
	scripts/deps.sh analyze
	cmake --preset host >/dev/null
	scripts/analyze.sh build/host

windows:
	scripts/deps.sh windows
	cmake --preset windows >/dev/null
	cmake --build --preset windows
	cmake --install build/windows --prefix $(OUT) >/dev/null
	scripts/check-sys.sh $(OUT)

windows-x64:
	scripts/deps.sh wine
	cmake --preset windows-x64 >/dev/null
	cmake --build --preset windows-x64
	cmake --install build/windows-x64 --prefix $(OUT64) >/dev/null
	scripts/check-sys.sh $(OUT64) x64

# Installs the port driver (with tests/wine's compatibility layer) in a new
# Wine prefix under build/, runs tests/wine's kernel32 client and shuts Wine down.
wine-check:
	scripts/deps.sh wine
	cmake --preset wine >/dev/null
	cmake --build --preset wine
	tests/wine/run.sh build/wine

# Benchmarks never run in CI. Results stay in $(BENCH): Google Benchmark's
# JSON (bench.json), callgrind's profile, the suite's clock; bench-summary
# prints them as one table and draws $(BENCH)/throughput.svg.
BENCH := build/host-release

bench:
	scripts/deps.sh bench
	cmake --preset host-release >/dev/null
	cmake --build --preset host-release --target sim_bench
	$(BENCH)/bench/sim_bench --benchmark_out=$(BENCH)/bench.json --benchmark_out_format=json $(ARGS)
	$(MAKE) --no-print-directory bench-callgrind bench-suite bench-summary

bench-callgrind:
	scripts/deps.sh bench
	cmake --preset host-release >/dev/null
	cmake --build --preset host-release --target stack_cost
	valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file=$(BENCH)/callgrind.out \
	  $(BENCH)/bench/stack_cost 1048576
	{ echo "# bytes: 1048576"; callgrind_annotate --threshold=100 $(BENCH)/callgrind.out; } > $(BENCH)/callgrind.txt
	valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file=$(BENCH)/callgrind-pipe.out \
	  $(BENCH)/bench/stack_cost 1048576 pipe
	{ echo "# bytes: 1048576"; callgrind_annotate --threshold=100 $(BENCH)/callgrind-pipe.out; } > $(BENCH)/callgrind-pipe.txt

bench-suite:
	scripts/deps.sh bench
	cmake --preset host-release >/dev/null
	cmake --build --preset host-release
	$(BENCH)/bench/scenario_clock --gtest_brief=1 | tail -n 1 > $(BENCH)/scenario_clock.json
	-/usr/bin/time -f %e -o $(BENCH)/suite_time.txt ctest --test-dir $(BENCH) -j2 --output-on-failure -Q

# The lab beside a socat pseudo-terminal pair: pyserial round trip, ZMODEM 1 MB.
bench-lab:
	scripts/deps.sh bench
	scripts/deps.sh lab
	cmake --preset host-release >/dev/null
	cmake --build --preset host-release --target simulator simtty
	/usr/bin/python3 bench/lab_bench.py $(BENCH)/simulator $(BENCH)/libsimtty.so $(BENCH)/lab_bench.json

bench-summary:
	/usr/bin/python3 bench/summary.py $(BENCH)

fuzz:
	scripts/deps.sh fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz
	fuzz/run.sh build/fuzz $(ARGS)

fuzz-ci:
	scripts/deps.sh fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz
	fuzz/run.sh --fresh build/fuzz -max_total_time=60 -seed=1

clean:
	rm -rf build
