# kDHT: build, test and demo on a Debian machine. `make test` and `make demo` install what is
# missing, build both Windows targets with mingw-w64 and run the x86_64 one under Wine.

BUILD      ?= build
B64        := $(BUILD)/win64
B32        := $(BUILD)/win32
PREFIX     := $(abspath $(B64))/wineprefix
WINE_RUN   := $(CURDIR)/tests/wine-run.sh
JOBS       ?= 2
# Debian's interpreter, where python3-pytest installs (a PATH python3 may be another one).
PYTHON     ?= /usr/bin/python3
APT_PKGS   := cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 \
              python3 python3-pytest googletest

export WINEPREFIX := $(PREFIX)
export WINEDEBUG  := -all
export KDHT_BUILD := $(abspath $(B64))

.PHONY: all deps build build64 build32 unit e2e test demo bench clean wine-up wine-down

all: build

# Installs only what is missing (dpkg-query is quick; apt-get runs once when needed).
deps:
	@missing=""; for p in $(APT_PKGS); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing; \
	fi

$(B64)/build.ninja: CMakeLists.txt CMakePresets.json | deps
	cmake --preset win64 -B $(B64) -DKDHT_WINEPREFIX=$(PREFIX)

$(B32)/build.ninja: CMakeLists.txt CMakePresets.json | deps
	cmake --preset win32 -B $(B32) -DKDHT_TESTS=OFF

build64: deps $(B64)/build.ninja
	cmake --build $(B64) -j $(JOBS)

build32: deps $(B32)/build.ninja
	cmake --build $(B32) -j $(JOBS)

build: build64 build32

# A warm wineserver (-p keeps it alive between processes) saves a second per Wine start.
# wineboot brings up Wine's own services here, with their output on /dev/null: started later by
# the first test instead, they would hold CTest's output pipe open until they exit.
wine-up:
	@mkdir -p $(PREFIX)
	@if [ ! -f $(PREFIX)/system.reg ]; then echo "Creating Wine prefix $(PREFIX)"; \
	  WINEDLLOVERRIDES="mscoree,mshtml=" $(WINE_RUN) wineboot -i </dev/null >/dev/null 2>&1 || true; fi
	@wineserver -p </dev/null >/dev/null 2>&1 &
	@WINEDLLOVERRIDES="mscoree,mshtml=" $(WINE_RUN) wineboot </dev/null >/dev/null 2>&1 || true

wine-down:
	@wineserver -k </dev/null >/dev/null 2>&1 || true

unit: build64 wine-up
	cd $(B64) && ctest --output-on-failure

e2e: build64 wine-up
	$(PYTHON) -m pytest -q tests/e2e tests/faults

test: build wine-up
	@status=0; \
	( cd $(B64) && ctest --output-on-failure ) || status=1; \
	$(PYTHON) -m pytest -q tests/e2e || status=1; \
	if [ -d tests/faults ] && ls tests/faults/test_*.py >/dev/null 2>&1; then $(PYTHON) -m pytest -q tests/faults || status=1; fi; \
	$(MAKE) --no-print-directory wine-down; exit $$status

demo: build64 wine-up
	$(PYTHON) tools/demo/demo.py --build $(B64); status=$$?; $(MAKE) --no-print-directory wine-down; exit $$status

bench: build64 wine-up
	$(PYTHON) tools/bench/bench.py --build $(B64); status=$$?; $(MAKE) --no-print-directory wine-down; exit $$status

clean:
	rm -rf $(BUILD)
