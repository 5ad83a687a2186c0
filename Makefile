# Set-up commands: `make run` builds quarnel in Release and meshes preset 1 (PRESET=n for another);
# `make test` builds everything and runs every test. Both install missing Debian packages when
# run as root, and otherwise print the command to run.
BUILD_DIR := build
PRESET ?= 1
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
RUN_PACKAGES := cmake make g++ libtbb-dev libpng-dev libmeshoptimizer-dev lib3mf-dev
# bindfs: a FUSE mount without unnamed files, for the tests of outputs on such file systems.
TEST_PACKAGES := $(RUN_PACKAGES) libgtest-dev assimp-utils bindfs
# The Khronos glTF validator (an npm package), for the tests of quarnel-mesh's .glb output.
GLTF_VALIDATOR := gltf-validator@2.0.0-dev.3.10
BENCH_PACKAGES := $(RUN_PACKAGES) libbenchmark-dev time

.PHONY: all deps-run deps-test deps-bench configure run test bench clean gltf-validator

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

# Only the executable: no tests, no sanitizer build, no benchmarks.
run: deps-run configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target quarnel
	./$(BUILD_DIR)/quarnel $(PRESET)

test: deps-test configure gltf-validator
	@cmake --build $(BUILD_DIR) -j $(JOBS)
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# Into build/tools, once. It needs npm: Debian's package when no other node.js is installed (one
# from elsewhere brings its own npm, and Debian's would conflict with it). Without npm, or without
# the npm registry, the tests that need the validator are skipped and say so.
gltf-validator:
	@if [ ! -f $(BUILD_DIR)/tools/node_modules/gltf-validator/package.json ]; then \
	  if ! command -v npm >/dev/null && ! command -v node >/dev/null && [ "$$(id -u)" = 0 ]; then \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends npm || true; \
	  fi; \
	  if command -v npm >/dev/null; then \
	    mkdir -p $(BUILD_DIR)/tools && \
	    npm install --prefix $(BUILD_DIR)/tools --no-save --no-audit --no-fund $(GLTF_VALIDATOR) || \
	      echo "could not install the glTF validator: its checks will be skipped"; \
	  else \
	    echo "npm not found (sudo apt-get install npm): the glTF validator checks will be skipped"; \
	  fi; \
	fi

bench: deps-bench configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)
	bench/run $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
