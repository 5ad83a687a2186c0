# Set-up commands: `make run` builds quarnel in Release and meshes preset 1 (PRESET=n for another);
# `make test` builds everything and runs every test. Both install missing Debian packages when
# run as root, and otherwise print the command to run.
BUILD_DIR := build
PRESET ?= 1
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
RUN_PACKAGES := cmake make g++ libtbb-dev libpng-dev
TEST_PACKAGES := $(RUN_PACKAGES) libgtest-dev assimp-utils
BENCH_PACKAGES := $(RUN_PACKAGES) libbenchmark-dev time

.PHONY: all deps-run deps-test deps-bench configure run test bench clean

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

test: deps-test configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

bench: deps-bench configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)
	bench/run $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
