# The project's commands. `make test` is what CI runs.
BUILD      ?= build
HOST_DIR   := $(BUILD)/host
WIN_DIR    := $(BUILD)/windows
JOBS       ?= $(shell nproc)
CMAKE_GEN  := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
HAVE_MINGW  = $(shell command -v i686-w64-mingw32-g++ >/dev/null 2>&1 && echo yes)

HAVE_CLANG := $(shell command -v clang++ >/dev/null 2>&1 && echo yes)
# Sanitizer builds (make sanitize) run the tests labelled here: the reliability campaign (faults, unplugs,
# concurrent requests) and the fuzz targets' corpora. Campaigns run every n-th fault point there.
SANITIZE_LABEL  ?= reliability
ASAN_STRIDE     ?= 2
TSAN_STRIDE     ?= 5
# Each fuzz target's run in make fuzz, in seconds, and the random seed it starts from. A fixed seed makes
# make test's fuzz runs repeat the same inputs on every machine (a slower machine runs a prefix of them);
# FUZZ_SEED=0 picks a new seed each time, for exploring: make fuzz FUZZ_SEED=0 FUZZ_TIME=600.
FUZZ_TIME       ?= 20
FUZZ_SEED       ?= 1207

.PHONY: all host reconfigure-host windows test demo demo-wine demo-cups install deps bench figures clean sanitize asan tsan fuzz \
	asan-build asan-run tsan-build tsan-run fuzz-run

all: host

deps:
	@./scripts/install-deps.sh

# The host build optimises as released (-O2) with line tables only (-g1): backtraces, perf and sanitizer-free
# crash reports still name function, file and line, and the product's sources compile in two thirds of the
# time of full debug information. For a debugger that shows local variables: make host HOST_DEBUG=-g.
HOST_DEBUG ?= -g1
# The host and sanitizer builds compile each target's sources in batches (unity builds): the headers, the
# platform's and the standard library's above all, are parsed once per batch instead of once per file, which
# halves their compile time. The Windows and demo builds still compile the product's files one by one, so that
# one that leans on its batch's includes is caught there. UNITY=OFF compiles file by file here too.
UNITY ?= ON
HOST_FLAGS  = -DOSLNK_WINDOWS_BUILD_DIR=$(abspath $(WIN_DIR)) -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 $(HOST_DEBUG) -DNDEBUG" \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 $(HOST_DEBUG) -DNDEBUG" -DCMAKE_UNITY_BUILD=$(UNITY)

$(HOST_DIR)/CMakeCache.txt:
	cmake -S . -B $(HOST_DIR) $(CMAKE_GEN) $(HOST_FLAGS)

host: $(HOST_DIR)/CMakeCache.txt
	cmake --build $(HOST_DIR) -j $(JOBS)

# Configures the host build again, so that it finds what make deps installed after it was first configured
# (GoogleTest, Google Benchmark, mingw-w64 for the Wine tests' probe program).
reconfigure-host:
	cmake -S . -B $(HOST_DIR) $(CMAKE_GEN) $(HOST_FLAGS) >/dev/null

windows:
	@if [ "$(HAVE_MINGW)" = yes ]; then \
	  cmake -S . -B $(WIN_DIR) $(CMAKE_GEN) -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/mingw-i686.cmake) -DCMAKE_BUILD_TYPE=Release && \
	  cmake --build $(WIN_DIR) -j $(JOBS); \
	else echo "windows: mingw-w64 is not installed; the Windows target is skipped (run make test as root to install it)"; fi

# The steps run side by side where they can: the three builds one after another (each keeps the cores busy),
# and each build's tests (CTest, the sanitizer runs, the fuzzers) beside the next build, where they fill the
# cores a link or a waiting test leaves idle. Each step's output is shown whole when it ends; the whole suite's
# summary is shown again at the end. A test skipped for a missing tool is named after the summary; as root
# or with CI=true it fails the run (scripts/run-ctest.sh). Every step's CPU and wall time: $(BUILD)/test-times.txt.
TEST_TIMES := $(abspath $(BUILD))/test-times.txt
test: deps
	@mkdir -p $(BUILD) && : > $(TEST_TIMES)
	@$(MAKE) --no-print-directory windows
	@$(MAKE) --no-print-directory reconfigure-host
	@status=0; $(MAKE) --no-print-directory -k -j 4 --output-sync=recurse test-steps || status=$$?; \
	  echo; echo "== make test: the whole suite's summary (each step's output is above)"; \
	  cat $(HOST_DIR)/ctest-summary.txt 2>/dev/null; \
	  echo "== step times (CPU = user + system of every process of the step)"; cat $(TEST_TIMES); \
	  exit $$status

