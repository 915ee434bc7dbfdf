# make demo   - build everything and run a real download against the simulated board
# make check  - configure, build and run every test
# make bench  - download times against the simulated board, host-bound speed, memory
BUILD ?= build
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
JOBS ?= 2

.PHONY: all build check demo bench windows wine-check sanitize clean

all: build

build:
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(EXTRA)
	cmake --build $(BUILD) -j $(JOBS)

check: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	bash tools/demo.sh $(BUILD)

bench: build
	bash tools/bench.sh $(BUILD)

# Windows programs (tavram.exe, tavfla.exe) with the mingw-w64 cross compiler.
windows:
	cmake -S . -B build-windows $(GENERATOR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=Release
	cmake --build build-windows -j $(JOBS)

# The Windows programs under Wine (own temporary prefix; no COM port is opened).
wine-check: windows
	bash tests/wine/check.sh build-windows/bin

# Every test under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	$(MAKE) check BUILD=build-sanitize EXTRA="-DTAV_SANITIZE=ON"

clean:
	rm -rf $(BUILD) build-windows build-sanitize
