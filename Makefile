# The two commands every newcomer runs: `make demo` and `make test`.
JOBS ?= 2
TEST_PRESETS ?= default asan armhf fuzz
LANES := $(addprefix lane-,default asan armhf fuzz)

.PHONY: all build demo test bench $(LANES) clean

all: build

build:
	@tools/install-deps build
	cmake --preset default >/dev/null
	cmake --build --preset default -j$(JOBS)

demo:
	@tools/install-deps demo
	cmake --preset default >/dev/null
	cmake --build --preset default -j$(JOBS) --target nanvideod nanvideo-demo
	build/default/bin/nanvideo-demo

test:
	@tools/install-deps test
	$(MAKE) --no-print-directory $(addprefix lane-,$(TEST_PRESETS))

# One lane per preset: configure, build everything, run every test of that build.
$(LANES): lane-%:
	cmake --preset $* >/dev/null
	cmake --build --preset $* -j$(JOBS)
	ctest --preset $*

# Every benchmark, one table: the benchmarks from the host build, the stripped size from the
# board's. The stream runs 3000 frames (about 35 s); FRAMES=10000 gives the full figure.
bench:
	@tools/install-deps bench
	cmake --preset default >/dev/null
	cmake --build --preset default -j$(JOBS) --target bench_table
	cmake --preset armhf >/dev/null
	cmake --build --preset armhf -j$(JOBS) --target nanvideod
	build/default/bin/bench_table --frames $(or $(FRAMES),3000)

clean:
	rm -rf build