STEP_TIME = ./scripts/step-time.sh $(TEST_TIMES) $@
.PHONY: test-steps test-host-build test-ctest test-asan-build test-asan-run test-fuzz-run test-tsan-build test-tsan-run
test-steps: test-ctest test-asan-run test-fuzz-run test-tsan-run
test-host-build:
	$(STEP_TIME) $(MAKE) --no-print-directory host
test-ctest: test-host-build
	OSLNK_CTEST_SUMMARY=$(abspath $(HOST_DIR))/ctest-summary.txt $(STEP_TIME) \
	  ./scripts/run-ctest.sh $(HOST_DIR) --output-on-failure -j $(JOBS) --timeout 600
test-asan-build: test-host-build
	$(STEP_TIME) $(MAKE) --no-print-directory asan-build
test-asan-run: test-asan-build
	$(STEP_TIME) $(MAKE) --no-print-directory asan-run
# The fuzzers run for a fixed time whatever CPU they get; at a lower priority they take what the TSan build
# leaves, instead of slowing the builds on the critical path (they run a shorter prefix of the seed's inputs).
test-fuzz-run: test-asan-build
	$(STEP_TIME) nice -n 10 $(MAKE) --no-print-directory fuzz-run
test-tsan-build: test-asan-build
	$(STEP_TIME) $(MAKE) --no-print-directory tsan-build
test-tsan-run: test-tsan-build
	$(STEP_TIME) $(MAKE) --no-print-directory tsan-run

# The reliability tests again under AddressSanitizer (+UBSan) and ThreadSanitizer. With clang, the ASan run
# uses the fuzz build (clang, ASan+UBSan, fuzzer coverage), so that make fuzz builds nothing more.
sanitize: asan tsan

# The sanitizer and fuzz builds keep line tables only (-g1): their reports still name file and line, and the
# compiler and linker do much less work than for full debug information. They optimise at -O1, as the
# sanitizers' own documentation advises: a fifth less compile time than -O2, and the reports stay exact.
SANITIZER_FLAGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_UNITY_BUILD=$(UNITY)

FUZZ_DIR   := $(BUILD)/fuzz
ASAN_DIR   := $(if $(HAVE_CLANG),$(FUZZ_DIR),$(BUILD)/asan)
FUZZ_CONFIGURE = cmake -S . -B $(FUZZ_DIR) $(CMAKE_GEN) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DOSLNK_FUZZ=ON -DOSLNK_SANITIZE=address $(SANITIZER_FLAGS) \
	  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link

asan: asan-build asan-run
asan-build:
ifeq ($(HAVE_CLANG),yes)
	$(FUZZ_CONFIGURE)
else
	cmake -S . -B $(ASAN_DIR) $(CMAKE_GEN) -DOSLNK_SANITIZE=address $(SANITIZER_FLAGS)
endif
	cmake --build $(ASAN_DIR) -j $(JOBS) --target test_reliability fuzz_all
asan-run:
	cd $(ASAN_DIR) && OSLNK_RELIABILITY_STRIDE=$(ASAN_STRIDE) \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest -L $(SANITIZE_LABEL) --output-on-failure -j $(JOBS) --timeout 1200

tsan: tsan-build tsan-run
tsan-build:
	cmake -S . -B $(BUILD)/tsan $(CMAKE_GEN) -DOSLNK_SANITIZE=thread $(SANITIZER_FLAGS)
	cmake --build $(BUILD)/tsan -j $(JOBS) --target test_reliability fuzz_all
tsan-run:
	cd $(BUILD)/tsan && OSLNK_RELIABILITY_STRIDE=$(TSAN_STRIDE) \
	  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(abspath tests/reliability/tsan.supp) \
	  ctest -L $(SANITIZE_LABEL) --output-on-failure -j $(JOBS) --timeout 1200

# libFuzzer targets, built with clang in build/fuzz and run for FUZZ_TIME seconds each.
fuzz:
ifeq ($(HAVE_CLANG),yes)
	$(FUZZ_CONFIGURE)
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz_all
endif
	@$(MAKE) --no-print-directory fuzz-run
