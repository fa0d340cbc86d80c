# kDHT: build, test and demo on a Debian machine. `make test` and `make demo` install what is
# missing, build both Windows targets with mingw-w64 and run them under Wine. The i686 build is
# the one that ships: every suite, the demo and the bench run it, through the WoW64 of Wine's
# 64-bit loader (tools/wine32/setup.sh); the x86_64 build is tested beside it.

BUILD      ?= build
B64        := $(BUILD)/win64
B32        := $(BUILD)/win32
# One prefix for both builds: a 64-bit Windows machine that runs 32-bit programs too.
PREFIX     := $(abspath $(BUILD))/wineprefix
WINE_RUN   := $(CURDIR)/tools/wine-run.sh
JOBS       ?= 2
# Debian's interpreter, where python3-pytest installs (a PATH python3 may be another one).
PYTHON     ?= /usr/bin/python3
APT_PKGS   := cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 \
              libz-mingw-w64 python3 python3-pytest googletest ccache openssl osslsigncode
# The 32-bit Wine DLLs, unpacked once per libwine version and kept between clones.
KDHT_CACHE ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/kdht
WINE32     := $(CURDIR)/tools/wine32/setup.sh
# Where the set-up puts them; worked out once, when first used (after `deps` on a new machine).
WINE32_DLLPATH = $(eval WINE32_DLLPATH := $$(shell $(WINE32) --path $(KDHT_CACHE) 2>/dev/null))$(WINE32_DLLPATH)

export WINEPREFIX := $(PREFIX)
export WINEDEBUG  := -all
export WINEDLLPATH = $(WINE32_DLLPATH)
export KDHT_CACHE
# A compiler cache for both builds, kept between clones beside the DLL cache: paths under the
# clone are hashed relative to it, so a clone in another folder hits the same entries.
export CCACHE_DIR      ?= $(KDHT_CACHE)/ccache
export CCACHE_BASEDIR  := $(CURDIR)
export CCACHE_NOHASHDIR := 1
CCACHE_FLAGS := -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
# The build under test unless a target says otherwise: the shipped one.
export KDHT_BUILD := $(abspath $(B32))

.PHONY: all deps build build64 build32 wine32 wine32-env canary unit e2e test test-full demo bench clean \
        wine-up wine-down dist dist-check check-deps clang32 clang64 clang-canary tidy fuzz-build fuzz check

all: build

# Installs the packages of $(1) that are missing (dpkg-query is quick; apt-get runs once when
# needed).
define install-missing
missing=""; for p in $(1); do \
  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
done; \
if [ -n "$$missing" ]; then \
  echo "Installing:$$missing"; \
  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing; \
fi
endef

deps:
	@$(call install-missing,$(APT_PKGS))

$(B64)/build.ninja: CMakeLists.txt CMakePresets.json | deps
	cmake --preset win64 -B $(B64) -DKDHT_WINEPREFIX=$(PREFIX) $(CCACHE_FLAGS)

$(B32)/build.ninja: CMakeLists.txt CMakePresets.json | deps
	cmake --preset win32 -B $(B32) -DKDHT_WINEPREFIX=$(PREFIX) $(CCACHE_FLAGS)

build64: deps $(B64)/build.ninja
	cmake --build $(B64) -j $(JOBS)

build32: deps $(B32)/build.ninja
	cmake --build $(B32) -j $(JOBS)

build: build64 build32

# The 32-bit builtin DLLs of the installed Wine (fails, naming what is missing, when they cannot
# be had: nothing falls back to testing less).
wine32: deps
	@$(WINE32) $(KDHT_CACHE) >/dev/null

# The lines that let the system's Wine run the i686 build by hand in the project's prefix:
#   eval "$(make -s wine32-env)"
wine32-env: wine32
	@echo "export WINEDLLPATH='$(WINE32_DLLPATH)'"
	@echo "export WINEPREFIX='$(PREFIX)'"
	@echo "export WINEDEBUG=-all"

