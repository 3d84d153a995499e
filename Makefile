# The user's commands. CMake does the building; this file only installs what
# a fresh Debian machine lacks (through ./mk, which also installs make
# itself), configures once and drives the build.

BUILD := build
SANITIZE_BUILD := build-sanitize
FUZZ_BUILD := build-fuzz
FUZZ_SECONDS ?= 60
# What a build needs; ./mk reads this line too, so it stays one line.
PACKAGES := make g++ cmake pkg-config dpkg-dev libgd-dev libgtest-dev libjpeg-dev
JOBS := $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build test test-sanitize test-arm64 test-i386 fuzz demo \
  strip install uninstall package bench clean

all: build

# Installs, with apt-get, whichever of the Debian packages $(1) is missing
# (through sudo when not root; without either, names the command to run).
define install-missing
	@sh ./mk --install $(1)
endef

deps:
	$(call install-missing,$(PACKAGES))

# The release build, and so the package, is hardened as Debian builds its
# own packages: the flags are dpkg-buildflags' (stack protector, fortified
# calls, format checks, read-only relocations bound at start; PIE is the
# compiler's default). CMake's -O3 for Release comes after their -O2.
# $(1) names the Debian architecture to build for (DEB_HOST_ARCH=arm64);
# empty, this machine's.
BUILDFLAGS := DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
hardened = CXXFLAGS="$$($(1) $(BUILDFLAGS) CXXFLAGS) $$($(1) $(BUILDFLAGS) CPPFLAGS)" \
  LDFLAGS="$$($(1) $(BUILDFLAGS) LDFLAGS)"

$(BUILD)/CMakeCache.txt: | deps
	$(call hardened,) cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer,
# configured the ordinary CMake way, from the compiler flags in the
# environment. Any report ends its process with a failure status, and the
# end-to-end tests run the sanitized tool, so any report fails a test.
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all \
  -fno-omit-frame-pointer
SANITIZE_OPTIONS := ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

$(SANITIZE_BUILD)/CMakeCache.txt: | deps
	CXXFLAGS="$(SANITIZE_FLAGS)" LDFLAGS="-fsanitize=address,undefined" \
	  cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

test-sanitize: deps $(SANITIZE_BUILD)/CMakeCache.txt
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && $(SANITIZE_OPTIONS) ctest --output-on-failure -j $(JOBS)

# The whole suite cross-built for another architecture and run under
# qemu-user, then the frames of the demo's pictures at several lengths
# compared byte for byte with the native build's. Needs root (for multiarch)
# and about 160 MB of packages; not part of `make test`.
CROSS_TRIPLET_arm64 := aarch64-linux-gnu
CROSS_TRIPLET_i386 := i686-linux-gnu
CROSS_QEMU_arm64 := aarch64
CROSS_QEMU_i386 := i386
CROSS_ALPHAS := 12 11 50 2 3

