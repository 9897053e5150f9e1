# Entry points for a fresh machine:
#   make demo   - install what is missing, build, run the main job
#   make test   - install what is missing, build, run every test
BUILD ?= build
CMAKE_ARGS ?=
JOBS ?= $(shell nproc)

.PHONY: all build demo test bench clean

all: build

build:
	scripts/setup.sh $(BUILD) $(CMAKE_ARGS)

demo: build
	$(BUILD)/bin/ovalith demo --out $(BUILD)/demo

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

bench:
	scripts/setup.sh build-release -DCMAKE_BUILD_TYPE=Release -DOVALITH_BUILD_TESTS=OFF
	scripts/bench.sh build-release

clean:
	rm -rf $(BUILD)
