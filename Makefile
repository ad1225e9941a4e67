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

bench:
	@tools/install-deps bench
	cmake --preset default >/dev/null
	cmake --build --preset default -j$(JOBS)
	build/default/bin/intake_bench

clean:
	rm -rf build
