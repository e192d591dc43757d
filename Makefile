# The two commands of the README: `make run` and `make test`. Both install what is missing first.
# `make package` builds the Debian package build/zirave_<version>_<arch>.deb.
BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
CMAKE_GENERATOR ?= Ninja
# CI sets WERROR=ON, so that no warning gets in; a newer compiler at home still builds.
WERROR ?= OFF

.PHONY: all deps configure build run test package bench sanitize format-check clean

all: build

deps:
	@tools/install-deps

configure: deps
	cmake -S . -B $(BUILD_DIR) -G "$(CMAKE_GENERATOR)" -DZIRAVE_WERROR=$(WERROR)

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

# Every test again, built with AddressSanitizer and UndefinedBehaviorSanitizer; the first report
# ends the test that made it. What Qt itself leaks is suppressed in tests/lsan.supp, by the Qt
# function that allocated it.
sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) -G "$(CMAKE_GENERATOR)" -DCMAKE_BUILD_TYPE=Debug \
		-DZIRAVE_SANITIZE=ON -DZIRAVE_WERROR=$(WERROR)
	cmake --build $(SANITIZE_DIR)
	cd $(SANITIZE_DIR) && \
		ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure

# Every tracked C++ file must be as clang-format leaves it.
format-check:
	@tools/install-deps clang-format
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR)
