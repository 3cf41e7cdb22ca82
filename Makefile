# One entry point for people and CI: `make run` and `make test` set everything up first.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: all deps configure build run test sanitize demo bench install clean

all: build

deps:
	@scripts/setup-deps.sh

configure: deps
	@[ -f $(BUILD)/build.ninja ] || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/pindrift

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 300

# The tests built with clang under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	scripts/sanitize.sh

demo: build
	scripts/demo.sh $(BUILD)

# Figures, not pass/fail: see bench/RESULTS.md.
bench: build
	cmake --build $(BUILD) -j $(JOBS) --target benchmarks
	bench/run.sh $(BUILD)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD)