# A warm wineserver (-p keeps it alive between processes) saves a second per Wine start.
# wineboot brings up Wine's own services here, with their output on /dev/null: started later by
# the first test instead, they would hold CTest's output pipe open until they exit. A prefix made
# before the 32-bit DLLs were set up gets its syswow64 only through a bootstrap update.
wine-up: wine32
	@mkdir -p $(PREFIX)
	@if [ ! -f $(PREFIX)/system.reg ]; then echo "Creating Wine prefix $(PREFIX)"; \
	  WINEDLLOVERRIDES="mscoree,mshtml=" $(WINE_RUN) wineboot -i </dev/null >/dev/null 2>&1 || true; fi
	@if [ ! -f $(PREFIX)/drive_c/windows/syswow64/kernel32.dll ]; then echo "Adding 32-bit support to $(PREFIX)"; \
	  WINEBOOTSTRAPMODE=1 WINEDLLOVERRIDES="mscoree,mshtml=" $(WINE_RUN) wineboot -u </dev/null >/dev/null 2>&1 || true; fi
	@test -f $(PREFIX)/drive_c/windows/syswow64/kernel32.dll || \
	  { echo "wine-up: $(PREFIX) has no C:\\windows\\syswow64: 32-bit programs cannot run" >&2; exit 1; }
	@wineserver -p </dev/null >/dev/null 2>&1 &
	@WINEDLLOVERRIDES="mscoree,mshtml=" $(WINE_RUN) wineboot </dev/null >/dev/null 2>&1 || true

wine-down:
	@wineserver -k </dev/null >/dev/null 2>&1 || true

