# Set-up commands: `make run` builds quarnel and quarnel-mesh in Release and meshes preset 1
# (PRESET=n for another); `make test` builds everything and runs every test. Both install missing
# Debian packages when run as root, and otherwise print the command to run. `make install
# PREFIX=...` installs both tools, their manual pages and bash completions.
BUILD_DIR := build
PRESET ?= 1
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
RUN_PACKAGES := cmake make g++ libtbb-dev libpng-dev libmeshoptimizer-dev zlib1g-dev
# lib3mf-dev and unzip: independent readers of quarnel-mesh's .3mf and of its zip package;
# bindfs: a FUSE mount without unnamed files, for the tests of outputs on such file systems;
# prusa-slicer and chromium: the slicer that reads and slices quarnel-mesh's .3mf, and the browser
# that loads its .glb; mandoc: the checker of the manual pages.
TEST_PACKAGES := $(RUN_PACKAGES) libgtest-dev lib3mf-dev unzip assimp-utils bindfs prusa-slicer \
  chromium mandoc
# From npm, for the tests of quarnel-mesh's .glb output: the Khronos glTF validator, and three.js
# (with its meshopt decoder) to load the file in the browser.
NPM_TOOLS := gltf-validator@2.0.0-dev.3.10 three@0.170.0
NPM_TOOLS_DIR := $(BUILD_DIR)/tools
# Without the registry npm fails in seconds, not after minutes of retries.
NPM_FAST_FAIL := --fetch-timeout=10000 --fetch-retries=1 --fetch-retry-mintimeout=1000 \
  --fetch-retry-maxtimeout=2000
NPM_FAILED := npm could not install $(NPM_TOOLS) (see $(NPM_TOOLS_DIR)/npm.log): their tests \
  are skipped until 'make clean'
BENCH_PACKAGES := $(RUN_PACKAGES) libbenchmark-dev time

.PHONY: all deps-run deps-test deps-bench configure run test bench install clean npm-tools

all: test

# deps-%: installs the missing packages of that list (as root) or prints the command.
deps-run deps-test deps-bench: deps-%:
	@missing=""; \
	for p in $($(shell echo $* | tr a-z A-Z)_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	  else \
	    echo "Missing Debian packages. Run this, then try again:"; \
	    echo "  sudo apt-get install -y$$missing"; \
	    exit 1; \
	  fi; \
	fi

configure:
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release >/dev/null

# Only the two tools: no tests, no sanitizer build, no benchmarks.
run: deps-run configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target quarnel quarnel-mesh
	./$(BUILD_DIR)/quarnel $(PRESET)

# Both tools into PREFIX/bin (default /usr/local), their manual pages into share/man/man1 and
# their bash completions into share/bash-completion/completions.
PREFIX ?= /usr/local
install: deps-run configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target quarnel quarnel-mesh
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

test: deps-test configure npm-tools
	@cmake --build $(BUILD_DIR) -j $(JOBS)
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# Into build/tools, once. It needs npm: Debian's package when no other node.js is installed (one
# from elsewhere brings its own npm, and Debian's would conflict with it). Without npm, or without
# the npm registry, the tests that need these tools are skipped and say so; a failed install is
# not tried again until `make clean` (npm's own output is kept in build/tools/npm.log).
npm-tools:
	@if [ ! -f $(NPM_TOOLS_DIR)/node_modules/gltf-validator/package.json ] || \
	    [ ! -f $(NPM_TOOLS_DIR)/node_modules/three/package.json ]; then \
	  if [ -f $(NPM_TOOLS_DIR)/npm-failed ]; then \
	    echo "$(NPM_FAILED)"; \
	    exit 0; \
	  fi; \
	  if ! command -v npm >/dev/null && ! command -v node >/dev/null && [ "$$(id -u)" = 0 ]; then \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends npm || true; \
	  fi; \
	  if command -v npm >/dev/null; then \
	    mkdir -p $(NPM_TOOLS_DIR) && \
	    if npm install --prefix $(NPM_TOOLS_DIR) --no-save --no-audit --no-fund $(NPM_FAST_FAIL) \
	         $(NPM_TOOLS) > $(NPM_TOOLS_DIR)/npm.log 2>&1; then \
	      echo "installed $(NPM_TOOLS) into $(NPM_TOOLS_DIR)"; \
	    else \
	      touch $(NPM_TOOLS_DIR)/npm-failed; \
	      echo "$(NPM_FAILED)"; \
	    fi; \
	  else \
	    echo "npm not found (sudo apt-get install npm): the tests that need it are skipped"; \
	  fi; \
	fi

# Only what bench/run and the microbenchmarks run: no tests, no sanitizer build.
bench: deps-bench configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target quarnel quarnel_reference exact_share \
	  quarnel_bench
	bench/run $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
