# The user's commands. How a build is configured (its flags, the sanitizer,
# fuzz and cross builds) lives in CMakeLists.txt and CMakePresets.json; this
# file installs what a fresh Debian machine lacks (through ./mk, which also
# installs make itself) and calls CMake. Nothing here runs from the tests.

BUILD := build
FUZZ_SECONDS ?= 60
# What a build needs; ./mk reads this line too, so it stays one line.
PACKAGES := make g++ cmake pkgconf dpkg-dev e2fsprogs xfsprogs libgd-dev libgtest-dev libjpeg-dev libseccomp-dev
JOBS := $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build test test-sanitize test-arm64 test-i386 cross-deps-arm64 \
  cross-deps-i386 fuzz demo \
  strip install uninstall orig package bench clean

all: build

# Installs, with apt-get, whichever of the Debian packages $(1) is missing
# (through sudo when not root; without either, names the command to run).
define install-missing
	@sh ./mk --install $(1)
endef

deps:
	$(call install-missing,$(PACKAGES))

# Configures the preset $(1) (CMakePresets.json) and builds it; CMake only
# reconfigures what changed.
define preset-build
	cmake --preset $(1) >/dev/null
	cmake --build --preset $(1) -j $(JOBS) $(2)
endef

build: deps
	$(call preset-build,release)

# After a ctest run in the build folder $(1): why each test or table row
# that skipped here did, from the tests' own output (ctest's summary names a
# skipped test but not its reason).
define skip-reasons
	@awk '/^\[ RUN      \] / { test = $$4 } \
	  /: Skipped$$/ { getline reason; print "skipped here: " test ": " reason } \
	  /skipped: / { print "skipped here: " test ": " $$0 }' \
	  $(1)/Testing/Temporary/LastTest.log 2>/dev/null || true
endef

test: build
	ctest --preset release -j $(JOBS)
	$(call skip-reasons,$(BUILD))

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
# The end-to-end tests run the sanitized tool, so any report fails a test.
test-sanitize: deps
	$(call preset-build,sanitize)
	ctest --preset sanitize -j $(JOBS)
	$(call skip-reasons,build-sanitize)

# The whole suite cross-built for another architecture and run under
# qemu-user, then the frames of the demo's pictures at several lengths
# compared byte for byte with the native build's. Needs root (for multiarch)
# and the other architecture's development packages, those of PACKAGES that
# the build links against; not part of `make test`.
CROSS_TRIPLET_arm64 := aarch64-linux-gnu
CROSS_TRIPLET_i386 := i686-linux-gnu
CROSS_QEMU_arm64 := aarch64
CROSS_QEMU_i386 := i386
CROSS_ALPHAS := 12 11 50 2 3
# The libraries of PACKAGES, for the other architecture.
CROSS_LIBRARIES := $(filter lib%-dev,$(PACKAGES))

# What a cross test needs installed: the cross compiler, qemu, and the
# other architecture's libraries.
cross-deps-arm64 cross-deps-i386: cross-deps-%:
	$(call install-missing,g++-$(CROSS_TRIPLET_$*) qemu-user-static \
	  $(addsuffix :$*,$(CROSS_LIBRARIES)))

test-arm64 test-i386: test-%: build cross-deps-%
	$(call preset-build,$*)
	ctest --preset $* -j $(JOBS)
	$(call skip-reasons,build-$*)
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
# corpus entries stay in build-fuzz/corpus for the next run; a failing input
# is written to build-fuzz/crash-* and fails the run.
fuzz: deps
	$(call install-missing,clang libclang-rt-14-dev)
	$(call preset-build,fuzz,--target fade_fuzzer make_seeds)
	rm -rf build-fuzz/seeds && mkdir -p build-fuzz/seeds build-fuzz/corpus
	build-fuzz/make_seeds build-fuzz/seeds
	build-fuzz/fade_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	  -rss_limit_mb=2048 -print_final_stats=1 -use_value_profile=1 \
	  -dict=fuzz/jpeg.dict -artifact_prefix=build-fuzz/ \
	  build-fuzz/corpus build-fuzz/seeds fuzz/findings

demo: build
	@rm -rf demo && mkdir -p demo
	$(BUILD)/jpegfade examples/dawn.jpg examples/dusk.jpg demo/fade 12
	@echo "jpegfade wrote 12 frames, demo/fade00.JPG to demo/fade11.JPG:"
	@ls demo

