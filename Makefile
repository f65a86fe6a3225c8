# Front door: `make demo` installs onto simulated printers, `make test` builds and checks everything,
# `make bench` runs the benchmarks.
NATIVE   := build/native
WINDOWS  := build/windows
JOBS     ?= $(shell nproc)
FUZZ_SECONDS ?= 30

CMAKE_NATIVE_ARGS  := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
                      -DFUZZ_SECONDS=$(FUZZ_SECONDS)
CMAKE_WINDOWS_ARGS := -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake \
                      -DHOST_TOOLS_DIR=$(CURDIR)/$(NATIVE)/tools

.PHONY: all bootstrap native windows test test-native test-windows bench demo clean

all: native windows

bootstrap:
	@scripts/bootstrap

native: bootstrap
	cmake -S . -B $(NATIVE) $(CMAKE_NATIVE_ARGS)
	cmake --build $(NATIVE) -j$(JOBS)

# The Windows tree runs the product-data tools that the native tree builds.
windows: native
	cmake -S . -B $(WINDOWS) $(CMAKE_WINDOWS_ARGS)
	cmake --build $(WINDOWS) -j$(JOBS)

test: test-native test-windows

test-native: native
	cd $(NATIVE) && ctest --output-on-failure -j$(JOBS)

test-windows: windows
	scripts/wine-prefix $(WINDOWS)/wineprefix
	cd $(WINDOWS) && ctest --output-on-failure -j$(JOBS)

demo: windows
	scripts/demo

bench: native windows
	$(NATIVE)/tests/bench/restore_bench
	scripts/wine-prefix $(WINDOWS)/wineprefix
	tests/windows/with-sim.sh $(NATIVE)/sim/printer-sim --printer @2 -- \
	  $(WINDOWS)/wine-run.sh $(WINDOWS)/tests/bench/panel_transfer_bench.exe @2
	tests/windows/with-sim.sh $(NATIVE)/sim/printer-sim --printer @2 --printer @3,tls=on -- \
	  $(WINDOWS)/wine-run.sh $(WINDOWS)/tests/bench/tls_firmware_bench.exe @2 @3
	tests/e2e/run-scenario.sh --prefix $(WINDOWS)/wineprefix-netns --xvfb --printer @1 --timeout 300 -- \
	  $(WINDOWS)/tests/bench/startup_bench.exe $(CURDIR)/$(WINDOWS)/app/win32/FirmwareInstaller.exe
	tests/e2e/run-scenario.sh --prefix $(WINDOWS)/wineprefix-netns --xvfb --printer @1 --timeout 300 -- \
	  $(WINDOWS)/tests/bench/install_bench.exe $(CURDIR)/$(WINDOWS)/app/win32/FirmwareInstaller.exe @1
	tests/e2e/run-scenario.sh --prefix $(WINDOWS)/wineprefix-netns --xvfb --timeout 900 \
	  $(foreach n,$(shell seq 20),--printer @$(n),serial=ZT640-0020$(shell printf %02d $(n))) -- \
	  $(WINDOWS)/tests/bench/fleet_bench.exe $(CURDIR)/$(WINDOWS)/app/win32/FirmwareInstaller.exe $(foreach n,$(shell seq 20),@$(n))

clean:
	rm -rf build
