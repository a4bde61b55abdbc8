# Top-level driver: `make` builds the plug-in and parly-host, `make test` builds and runs every test,
# `make demo` runs the demo, `make try SCRIPT=path [ARGS="..."]` runs one script against the simulator.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
CMAKE_WIN = cmake -S . -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw.cmake
.DEFAULT_GOAL := all
GOALS := all build product win32 win64 native fuzz-build test demo try fuzz bench screenshots dist

.PHONY: $(GOALS) setup clean

setup:
	@scripts/setup.sh

clean:
	rm -rf build dist

ifndef PARLY_READY
# Whatever is missing gets installed first; the machine's abilities (32-bit Wine) are read after that.
$(GOALS): setup
	@$(MAKE) --no-print-directory PARLY_READY=1 $@
else
TEST_ARCH := $(shell scripts/test-arch.sh 2>/dev/null || echo win64)

all: product

build/win32/build.ninja:
	$(CMAKE_WIN) -B build/win32 -DPARLY_WIN_ARCH=i686

build/win64/build.ninja:
	$(CMAKE_WIN) -B build/win64 -DPARLY_WIN_ARCH=x86_64

build/native/build.ninja:
	cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPARLY_NATIVE=ON

build/fuzz/build.ninja:
	cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARLY_FUZZ=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

# The shipped product; its tests are built too only where they run (32-bit capable machines).
win32: build/win32/build.ninja
	cmake --build build/win32 -j $(JOBS) $(if $(filter win64,$(TEST_ARCH)),--target ParlyPlugin parly-host)

win64: build/win64/build.ninja
	cmake --build build/win64 -j $(JOBS)

native: build/native/build.ninja
	cmake --build build/native -j $(JOBS)

fuzz-build: build/fuzz/build.ninja
	cmake --build build/fuzz -j $(JOBS)

# What the README promises of `make`: the shipped plug-in and parly-host (and their x86_64 twins where the
# tests run on wine64); the tests are built by `make test`.
PRODUCT_TARGETS := --target ParlyPlugin parly-host
product: build/win32/build.ninja $(if $(filter win64,$(TEST_ARCH)),build/win64/build.ninja)
	cmake --build build/win32 -j $(JOBS) $(PRODUCT_TARGETS)
	$(if $(filter win64,$(TEST_ARCH)),cmake --build build/win64 -j $(JOBS) $(PRODUCT_TARGETS))

# Everything the Wine tests and the benchmarks need.
build: win32 $(if $(filter win64,$(TEST_ARCH)),win64)

# One Xvfb for the whole run, started after any earlier wineserver is gone (a
# Wine process started without a display spoils later dialogs in that prefix).
# Independent tests run side by side: the Wine tests each in a prefix of their own (cmake/wine-run.sh), one more
# than the cores, since they spend much of their time waiting for servers and time-outs; the fuzz smoke runs one
# target at a time beside them for the same reason.
TEST_JOBS ?= $(JOBS)
WINE_TEST_JOBS ?= $(shell echo $$(( $(JOBS) + 1 )))
test: build native fuzz-build
	cd build/native && ctest -j $(TEST_JOBS) --output-on-failure
	for p in build/$(TEST_ARCH)/wineprefix*/; do WINEPREFIX=$(CURDIR)/$$p wineserver -k 2>/dev/null || true; done
	(cd build/fuzz && ctest --output-on-failure > ctest-smoke.log 2>&1; echo $$? > ctest-smoke.rc) & \
	  (cd build/$(TEST_ARCH) && xvfb-run -a -s "-screen 0 1280x1024x24" ctest -j $(WINE_TEST_JOBS) --output-on-failure); \
	  wine=$$?; wait; cat build/fuzz/ctest-smoke.log; [ $$wine = 0 ] && [ "$$(cat build/fuzz/ctest-smoke.rc)" = 0 ]

demo: product
	scripts/demo.sh build/$(TEST_ARCH)

# Quiet: only the script's own output (and a failed build's) reaches the terminal.
try:
	@[ -n "$(SCRIPT)" ] || { echo "usage: make try SCRIPT=path [ARGS=\"parly-host options\"]" >&2; exit 2; }
	@[ -f build/$(TEST_ARCH)/parly-host.exe ] || echo "make try: building the plug-in and parly-host first (a few minutes)" >&2
	@log="$$(mktemp)"; $(MAKE) --no-print-directory product >"$$log" 2>&1 || { cat "$$log"; rm -f "$$log"; exit 1; }; rm -f "$$log"
	@scripts/try.sh build/$(TEST_ARCH) "$(SCRIPT)" $(ARGS)

fuzz: fuzz-build
	scripts/fuzz.sh build/fuzz 600

bench: build
	cmake --build build/$(TEST_ARCH) -j $(JOBS) --target bench_win
	scripts/bench.sh build/$(TEST_ARCH)

screenshots: product
	scripts/screenshots.sh build/$(TEST_ARCH)

VERSION := $(shell sed -n 's/^\#define PARLY_VERSION_TEXT "\(.*\)"/\1/p' plugin/version.h)
dist: product
	scripts/dist.sh build/win32 dist/ParlyPlugin-$(VERSION).zip
endif
