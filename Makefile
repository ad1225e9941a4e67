# The two commands every newcomer runs: `make demo` and `make test`.
JOBS ?= 2
TEST_PRESETS ?= default asan tsan armhf fuzz systemd fresh
LANES := $(addprefix lane-,default asan tsan armhf fuzz)
# Lanes beyond one preset each: armhf-e2e comes with armhf; systemd is the package under a real
# systemd; fresh is the newcomer's path on a new Debian root and runs last.
TEST_LANES := $(addprefix lane-,$(filter-out systemd fresh,$(TEST_PRESETS))) \
	$(if $(filter armhf,$(TEST_PRESETS)),lane-armhf-e2e) \
	$(if $(filter systemd,$(TEST_PRESETS)),lane-systemd) \
	$(if $(filter fresh,$(TEST_PRESETS)),lane-fresh)

.PHONY: all build demo test bench soak fresh package $(LANES) lane-armhf-e2e lane-systemd \
	lane-fresh clean

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
	@tools/install-deps $(TEST_PRESETS)
	$(MAKE) --no-print-directory $(TEST_LANES)

# One lane per preset: configure, build everything, run every test of that build.
# tsan: the daemon's threads under ThreadSanitizer, unit and end-to-end suites alike; a report
# in the daemon's output fails the test that started it (tests/e2e/board_fixture.cpp).
$(LANES): lane-%:
	@tools/install-deps $*
	cmake --preset $* >/dev/null
	cmake --build --preset $* -j$(JOBS)
	ctest --preset $*

# The board's daemon end to end: the 32-bit ARM daemon and its spidev emulator, from the armhf
# build, run through qemu-arm by the host build's end-to-end programs. The daemon is the armhf
# build's nanvideod-dynamic: the installed nanvideod is static and cannot take the preloaded
# emulator, so this one is linked dynamically from the same objects (the armhf lane proves the
# static one); the launcher, the stand-in
# programs, the video source and the clients around it stay native, as the board's own tools
# would be. Every end-to-end test of the daemon runs: tests/e2e whole (its launcher, spidev
# emulator and video source suites start only host programs, so they repeat the host lane's
# checks) and, of tests/ctl, the suite that drives the real daemon (CtlOnBoard; the others talk
# to a fake daemon in the test). Skipped under qemu: PortTaken.BindFailsAndTheDaemonRunsOnWithout-
# AServer, whose port holder (a host perl) execs the daemon binary itself, so that binary must be
# a host one.
ARMHF_QEMU := qemu-arm -L /usr/arm-linux-gnueabihf
ARMHF_E2E := NANVIDEO_E2E_DAEMON=$(CURDIR)/build/armhf/bin/nanvideod-dynamic \
	NANVIDEO_E2E_SPIDEV_LIB=$(CURDIR)/build/armhf/lib/libnanvideo_spidev.so \
	NANVIDEO_E2E_QEMU="$(ARMHF_QEMU)"
lane-armhf-e2e:
	@tools/install-deps armhf
	cmake --preset default >/dev/null
	cmake --build --preset default -j$(JOBS)
	cmake --preset armhf >/dev/null
	cmake --build --preset armhf -j$(JOBS) --target nanvideod-dynamic nanvideo_spidev
	status=0; \
	$(ARMHF_E2E) ctest --test-dir build/default/tests/e2e -j4 --output-on-failure || status=1; \
	if [ -d build/default/tests/ctl ]; then \
	  $(ARMHF_E2E) ctest --test-dir build/default/tests/ctl -R '^CtlOnBoard\.' -j4 \
	    --output-on-failure || status=1; \
	fi; \
	exit $$status

# The Debian packages, one per architecture, in build/default/package (amd64, the host build)
# and build/armhf/package (armhf, the board's static daemon), each checked by lintian.
PACKAGE_PROGRAMS := nanvideod nanvideo-keyword nanvideoctl nanvideo-package-files
package:
	@tools/install-deps package
	cmake --preset default >/dev/null
	cmake --build --preset default -j$(JOBS) --target $(PACKAGE_PROGRAMS)
	rm -rf build/default/package && cd build/default && cpack
	cmake --preset armhf >/dev/null
	cmake --build --preset armhf -j$(JOBS) --target $(PACKAGE_PROGRAMS)
	rm -rf build/armhf/package && cd build/armhf && cpack
	lintian build/default/package/nanvideod_*_amd64.deb build/armhf/package/nanvideod_*_armhf.deb

# The amd64 package installed with apt into a fresh minimal Debian 12 root beside the simulated
# board's stand-ins, booted by systemd-nspawn, and checked through systemctl and journalctl
# (tests/dist/systemd_lane_test.cpp): start, a stop during a boot-environment write, the
# watchdog, SIGKILL, a firmware update's mount, a restart during video. As root; about five
# minutes, the root's making included.
lane-systemd:
	@tools/install-deps systemd
	cmake --preset default >/dev/null
	cmake --build --preset default -j$(JOBS) --target nanvideod nanvideo-keyword nanvideoctl \
	  nanvideo-package-files systemd_lane_test nanvideo_spidev nanvideo_board_world
	rm -rf build/default/package && cd build/default && cpack >/dev/null
	tools/systemd-lane build/default/bin/systemd_lane_test build/default/package/nanvideod_*_amd64.deb

# The README's two commands on a new minimal Debian 12 root (mmdebstrap minbase: apt, no make, no
# compiler), run as root in a private mount namespace: `make demo` for a bounded time, then
# `make test` with the default lane. The only real proof that every target installs what it
# needs. Costs about fifteen minutes, most of it downloading and building.
fresh lane-fresh:
	@tools/install-deps fresh
	tools/fresh-machine

# The soak, not part of `make test`: the host daemon on the simulated board under everything at
# once (video to reconnecting clients, AT version queries, NAN peers, failing iw calls, a stalled
# client) for DURATION seconds, then a stop; prints a summary and fails on any fault it counts.
DURATION ?= 600
soak:
	@tools/install-deps demo
	cmake --preset default >/dev/null
	cmake --build --preset default -j$(JOBS) --target nanvideo-soak
	build/default/bin/nanvideo-soak --duration $(DURATION)

# Every benchmark, one table: the benchmarks from the host build, the stripped size from the
# board's, and a picture of the streaming scenarios (gnuplot). The steady stream runs 3000 frames
# (about 35 s; FRAMES=10000 gives the full figure); the other scenarios add about two minutes.
bench:
	@tools/install-deps bench
	cmake --preset default >/dev/null
	cmake --build --preset default -j$(JOBS) --target bench_table
	cmake --preset armhf >/dev/null
	cmake --build --preset armhf -j$(JOBS) --target nanvideod
	build/default/bin/bench_table --frames $(or $(FRAMES),3000)

clean:
	rm -rf build
