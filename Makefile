# The project's commands. Each target first installs what it needs and this
# machine lacks (scripts/deps.sh: Debian packages via apt-get, as root), then
# configures its CMake preset (build/<preset>/) and builds only what changed.

ARGS ?=
OUT  := build/windows/out

.PHONY: help run test races analyze windows bench clean

help:
	@echo "make run [ARGS='...']  build and run the simulator"
	@echo "make test              every test, plain and under ASan+UBSan"
	@echo "make races             the port's races, 200 delay-fuzzer seeds each (not in CI)"
	@echo "make analyze           clang-tidy and clang (i686 mingw target) over the driver code"
	@echo "make windows           tolvane.sys, merrow.sys and INFs in $(OUT), import-checked"
	@echo "make bench             benchmarks (release build)"
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

bench:
	scripts/deps.sh bench
	cmake --preset host-release >/dev/null
	cmake --build --preset host-release --target sim_bench
	build/host-release/bench/sim_bench $(ARGS)

clean:
	rm -rf build
