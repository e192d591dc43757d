# The two commands of the README: `make run` and `make test`. Both install what is missing first.
# `make package` builds the Debian package build/zirave_<version>_<arch>.deb.
BUILD_DIR ?= build
CMAKE_GENERATOR ?= Ninja

.PHONY: all deps configure build run test package bench clean

all: build

deps:
	@tools/install-deps

configure: deps
	cmake -S . -B $(BUILD_DIR) -G "$(CMAKE_GENERATOR)"

build: configure
	cmake --build $(BUILD_DIR)

run: build
	$(BUILD_DIR)/app/zirave

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure

package: build
	cmake --build $(BUILD_DIR) --target package

bench: build
	cmake --build $(BUILD_DIR) --target zirave-bench
	$(BUILD_DIR)/bench/zirave-bench

clean:
	rm -rf $(BUILD_DIR)
