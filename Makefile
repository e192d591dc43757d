# The two commands of the README: `make run` and `make test`. Both install what is missing first.
# `make package` builds the Debian package build/zirave_<version>_<arch>.deb.
# `make windows` cross-builds the Windows program and its ZIP and installer in build-windows/;
# `make windows-test` runs its tests under Wine.
BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
CMAKE_GENERATOR ?= Ninja
# CI sets WERROR=ON, so that no warning gets in; a newer compiler at home still builds.
WERROR ?= OFF

WINDOWS_DIR ?= build-windows
# The prebuilt Windows toolchain (Qt, SQLite, libcurl); tools/windows/build-toolchain makes one.
ZIRAVE_WIN_TOOLCHAIN ?= $(CURDIR)/../shared/windows/zirave-win64-toolchain.tar.xz
WINDOWS_DEPS = g++-mingw-w64-x86-64-posix nsis wine wine64 xz-utils x11-utils xdotool
# What lets Qt's serial port work on a pseudo-terminal under Wine 8.0, for the reader tests:
# ../shared/windows/serial/README.md says why and how.
ZIRAVE_WIN_SERIAL ?= $(CURDIR)/../shared/windows/serial
WINSERIAL_DIR = $(WINDOWS_DIR)/winserial
WINSERIAL = $(WINSERIAL_DIR)/ptyshim.so $(WINSERIAL_DIR)/winserial_hook.dll \
	$(WINSERIAL_DIR)/winserial_run.exe

.PHONY: all deps configure build run test package bench sanitize format-check windows \
	windows-test reader-sim clean

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

windows:
	@tools/install-deps $(WINDOWS_DEPS)
	tools/windows/unpack-toolchain "$(ZIRAVE_WIN_TOOLCHAIN)" $(WINDOWS_DIR)/toolchain
	cmake -S . -B $(WINDOWS_DIR) -G "$(CMAKE_GENERATOR)" \
		-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/tools/windows/mingw-w64.cmake \
		-DZIRAVE_WIN_TOOLCHAIN_DIR=$(CURDIR)/$(WINDOWS_DIR)/toolchain -DZIRAVE_WERROR=$(WERROR)
	cmake --build $(WINDOWS_DIR)
	cd $(WINDOWS_DIR) && cpack

# The installer test plays the reader to the installed program with the reader simulator, a Linux
# program.
windows-test: windows $(WINSERIAL) reader-sim
	ZIRAVE_READER_SIM=$(abspath $(BUILD_DIR))/tools/readersim/zirave-reader-sim \
		tools/windows/run-tests $(WINDOWS_DIR)

# Configured only when it is not yet, so that a build with other options stays as it is.
reader-sim: deps
	@[ -f $(BUILD_DIR)/CMakeCache.txt ] || $(MAKE) --no-print-directory configure
	cmake --build $(BUILD_DIR) --target zirave-reader-sim

$(WINSERIAL_DIR)/ptyshim.so: $(ZIRAVE_WIN_SERIAL)/ptyshim.c
	@mkdir -p $(@D)
	gcc -O2 -Wall -shared -fPIC -o $@ $< -ldl
$(WINSERIAL_DIR)/winserial_hook.dll: $(ZIRAVE_WIN_SERIAL)/winserial_hook.c
	@mkdir -p $(@D)
	x86_64-w64-mingw32-gcc-posix -O2 -Wall -shared -o $@ $<
$(WINSERIAL_DIR)/winserial_run.exe: $(ZIRAVE_WIN_SERIAL)/winserial_run.c
	@mkdir -p $(@D)
	x86_64-w64-mingw32-gcc-posix -O2 -Wall -municode -o $@ $<
$(ZIRAVE_WIN_SERIAL)/%.c:
	@echo "No $@." >&2
	@echo "The reader tests under Wine need ../shared/windows/serial beside the checkout, or the" >&2
	@echo "folder with ptyshim.c, winserial_hook.c and winserial_run.c named by" >&2
	@echo "ZIRAVE_WIN_SERIAL=/path/to/serial." >&2
	@exit 1

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(WINDOWS_DIR)