test-arm64 test-i386: test-%: build
	$(call install-missing,g++-$(CROSS_TRIPLET_$*) qemu-user-static \
	  libgd-dev:$* libjpeg-dev:$* libgtest-dev:$*)
	@[ -f build-$*/CMakeCache.txt ] || \
	  $(call hardened,DEB_HOST_ARCH=$*) cmake -S . -B build-$* \
	    -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/$(CROSS_TRIPLET_$*).cmake
	cmake --build build-$* -j $(JOBS)
	cd build-$* && ctest --output-on-failure -j $(JOBS)
	@rm -rf build-$*/frames && mkdir -p build-$*/frames/native build-$*/frames/$*
	@for alpha in $(CROSS_ALPHAS); do \
	  $(BUILD)/jpegfade examples/dawn.jpg examples/dusk.jpg \
	    build-$*/frames/native/a$${alpha}_ $$alpha && \
	  qemu-$(CROSS_QEMU_$*)-static build-$*/jpegfade examples/dawn.jpg \
	    examples/dusk.jpg build-$*/frames/$*/a$${alpha}_ $$alpha || exit 1; \
	done; \
	count=0; \
	for frame in build-$*/frames/native/*.JPG; do \
	  cmp "$$frame" build-$*/frames/$*/$${frame##*/} || exit 1; \
	  count=$$((count + 1)); \
	done; \
	[ "$$(ls build-$*/frames/$* | wc -l)" = $$count ] || exit 1; \
	echo "$*: $$count frames identical to the native build's"

# The fuzz target, built with clang and libFuzzer, run for FUZZ_SECONDS on the
# project's own seed pictures and the findings kept under fuzz/findings. New
# corpus entries stay in $(FUZZ_BUILD)/corpus for the next run; a failing
# input is written to $(FUZZ_BUILD)/crash-* and fails the run.
FUZZ_PACKAGES := clang libclang-rt-14-dev

$(FUZZ_BUILD)/CMakeCache.txt: | deps
	$(call install-missing,$(FUZZ_PACKAGES))
	CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DJPEGFADE_FUZZ=ON -DJPEGFADE_TESTS=OFF

fuzz: $(FUZZ_BUILD)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fade_fuzzer make_seeds
	rm -rf $(FUZZ_BUILD)/seeds && mkdir -p $(FUZZ_BUILD)/seeds $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/make_seeds $(FUZZ_BUILD)/seeds
	$(FUZZ_BUILD)/fade_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	  -rss_limit_mb=2048 -print_final_stats=1 -use_value_profile=1 \
	  -dict=fuzz/jpeg.dict \
	  -artifact_prefix=$(FUZZ_BUILD)/ \
	  $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/seeds fuzz/findings

demo: build
	@rm -rf demo && mkdir -p demo
	$(BUILD)/jpegfade examples/dawn.jpg examples/dusk.jpg demo/fade 12
	@echo "jpegfade wrote 12 frames, demo/fade00.JPG to demo/fade11.JPG:"
	@ls demo

# Five frames of the demo side by side: the picture at the top of the README.
strip: demo
	$(BUILD)/make_strip fade-strip.jpg demo/fade00.JPG demo/fade03.JPG \
	  demo/fade05.JPG demo/fade08.JPG demo/fade11.JPG

# Installs build/jpegfade and its manual page under the default prefix
# (/usr/local), or under PREFIX.
install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# Removes what `make install` put under the same prefix: the list is what
# the install would write, made by installing into a scratch folder. The
# tool's own doc folder goes too once empty; no other folder is touched.
UNINSTALL_LIST := $(BUILD)/uninstall-list

uninstall: | $(BUILD)/CMakeCache.txt
	@rm -rf $(UNINSTALL_LIST)
	@DESTDIR="$(abspath $(UNINSTALL_LIST))" cmake --install $(BUILD) \
	  $(if $(PREFIX),--prefix $(PREFIX)) >/dev/null
	@cd $(UNINSTALL_LIST) && find . ! -type d | sed 's|^\.||' | \
	  while IFS= read -r file; do \
	    if [ -e "$$file" ] || [ -L "$$file" ]; then rm -f "$$file" && echo "removed $$file"; fi; \
	  done
	@cd $(UNINSTALL_LIST) && find . -type d -name jpegfade | sed 's|^\.||' | \
	  while IFS= read -r dir; do rmdir "$$dir" 2>/dev/null || true; done
	@rm -rf $(UNINSTALL_LIST)

# A Debian package, $(BUILD)/jpegfade_<version>_amd64.deb; dpkg-shlibdeps
# (from dpkg-dev) computes its dependencies, and CPack needs `file`.
PACKAGE_TOOLS := dpkg-dev file

package: build
	$(call install-missing,$(PACKAGE_TOOLS))
	cd $(BUILD) && cpack
	@ls $(BUILD)/*.deb

bench: build
	$(BUILD)/jpegfade_bench $(BUILD)/jpegfade

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD) build-arm64 build-i386 demo
