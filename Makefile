# make demo     - build the four programs (no test) and run real downloads against the
#                 simulated board
# make check    - configure, build and run every test
# make install  - install under PREFIX (default /usr/local); DESTDIR is honoured
# make package  - the .deb (build-package/); make windows-package - the Windows zip
# make fuzz     - build the libFuzzer targets with clang and run each for FUZZ_SECONDS
# make bench    - download times against the simulated board, host-bound speed, memory;
#                 NET_RTT_MS=N: a board N ms of round trip away (tools/netdelay)
BUILD ?= build
PREFIX ?= /usr/local
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
JOBS ?= 2
FUZZ_SECONDS ?= 60

.PHONY: all configure build check demo install package windows windows-package wine-check \
	sanitize man-check fuzz bench clean

all: build

configure:
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(EXTRA)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

check: configure
	@grep -q '^TAV_TESTS_BUILT:INTERNAL=ON$$' $(BUILD)/CMakeCache.txt || \
	  { echo "make check: GoogleTest not found; install the package libgtest-dev" \
	    "(apt-get install libgtest-dev)"; exit 2; }
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Only the programs the demo runs or a user runs next: a first command that builds no test.
demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target tavram tavfla tavsim lanegen
	bash tools/demo.sh $(BUILD)

# The programs are built for PREFIX: run from PREFIX/bin they keep their settings in the
# user's ~/.config/tavloader.
install:
	$(MAKE) build EXTRA="-DCMAKE_INSTALL_PREFIX=$(PREFIX) $(EXTRA)"
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)

# A Release build for /usr without the tests, packed by CPack.
package:
	cmake -S . -B build-package $(GENERATOR) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_INSTALL_PREFIX=/usr -DTAV_BUILD_TESTS=OFF
	cmake --build build-package -j $(JOBS)
	cd build-package && cpack
	@ls build-package/*.deb

bench: build
	NET_RTT_MS=$(NET_RTT_MS) bash tools/bench.sh $(BUILD)

# Windows programs (tavram.exe, tavfla.exe) with the mingw-w64 cross compiler.
windows:
	cmake -S . -B build-windows $(GENERATOR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=Release
	cmake --build build-windows -j $(JOBS)

windows-package: windows
	cd build-windows && cpack
	@ls build-windows/*.zip

# The Windows programs under Wine (own temporary prefix), with downloads through COM1 to the
# simulated board on a pty (the Linux build gives tavsim and the modem-line library).
wine-check: windows build
	bash tests/wine/check.sh build-windows/bin $(BUILD)

# Every test under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	$(MAKE) check BUILD=build-sanitize EXTRA="-DTAV_SANITIZE=ON"

# libFuzzer targets (clang, ASan, UBSan) in their own build; each runs FUZZ_SECONDS.
fuzz:
	cmake -S . -B build-fuzz $(GENERATOR) -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAV_FUZZ=ON -DTAV_BUILD_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS) --target fuzz_all
	bash fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

# The manual pages through groff's warnings.
man-check:
	bash tools/check_man.sh

clean:
	rm -rf $(BUILD) build-windows build-sanitize build-package build-fuzz
