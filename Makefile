# Thin wrapper around CMake. `make` builds build/nv-term and build/nv52-sim.
#   make install [PREFIX=/usr/local] [DESTDIR=]    make uninstall (the same settings)
#   make package                                   build/nv-term_VERSION_ARCH.deb, every feature
#   make package-reduced                           the same, lacking what is not found, and saying so
#   make windows-package                           build-win/nv-term-VERSION-win64.zip and -x64.msi
JOBS ?= $(shell nproc)
CMAKE ?= cmake
BUILD ?= build
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: all build test demo demo-bench bench asan tsan fuzz install uninstall package package-reduced \
        clean windows test-windows windows-package

all: build

$(BUILD)/Makefile:
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: $(BUILD)/Makefile
	$(CMAKE) --build $(BUILD) -j$(JOBS)

# The test libraries may have been installed since the last configure: configure again (it
# finds them and adds the tests) before building.
test:
	scripts/setup-deps.sh
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DNV_WERROR=ON
	$(CMAKE) --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j$(JOBS) -LE windows
	@scripts/test-share.sh

install: build
	DESTDIR="$(DESTDIR)" $(CMAKE) --install $(BUILD) --prefix "$(PREFIX)"

# Removes what `make install` with the same PREFIX and DESTDIR put in place: the list comes from
# an installation into a scratch folder, so it holds even when the build's own record of the
# last installation is gone or was of another prefix.
uninstall: build
	@list=$$(mktemp -d) && trap 'rm -rf "$$list"' EXIT && \
	DESTDIR="$$list" $(CMAKE) --install $(BUILD) --prefix "$(PREFIX)" >/dev/null && \
	(cd "$$list" && find . ! -type d | sed 's|^\.||') | while read -r f; do \
	    rm -fv "$(DESTDIR)$$f"; done && \
	(cd "$$list" && find . -mindepth 1 -type d | sed 's|^\.||' | sort -r) | while read -r d; do \
	    case "$$d" in */nv-term) rmdir "$(DESTDIR)$$d" 2>/dev/null || true ;; esac; done

# The package holds every program with every transport: make package installs what they need,
# configures with all of it, and stops with the configure step's reason when something is still
# missing. make package-reduced builds with what is there and says in the package what it lacks.
# cpack takes the modes of the .deb's own members from the files it writes: umask 022 makes them
# the same on every machine.
package:
	scripts/setup-deps.sh package
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DNV_WITH_USB=ON -DNV_WITH_BT=ON \
	    -DNV_PACKAGE_REDUCED=OFF -DNV_WERROR=OFF
	$(CMAKE) --build $(BUILD) --target package_check
	$(CMAKE) --build $(BUILD) -j$(JOBS) --target packaged
	cd $(BUILD) && umask 022 && cpack --config CPackConfig.cmake

package-reduced:
	scripts/setup-deps.sh package-tools
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DNV_PACKAGE_REDUCED=ON -DNV_WERROR=OFF
	$(CMAKE) --build $(BUILD) -j$(JOBS) --target packaged
	cd $(BUILD) && umask 022 && cpack --config CPackConfig.cmake

demo: build
	@scripts/demo.sh

# Eight simulated instruments flashed at once by nv-service, and its record of them.
demo-bench: build
	@scripts/demo-bench.sh

bench: build
	@if [ -x scripts/bench.sh ]; then scripts/bench.sh; else echo "no benchmarks yet"; fi

# Runs ctest in the build directory $(1) with the sanitizer settings $(2). Every sanitized
# process, the programs the tests start included, writes its report to a file under
# $(1)/sanitizer-reports, and any report there fails the run even when the test passed.
define run_sanitized
	rm -rf $(1)/sanitizer-reports && mkdir -p $(1)/sanitizer-reports
	cd $(1) && env $(2) ctest --output-on-failure -j$(JOBS) -LE windows; status=$$?; cd $(CURDIR); \
	if ls $(1)/sanitizer-reports/* >/dev/null 2>&1; then \
	    echo "sanitizer reports in $(1)/sanitizer-reports:"; cat $(1)/sanitizer-reports/*; exit 1; \
	fi; exit $$status
endef

ASAN_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:log_path=$(CURDIR)/build-asan/sanitizer-reports/asan \
           UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(CURDIR)/build-asan/sanitizer-reports/ubsan
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:log_path=$(CURDIR)/build-tsan/sanitizer-reports/tsan

asan:
	scripts/setup-deps.sh
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNV_SANITIZE=address -DNV_WERROR=ON
	$(CMAKE) --build build-asan -j$(JOBS)
	$(call run_sanitized,build-asan,$(ASAN_ENV))

tsan:
	scripts/setup-deps.sh
	$(CMAKE) -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNV_SANITIZE=thread -DNV_WERROR=ON
	$(CMAKE) --build build-tsan -j$(JOBS)
	$(call run_sanitized,build-tsan,$(TSAN_ENV))

fuzz:
	@if [ -x scripts/fuzz.sh ]; then scripts/fuzz.sh; else echo "no fuzz targets yet"; fi

# Windows: build-win/nv-term.exe, nv-service.exe and nv52-sim.exe, cross-built with MinGW-w64, each a
# self-contained program. test-windows runs the end-to-end tests against nv-term.exe under Wine,
# then the Windows-only tests (build-win/win_tests.exe). A failed round is run once more, whole:
# under load, now and then a program started under Wine ends with status 1 before it has written
# a byte (nv-term.exe never ends so; README, "How it is tested"); a fault of ours fails both rounds.
windows:
	$(CMAKE) -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	    -DCMAKE_BUILD_TYPE=Release -DNV_WITH_USB=ON -DNV_WITH_BT=ON -DNV_WERROR=ON
	$(CMAKE) --build build-win -j$(JOBS) --target nv-term nv52-sim nv-service

test-windows: build windows
	$(CMAKE) --build build-win -j$(JOBS) --target win_tests nv-hold
	cd $(BUILD) && ctest --output-on-failure -L windows --repeat until-pass:2

# The Windows distribution: the two programs with their README and manual pages, as a .zip and
# as an installer (.msi) made with Debian's wixl.
windows-package:
	scripts/setup-deps.sh windows
	$(MAKE) windows
	$(CMAKE) --build build-win --target windows_package

clean:
	rm -rf build build-asan build-tsan build-fuzz build-win
