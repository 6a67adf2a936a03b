# `make run` runs the daemon, `make test` builds and runs every test, `make deb` packages.
# Both set up a fresh Debian 12 machine first through scripts/bootstrap.sh.

BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: run test build bootstrap bench deb format clean

bootstrap:
	@bash scripts/bootstrap.sh

$(BUILD)/build.ninja: CMakeLists.txt | bootstrap
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: bootstrap $(BUILD)/build.ninja
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

run: build
	@exec $(BUILD)/scripts/run-daemon.sh $(BUILD)

# The benchmarks are off in an ordinary build: this turns them on in $(BUILD) and runs each.
bench: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) -DCS_BUILD_BENCH=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@for b in $(BUILD)/bench/*_bench; do [ -x "$$b" ] && "$$b"; done

# The Debian package, coreservice_<version>-1_<arch>.deb in $(BUILD): apt install ./$(BUILD)/coreservice_*.deb
deb: build
	@cd $(BUILD) && cpack -G DEB

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf $(BUILD)