# Five frames of the demo side by side, in demo/fade-strip.jpg: the picture
# at the top of the README, which is replaced by copying it there.
strip: demo
	cmake --build $(BUILD) --target make_strip
	$(BUILD)/make_strip demo/fade-strip.jpg demo/fade00.JPG demo/fade03.JPG \
	  demo/fade05.JPG demo/fade08.JPG demo/fade11.JPG

# Installs build/jpegfade and its manual page under the default prefix
# (/usr/local), or under PREFIX.
install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# Removes what `make install` put under the same prefix: the list is what
# the install would write, made by installing into a scratch folder. The
# tool's own doc folder goes too once empty; no other folder is touched.
# It needs the build that was installed, and installs nothing itself.
UNINSTALL_LIST := $(BUILD)/uninstall-list

uninstall:
	@[ -f $(BUILD)/cmake_install.cmake ] || \
	  { echo "jpegfade: nothing built in $(BUILD) to uninstall"; exit 1; }
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

# The upstream version, the top of debian/changelog's version without its
# epoch and Debian revision, and the time every file of the upstream tarball
# carries: that of the oldest entry of this upstream version, so that a new
# Debian revision finds the same tarball. Shell code for a recipe that
# `set -e`: it sets `upstream` and `stamp`, or says why it cannot and fails.
define upstream-version
version=$$(dpkg-parsechangelog -l debian/changelog -S Version); \
upstream=$${version#*:}; \
case "$$upstream" in \
  *-*) upstream=$${upstream%-*} ;; \
  *) echo "jpegfade: the version in debian/changelog, $$version, has no" \
       "Debian revision (as 1.1.0-1 has); the 3.0 (quilt) format needs one" >&2; \
     exit 1 ;; \
esac; \
stamp=$$(dpkg-parsechangelog -l debian/changelog --format rfc822 --all | \
  awk -v upstream="$$upstream" '$$1 == "Version:" { v = $$2; \
    sub(/^[0-9]+:/, "", v); if (v ~ /-/) sub(/-[^-]*$$/, "", v); \
    if (v != upstream) exit } $$1 == "Timestamp:" { stamp = $$2 } \
    END { print stamp }')
endef

# Writes the upstream tarball $(2) of the folder $(1)/jpegfade-$$upstream
# without its debian/ (shell code after upstream-version): names sorted,
# every entry root's and dated $$stamp, readable by all, writable by its
# owner alone, executable where it was; xz on one thread. The same files
# give the same bytes, whoever makes it, wherever and under any umask.
define orig-tarball
env -u TAR_OPTIONS LC_ALL=C tar -c -f $(2).tar -C $(1) --format=gnu \
  --sort=name --anchored --exclude="jpegfade-$$upstream/debian" \
  --mtime="@$$stamp" --owner=0 --group=0 --numeric-owner \
  --mode=a+rX,u+w,go-w "jpegfade-$$upstream"; \
env -u XZ_DEFAULTS -u XZ_OPT xz -6 -T1 -c $(2).tar > $(2).xz.part; \
rm -f $(2).tar; mv $(2).xz.part $(2)
endef

# The upstream tarball dpkg-source expects beside the checkout,
# ../jpegfade_X.Y.Z.orig.tar.xz (X.Y.Z from debian/changelog): the files of
# the commit checked out, without debian/, in jpegfade-X.Y.Z/. Uncommitted
# changes are not in it (dpkg-source then refuses them). A commit that
# changes only debian/ gives the same bytes.
orig:
	$(call install-missing,dpkg-dev git xz-utils)
	@set -e; \
	top=$$(git rev-parse --show-toplevel 2>/dev/null) || top=; \
	if [ -z "$$top" ] || [ "$$(cd "$$top" && pwd -P)" != "$$(pwd -P)" ]; then \
	  echo "jpegfade: $(CURDIR) is not the top of a git checkout;" \
	    "make orig takes the files of the commit checked out" >&2; exit 1; \
	fi; \
	git rev-parse -q --verify 'HEAD^{commit}' >/dev/null || \
	  { echo "jpegfade: no commit is checked out in $(CURDIR)" >&2; exit 1; }; \
	$(upstream-version); \
	orig=../jpegfade_$$upstream.orig.tar.xz; \
	scratch=$$(mktemp -d); trap 'rm -rf "$$scratch"' EXIT; \
	mkdir "$$scratch/jpegfade-$$upstream"; \
	git archive --format=tar -o "$$scratch/head.tar" HEAD; \
	tar -x -f "$$scratch/head.tar" -C "$$scratch/jpegfade-$$upstream"; \
	$(call orig-tarball,"$$scratch","$$scratch/orig.tar.xz"); \
	cp "$$scratch/orig.tar.xz" "$$orig.part"; mv "$$orig.part" "$$orig"; \
	echo "jpegfade: wrote $$(cd .. && pwd)/$${orig#../}: jpegfade $$upstream," \
	  "commit $$(git rev-parse --short HEAD), without debian/"; \
	git diff --quiet HEAD -- . ':(exclude)debian' || \
	  echo "jpegfade: the tree holds uncommitted changes outside debian/," \
	    "which are not in it: dpkg-source will refuse them" >&2