fuzz-run:
ifeq ($(HAVE_CLANG),yes)
	./fuzz/run_fuzzers.sh $(FUZZ_DIR) $(FUZZ_TIME) $(FUZZ_SEED)
else
	@echo "fuzz: clang is not installed; the fuzz targets are skipped (make deps as root installs it)"
endif

# Only what the demo runs (ostrolink and the helper library it loads), no tests, benchmarks or GoogleTest, in
# a build of its own at -O1 without debug information: less compile time than the host build's -O2 -g1, and
# the demo itself runs in well under a second either way.
DEMO_DIR   := $(BUILD)/demo
demo:
	@[ -f $(DEMO_DIR)/CMakeCache.txt ] || cmake -S . -B $(DEMO_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Demo \
	  -DCMAKE_CXX_FLAGS_DEMO="-O1 -DNDEBUG" -DCMAKE_C_FLAGS_DEMO="-O1 -DNDEBUG" >/dev/null
	cmake --build $(DEMO_DIR) -j $(JOBS) --target ostrolink
	./scripts/demo.sh $(DEMO_DIR)

# The real images on Wine's kernel over the simulated cable bus (a fresh prefix: some seconds more). It needs
# the Windows target and the whole host tree, tests included: the Wine probes and the prefix are built there.
demo-wine: windows host
	./scripts/demo-wine.sh $(HOST_DIR) $(WIN_DIR)

# The cable on Linux through CUPS, end to end: a simulated cable behind an emulated USB device node
# (umockdev), real libusb, the ostrolink backend and a private cupsd on 127.0.0.1; shows lpinfo, lpstat
# and what the printer received.
demo-cups: deps $(HOST_DIR)/CMakeCache.txt
	@$(MAKE) --no-print-directory reconfigure-host
	@cmake --build $(HOST_DIR) -j $(JOBS) --target ostrolink-cups-demo || { \
	  echo "demo-cups: needs libusb-1.0, umockdev, libcups2-dev and cups (make deps as root installs them)"; exit 1; }
	$(HOST_DIR)/tests/cups/ostrolink-cups-demo

# The CUPS backend and the udev rule that gives the lp group the cable. CUPS runs a backend that others may
# execute (0755) as the unprivileged lp user, one that only root may (0700) as root: BACKEND_MODE=0700 for
# the latter. CUPS and udev look only under /usr (and /etc/udev), so PREFIX=/usr/local is for packaging.
PREFIX         ?= /usr
BACKEND_MODE   ?= 0755
UDEVRULESDIR   ?= $(PREFIX)/lib/udev/rules.d
install: $(HOST_DIR)/CMakeCache.txt
	@case "$(BACKEND_MODE)" in 0755|0700) ;; *) echo "install: BACKEND_MODE must be 0755 or 0700"; exit 1;; esac
	@cmake --build $(HOST_DIR) -j $(JOBS) --target ostrolink_cups_backend || { echo "install: the backend needs \
	  libusb-1.0 and libcups2-dev: make deps (as root) installs them, then make reconfigure-host"; exit 1; }
	install -d $(DESTDIR)$(PREFIX)/lib/cups/backend $(DESTDIR)$(UDEVRULESDIR)
	install -m $(BACKEND_MODE) $(HOST_DIR)/cups_backend/ostrolink-cups-backend $(DESTDIR)$(PREFIX)/lib/cups/backend/ostrolink
	install -m 0644 cups_backend/60-ostrolink.rules $(DESTDIR)$(UDEVRULESDIR)/60-ostrolink.rules
	@[ -n "$(DESTDIR)" ] || echo "install: run 'udevadm control --reload && udevadm trigger' and re-plug the cable"

# Both build only the benchmarks (target `benchmarks`) and what they link, in the host build.
bench: $(HOST_DIR)/CMakeCache.txt
	cmake --build $(HOST_DIR) -j $(JOBS) --target benchmarks
	./scripts/bench.sh $(HOST_DIR)

# Runs the benchmarks again and rewrites docs/figures.md and the README's figures table from what they measured.
figures: $(HOST_DIR)/CMakeCache.txt
	cmake --build $(HOST_DIR) -j $(JOBS) --target benchmarks
	./scripts/figures.sh $(HOST_DIR)

clean:
	rm -rf $(BUILD)
