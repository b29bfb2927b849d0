# The project's commands. `make test` is what CI runs.
BUILD      ?= build
HOST_DIR   := $(BUILD)/host
WIN_DIR    := $(BUILD)/windows
JOBS       ?= $(shell nproc)
CMAKE_GEN  := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
HAVE_MINGW  = $(shell command -v i686-w64-mingw32-g++ >/dev/null 2>&1 && echo yes)

.PHONY: all host windows test demo deps bench clean

all: host

deps:
	@./scripts/install-deps.sh

$(HOST_DIR)/CMakeCache.txt:
	cmake -S . -B $(HOST_DIR) $(CMAKE_GEN) -DOSLNK_WINDOWS_BUILD_DIR=$(abspath $(WIN_DIR))

host: $(HOST_DIR)/CMakeCache.txt
	cmake --build $(HOST_DIR) -j $(JOBS)

windows:
	@if [ "$(HAVE_MINGW)" = yes ]; then \
	  cmake -S . -B $(WIN_DIR) $(CMAKE_GEN) -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/mingw-i686.cmake) -DCMAKE_BUILD_TYPE=Release && \
	  cmake --build $(WIN_DIR) -j $(JOBS); \
	else echo "windows: mingw-w64 is not installed; the Windows target is skipped (run make test as root to install it)"; fi

test: deps
	@$(MAKE) --no-print-directory windows
	@$(MAKE) --no-print-directory host
	cd $(HOST_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600

demo: host
	./scripts/demo.sh $(HOST_DIR)

bench: host
	./scripts/bench.sh $(HOST_DIR)

clean:
	rm -rf $(BUILD)
