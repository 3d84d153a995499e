# The user's commands. CMake does the building; this file only installs what
# a fresh Debian machine lacks, configures once and drives the build.

BUILD := build
PACKAGES := g++ make cmake pkg-config libgd-dev libgtest-dev
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
JOBS := $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build test demo bench clean

all: build

# Installs, with apt-get, whichever of $(PACKAGES) is missing.
deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' \
	    || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update && \
	    $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	fi

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@rm -rf demo && mkdir -p demo
	$(BUILD)/jpegfade examples/dawn.jpg examples/dusk.jpg demo/fade 12
	@echo "jpegfade wrote 12 frames, demo/fade00.JPG to demo/fade11.JPG:"
	@ls demo

bench: build
	$(BUILD)/jpegfade_bench $(BUILD)/jpegfade

clean:
	rm -rf $(BUILD) demo
