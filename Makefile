# Set-up commands: `make run` builds in Release and meshes preset 1 (PRESET=n for another);
# `make test` builds and runs every test. Both install missing Debian packages when run as root.
BUILD_DIR := build
PRESET ?= 1
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PACKAGES := cmake make g++ libgtest-dev libbenchmark-dev libtbb-dev libsleef-dev libpng-dev \
            assimp-utils time

.PHONY: all deps configure build run test bench clean

all: build

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
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

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	./$(BUILD_DIR)/quarnel $(PRESET)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

bench: build
	bench/run $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
