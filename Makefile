# stratdesk: `make run` starts the server, `make test` runs every test (plain and sanitized).

BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
SOAK_SECONDS ?= 600
JOBS       ?= $(shell nproc)
RUN_ARGS   ?=

# ccache, when the machine has it, makes rebuilds after a branch switch or a clean cheap.
CMAKE_FLAGS = -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
              $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# The sanitizers' usual -O1, and line tables only: their reports need file and line, and the
# sanitized Beast coroutine code builds in about half the time of -O2 -g.
ASAN_FLAGS  = -DSTRATDESK_SANITIZE=ON -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
# `make test` (and so CI) holds the code to no warnings at all; `make run` keeps whatever the
# build directory was configured with, so a newer compiler's new warning cannot stop a user.
TEST_FLAGS  = -DSTRATDESK_WERROR=ON

.PHONY: deps build build-server build-test build-asan run test test-plain test-asan test-cluster bench soak fuzz lint format format-check clean

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# The server alone, which is all `make run` starts (its scripts and data need no build).
build-server: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target stratdesk-server

build-test: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) $(TEST_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	@cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) $(ASAN_FLAGS) $(TEST_FLAGS) >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)

run: build-server
	@scripts/run.sh $(BUILD) $(RUN_ARGS)

# The tests labelled `cluster` need a Slurm cluster; `make test-cluster` runs them.
test-plain: build-test
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE cluster

# The Python suites of the stand-ins do not change under the sanitizers; run them once.
test-asan: build-asan
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -LE 'python|cluster'

test: test-plain test-asan

# The tests labelled `cluster` against a one-node Slurm cluster started on this machine (root)
# by scripts/slurm-local.sh, in a folder and on ports of its own so that a cluster of yours
# keeps running; the cluster is stopped again however the tests end, its logs shown on failure.
CLUSTER_DIR  ?= /tmp/stratdesk-slurm-test
CLUSTER_PORT ?= 6837
test-cluster: build-test
	@scripts/install-cluster-deps.sh
	@export STRATDESK_SLURM_DIR=$(CLUSTER_DIR) STRATDESK_SLURM_PORT=$(CLUSTER_PORT); \
	  cluster="$(CURDIR)/scripts/slurm-local.sh"; \
	  trap '"$$cluster" stop' EXIT; trap 'exit 130' INT TERM; \
	  { "$$cluster" start && eval "$$("$$cluster" env)" && \
	    cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L cluster; } || \
	  { "$$cluster" logs; exit 1; }

bench: build
	@$(BUILD)/bench/bench_ingest
	@$(BUILD)/bench/bench_paging
	@$(BUILD)/bench/bench_sweep

# A mixed load for SOAK_SECONDS, watching the server's memory, descriptors and children.
soak: build
	@$(BUILD)/bench/soak --seconds $(SOAK_SECONDS)

# Each fuzzer runs FUZZ_SECONDS (make fuzz FUZZ_SECONDS=600 for a longer hunt).
fuzz: deps
	@scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# clang-tidy (.clang-tidy) over the server's sources; needs only a configured build directory.
lint: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@scripts/lint.sh $(BUILD) $(JOBS)

format:
	@git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

format-check: deps
	@git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)

# ---- Packaging: a stripped -O2 Release build installed under /usr, as a .deb in
# $(PACKAGE_BUILD)/package; `make package-test` checks, installs, runs and purges it (root). ----
PACKAGE_BUILD ?= build-package
PACKAGE_FLAGS  = -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
                 -DCMAKE_INSTALL_PREFIX=/usr -DSTRATDESK_DEBIAN_LAYOUT=ON \
                 -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
                 $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

.PHONY: package package-test

package: deps
	@cmake -S . -B $(PACKAGE_BUILD) $(PACKAGE_FLAGS) >/dev/null
	@cmake --build $(PACKAGE_BUILD) -j $(JOBS) --target stratdesk-server
	@rm -f $(PACKAGE_BUILD)/package/*.deb
	@cd $(PACKAGE_BUILD) && cpack -G DEB >/dev/null
	@ls $(PACKAGE_BUILD)/package/*.deb

package-test: package
	@scripts/package-test.sh $(PACKAGE_BUILD)/package/stratdesk_*_amd64.deb