# Proof, before any suite, that a program of each width really runs here.
canary: build wine-up
	@for b in $(B32):"kDHT canary: 32-bit process under WoW64" $(B64):"kDHT canary: 64-bit process"; do \
	  dir=$${b%%:*}; want=$${b#*:}; got=$$($(WINE_RUN) $$dir/bin/kCanary.exe 2>&1 | tr -d '\r'); \
	  if [ "$$got" != "$$want" ]; then \
	    echo "canary: $$dir/bin/kCanary.exe printed '$$got', not '$$want': its programs do not run under this Wine" >&2; \
	    exit 1; fi; \
	  echo "$$want"; \
	done

unit: canary
	cd $(B32) && ctest --output-on-failure
	cd $(B64) && ctest --output-on-failure

e2e: canary
	$(PYTHON) -m pytest -q tests/e2e tests/faults

# Every suite, each stage timed (tests/stages.sh prints the wall times and the sweeps' seed at the
# end): unit tests of both builds; the end-to-end scenarios and the fault suite against the i686
# build; the end-to-end scenarios where the width matters against the x86_64 build. The fault
# suite's randomized sweeps (kill points, hostile edits) are a sample drawn from a seed that changes
# per run: `make test KDHT_SWEEP_SEED=N` replays one. `make test-full` runs every case of every
# sweep and every scenario in both widths.
test:
	@MAKE="$(MAKE)" PYTHON=$(PYTHON) B32=$(B32) B64=$(B64) tests/stages.sh quick

test-full:
	@MAKE="$(MAKE)" PYTHON=$(PYTHON) B32=$(B32) B64=$(B64) tests/stages.sh full

# `make demo DEMO_ARGS=--https` runs both passes over HTTPS.
demo: build32 wine-up
	$(PYTHON) tools/demo/demo.py --build $(B32) $(DEMO_ARGS); status=$$?; $(MAKE) --no-print-directory wine-down; exit $$status

bench: build wine-up
	$(PYTHON) tools/bench/bench.py --build $(B32) --compare x86_64=$(B64)/bin/kDHT.exe; status=$$?; \
	$(MAKE) --no-print-directory wine-down; exit $$status

# The release packages (docs/release.md): dist/kDHT-<version>-win32.zip (the one that ships) and
# -win64.zip, built from scratch in their own folders without the compiler cache, every time stamp
# the commit's, so that any clone of the same commit gives the same bytes (`make dist-check`).
# `make dist SIGN_CERT=cert.pem SIGN_KEY=key.pem [SIGN_PASS_FILE=f] [SIGN_TSA=url]` signs the
# binaries (Authenticode, SHA-256; an RFC 3161 time stamp only with SIGN_TSA).
DIST       ?= dist
SIGN_ARGS   = $(if $(SIGN_CERT),--sign-cert $(abspath $(SIGN_CERT))) $(if $(SIGN_KEY),--sign-key $(abspath $(SIGN_KEY))) \
              $(if $(SIGN_PASS_FILE),--sign-pass-file $(abspath $(SIGN_PASS_FILE))) $(if $(SIGN_TSA),--sign-tsa $(SIGN_TSA))
dist: deps
	@set -e; export SOURCE_DATE_EPOCH=$$(git log -1 --format=%ct) CCACHE_DISABLE=1; \
	if [ -n "$$(git status --porcelain --untracked-files=no)" ]; then \
	  echo "dist: uncommitted changes: the package is built from them and its BUILDINFO says so" >&2; fi; \
	rm -rf $(BUILD)/dist-win32 $(BUILD)/dist-win64 $(DIST); \
	for a in win64 win32; do \
	  echo "== dist: $$a (SOURCE_DATE_EPOCH=$$SOURCE_DATE_EPOCH)"; \
	  cmake --preset dist-$$a -B $(BUILD)/dist-$$a >/dev/null; \
	  cmake --build $(BUILD)/dist-$$a -j $(JOBS) --target kDHT kDHTInfo KGnMD5; \
	  $(PYTHON) tools/release/package.py --build $(BUILD)/dist-$$a --arch $$a --out $(DIST) $(SIGN_ARGS); \
	done; \
	cd $(DIST) && sha256sum kDHT-*.zip > SHA256SUMS && echo "== dist:" && cat SHA256SUMS

# Two clones of HEAD in two folders, each `make dist`, one after the other; their zips compared.
dist-check: deps
	@tools/release/dist-check.sh

# `make check`: a second compiler, a static analyser and the fuzzers (docs/testing.md).
# Debian's clang builds every file of src/ and agent/ for both mingw targets, warnings as errors
# and no GNU extensions, links with lld and runs its canaries; clang-tidy analyses src/ with the
# checks of .clang-tidy; each fuzz target runs FUZZ_SECONDS (20 here; `make fuzz FUZZ_SECONDS=600`
# for a long run).
CLANG_PKGS   := clang-14 lld-14 libclang-rt-14-dev clang-tidy-14
C32          := $(BUILD)/clang32
C64          := $(BUILD)/clang64
FUZZ_BUILD   := $(BUILD)/fuzz
FUZZ_TARGETS := plain_xml seal reply status_stamp proxy_codes filter_text script_details
FUZZ_SECONDS ?= 20

check-deps: deps
	@$(call install-missing,$(CLANG_PKGS))

$(C32)/build.ninja: CMakeLists.txt CMakePresets.json cmake/clang-mingw.cmake | check-deps
	cmake --preset clang32 -B $(C32) $(CCACHE_FLAGS)

$(C64)/build.ninja: CMakeLists.txt CMakePresets.json cmake/clang-mingw.cmake | check-deps
	cmake --preset clang64 -B $(C64) $(CCACHE_FLAGS)

clang32: check-deps $(C32)/build.ninja
	cmake --build $(C32) -j $(JOBS)

clang64: check-deps $(C64)/build.ninja
	cmake --build $(C64) -j $(JOBS)

clang-canary: clang32 clang64 wine-up
	@for b in $(C32):"kDHT canary: 32-bit process under WoW64" $(C64):"kDHT canary: 64-bit process"; do \
	  dir=$${b%%:*}; want=$${b#*:}; got=$$($(WINE_RUN) $$dir/bin/kCanary.exe 2>&1 | tr -d '\r'); \
	  if [ "$$got" != "$$want" ]; then \
	    echo "clang canary: $$dir/bin/kCanary.exe printed '$$got', not '$$want'" >&2; exit 1; fi; \
	  echo "$$want (clang)"; \
	done

tidy: clang32
	JOBS=$(JOBS) $(PYTHON) tools/check/tidy.py $(C32)

$(FUZZ_BUILD)/build.ninja: tests/fuzz/CMakeLists.txt | check-deps
	cmake -S tests/fuzz -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE= \
	  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache

fuzz-build: check-deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

# Each target in turn, niced, for FUZZ_SECONDS: what it finds new goes to a scratch corpus under
# the build folder (the seeds in tests/fuzz/corpus/<target>/ are only read), a failing input to
# $(FUZZ_BUILD)/crashes/. The last line of each target's log gives its executions.
fuzz: fuzz-build
	@mkdir -p $(FUZZ_BUILD)/crashes; status=0; \
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/work/$$t; \
	  if nice -n 10 $(FUZZ_BUILD)/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	       -artifact_prefix=$(FUZZ_BUILD)/crashes/$$t- $(FUZZ_BUILD)/work/$$t tests/fuzz/corpus/$$t \
	       >$(FUZZ_BUILD)/$$t.log 2>&1; then \
	    echo "fuzz $$t: $$(grep -o 'stat::number_of_executed_units: *[0-9]*' $(FUZZ_BUILD)/$$t.log | grep -o '[0-9]*$$') executions in $(FUZZ_SECONDS) s, no finding"; \
	  else \
	    echo "fuzz $$t: FAILED; see $(FUZZ_BUILD)/$$t.log and $(FUZZ_BUILD)/crashes/" >&2; \
	    grep -E 'property failed|ERROR:|SUMMARY:|Test unit written' $(FUZZ_BUILD)/$$t.log >&2; status=1; \
	  fi; \
	done; exit $$status

check: clang-canary tidy fuzz

clean:
	rm -rf $(BUILD) $(DIST)
