# Front door: `make demo` and `make test` install what is missing, build, and run.
BUILD ?= build
DEMO_SECONDS ?= 20
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test demo bench package coverage faults clean

all: build

deps:
	bash scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	bash scripts/run-tests.sh $(BUILD)

demo: build
	bash scripts/demo.sh $(BUILD) $(DEMO_SECONDS)

bench: build
	bash scripts/run-bench.sh $(BUILD)

# TAVRO.zip in $(BUILD): the fat plug-in folder with every slice this build made, and the pilot's README.
package: build
	cd $(BUILD) && cpack

# Line and branch report of the plug-in, its index and the installer's logic, in $(BUILD)-cov/coverage/.
coverage: deps
	bash scripts/coverage.sh $(BUILD)-cov

# Plants each fault of scripts/faults.tsv in a scratch copy and tells which tests kill it.
faults: deps
	python3 scripts/plant-faults.py -j$(JOBS)

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan $(BUILD)-fuzz $(BUILD)-cov .faults