# The files of the package's copy of the tree, NUL-separated: at the top
# of a git checkout, those git tracks, as they stand in the tree (a tracked
# file deleted there left out), so never a build folder, the demo or a
# run's frames; elsewhere (an unpacked source package), every file but
# .git, the build folders, the demo, dh's obj-* and frames at the top, as
# debian/source/options has dpkg-source ignore them.
define package-files
if top=$$(git rev-parse --show-toplevel 2>/dev/null) && \
   [ "$$(cd "$$top" && pwd -P)" = "$$(pwd -P)" ]; then \
  git ls-files -z | xargs -0 -r sh -c 'for file; do \
    if [ -e "$$file" ] || [ -L "$$file" ]; then printf "%s\0" "$$file"; fi; \
  done' sh; \
else \
  find . \( -path ./.git -o -path ./build -o -path './build-*' -o \
    -path ./demo -o -path './obj-*' \) -prune -o ! -type d \
    ! \( -name '*.JPG' ! -path './*/*' \) -print0; \
fi
endef

# The Debian package, built the Debian way (dpkg-buildpackage, source and
# binary, which also runs the whole suite) from a copy of the tree in
# $(BUILD)/package (package-files: uncommitted changes too, never a user's
# frames), and its upstream tarball made there from the same copy as make
# orig makes it, so that nothing is written beside the checkout; the .deb
# is then copied to $(BUILD)/. Where lintian is installed, any error or
# warning fails it. A lintian that knows an older policy than the package's
# Standards-Version (bookworm's knows 4.6.2) is told that a newer one is
# expected: its newer-standards-version is suppressed, with a line.
package: deps
	$(call install-missing,build-essential debhelper devscripts)
	@set -e; $(upstream-version); \
	rm -rf $(BUILD)/package; mkdir -p $(BUILD)/package/jpegfade-$$upstream; \
	{ $(package-files); } | tar -c --null -T - -f - | \
	  tar -x -f - -C $(BUILD)/package/jpegfade-$$upstream; \
	$(call orig-tarball,$(BUILD)/package,$(BUILD)/package/jpegfade_$$upstream.orig.tar.xz); \
	echo "jpegfade: $(BUILD)/package/jpegfade_$$upstream.orig.tar.xz made" \
	  "from a copy of the tree"; \
	cd $(BUILD)/package/jpegfade-$$upstream; \
	echo "cd $(BUILD)/package/jpegfade-$$upstream && dpkg-buildpackage -us -uc"; \
	dpkg-buildpackage -us -uc
	cp $(BUILD)/package/*.deb $(BUILD)/
	@if command -v lintian >/dev/null; then \
	  declared=$$(sed -n 's/^Standards-Version: *//p' debian/control); \
	  known=$$(sed -n 's/^ *"version" *: *"\([0-9.]*\)".*/\1/p' \
	    /usr/share/lintian/data/debian-policy/releases.json 2>/dev/null | \
	    sort -V | tail -n 1); \
	  suppress=; \
	  if dpkg --compare-versions "$${known:-0}" lt "$$declared"; then \
	    echo "jpegfade: this lintian knows policy $${known:-(unknown)};" \
	      "Standards-Version $$declared is newer, as expected"; \
	    suppress="--suppress-tags newer-standards-version"; \
	  fi; \
	  lintian --pedantic $$suppress $(BUILD)/package/*.changes | \
	    tee $(BUILD)/lintian.txt; \
	  ! grep -q '^[EW]: ' $(BUILD)/lintian.txt; \
	fi
	@ls $(BUILD)/*.deb

bench: build
	$(BUILD)/jpegfade_bench $(BUILD)/jpegfade

clean:
	rm -rf $(BUILD) build-sanitize build-fuzz build-arm64 build-i386 demo
