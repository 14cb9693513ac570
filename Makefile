# Set-up and everyday commands. `make run` and `make test` are all a fresh
# Debian machine needs: both install the missing packages first.
BUILD_DIR      ?= build
TEST_BUILD_DIR ?= build-test
JOBS           ?= $(shell nproc)

.PHONY: all deps build run stop test bench reliability fuzz clean format deb cross-arm64 house

all: build

deps:
	@./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVOLT_TESTS=OFF
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	./scripts/run.sh $(BUILD_DIR)

stop:
	./scripts/stop.sh

test: deps
	cmake -S . -B $(TEST_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVOLT_SANITIZE=ON
	cmake --build $(TEST_BUILD_DIR) -j $(JOBS)
	cd $(TEST_BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600

# The Debian package tarvolt_<version>_<arch>.deb in $(DEB_DIR), checked by
# lintian. Built in build-deb/ (Release-like, the packaging's flags).
DEB_DIR ?= dist
deb: deps
	./scripts/build-deb.sh $(DEB_DIR)

# Everything built for arm64 with Debian's cross toolchain, the unit and
# handler suites run under qemu-aarch64, and the arm64 package.
cross-arm64:
	./scripts/install-deps.sh --arm64
	./scripts/cross-arm64.sh $(DEB_DIR)

bench: deps
	./bench/run.sh

reliability: deps
	./bench/reliability.sh

fuzz: deps
	./fuzz/run.sh

# The drawing of the house: which unit includes which, as build/house.dot
# (Graphviz; circles in red), and every include circle in the tree.
house:
	@mkdir -p $(BUILD_DIR)
	./scripts/house.py --dot $(BUILD_DIR)/house.dot

format:
	find http platform services bench testing fuzz -name '*.h' -o -name '*.cpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(TEST_BUILD_DIR) build-deb build-arm64 $(DEB_DIR)
