# Veltrane: the two commands a developer needs are `make run` and `make test`.
# Both install what is missing first (Debian 12), then build into build/.

PACKAGES := build-essential cmake ninja-build pkg-config \
            qt6-base-dev qt6-base-dev-tools qt6-image-formats-plugins libgl-dev \
            libgtest-dev libgmock-dev \
            libspng-dev libdeflate-dev libturbojpeg0-dev libjpeg62-turbo-dev zlib1g-dev \
            xvfb xauth xdotool imagemagick x11-utils \
            desktop-file-utils appstream dpkg-dev time \
            libopencv-dnn-dev libopencv-imgproc-dev python3-onnx
JOBS    ?= $(shell nproc)
ARGS    ?=
FILTER  ?=
SUDO    := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
CMAKE_GEN := -G Ninja

.PHONY: all deps build model run test test-asan test-tsan bench fuzz fuzz-deps package clean

all: build

# Installs only what dpkg does not already report as installed, so a second
# run costs a second. A fresh machine's package lists are empty: update first.
deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

build/build.ninja:
	cmake -S . -B build $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release

build: deps build/build.ninja
	cmake --build build -j $(JOBS)

# The subject network's weights: not ours to put in the repository, so they
# are fetched from the npm registry's data package, reassembled and converted
# for OpenCV (tools/model/), and installed where the editor looks first. Skipped
# when the converted file is there. SUBJECT_SIDE is the network's input side,
# also in the file's name: the editor asks for subject-<side>.onnx with the
# side SubjectNetwork::inputSide names, so the two change together.
SUBJECT_PACKAGE := @imgly/background-removal-data@1.4.5
SUBJECT_SIDE    := 768
MODEL_DIR       := $(or $(XDG_DATA_HOME),$(HOME)/.local/share)/veltrane/models
MODEL_FILE      := $(MODEL_DIR)/subject-$(SUBJECT_SIDE).onnx

model: deps
	@if [ ! -f "$(MODEL_FILE)" ]; then \
	  command -v npm >/dev/null || { \
	    $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	    $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends npm; } || exit 1; \
	  work=$$(mktemp -d); \
	  echo "Fetching the subject model ($(SUBJECT_PACKAGE)) into $(MODEL_DIR)"; \
	  (cd $$work && npm pack --silent $(SUBJECT_PACKAGE) >/dev/null) && \
	  mkdir -p "$(MODEL_DIR)" && \
	  /usr/bin/python3 tools/model/convert-subject-model.py $$work/*.tgz "$(MODEL_FILE)" \
	    --size $(SUBJECT_SIDE); \
	  status=$$?; rm -rf $$work; exit $$status; \
	fi

run: build model
	@if [ -z "$$DISPLAY" ] && [ -z "$$WAYLAND_DISPLAY" ]; then \
	  echo "No display: Veltrane is a desktop program and needs one."; \
	  echo "On a machine without a screen, start a virtual one first:"; \
	  echo "  Xvfb :99 -screen 0 1920x1080x24 & DISPLAY=:99 make run ARGS=picture.jpg"; \
	  exit 1; \
	fi
	./build/veltrane $(ARGS)

# Tests run headless, and never touch the user's own cache or settings.
# $(1): build folder, $(2): ctest arguments, $(3): more environment.
define run_tests
	@cache=$$(mktemp -d); \
	env QT_QPA_PLATFORM=offscreen XDG_CACHE_HOME=$$cache XDG_CONFIG_HOME=$$cache/config $(3) \
	  ctest --test-dir $(1) --output-on-failure $(2); status=$$?; \
	rm -rf $$cache; exit $$status
endef

test: build model
	$(call run_tests,build,,)

build-asan/build.ninja:
	cmake -S . -B build-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DVELTRANE_SANITIZE=address,undefined

test-asan: deps model build-asan/build.ninja
	cmake --build build-asan -j $(JOBS)
	$(call run_tests,build-asan,,ASAN_OPTIONS=detect_leaks=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)

build-tsan/build.ninja:
	cmake -S . -B build-tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRANE_SANITIZE=thread

# The threaded parts: the platform layer, the imaging codecs, the canvas and the kit.
test-tsan: deps model build-tsan/build.ninja
	cmake --build build-tsan -j $(JOBS)
	$(call run_tests,build-tsan,-R '^(platform|imaging|canvas|kit)$$',\
	  TSAN_OPTIONS="ignore_noninstrumented_modules=1 suppressions=$(CURDIR)/tests/tsan.supp second_deadlock_stack=1")

# Fuzzing the picture readers: libFuzzer under ASan and UBSan, clang only,
# in build-fuzz/. Each target runs FUZZ_SECONDS from the seeds and reproducers
# in tests/fuzz/corpus/<reader>/; what it learns stays in build-fuzz/corpus/,
# and an input that breaks a reader is written to build-fuzz/artifacts/.
# FUZZ_READERS=frames also fuzzes the whole-file reader with Qt's plugins
# behind it, which runs at a few inputs a second.
FUZZ_SECONDS  ?= 60
FUZZ_READERS  ?= png jpeg mask
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev

fuzz-deps:
	@missing=""; for p in $(FUZZ_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

build-fuzz/build.ninja:
	cmake -S . -B build-fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRANE_FUZZ=ON \
	  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14

# Pictures within the limits take up to a gigabyte, hence the memory limit;
# a reader that leaks or breaks an invariant fails the run.
fuzz: deps fuzz-deps build-fuzz/build.ninja
	cmake --build build-fuzz -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_READERS))
	@mkdir -p build-fuzz/artifacts
	@for reader in $(FUZZ_READERS); do \
	  mkdir -p build-fuzz/corpus/$$reader; \
	  echo "== fuzz_$$reader for $(FUZZ_SECONDS) s"; \
	  env QT_QPA_PLATFORM=offscreen UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	    ./build-fuzz/fuzz_$$reader -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=6144 \
	    -timeout=30 -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/$$reader- \
	    build-fuzz/corpus/$$reader tests/fuzz/corpus/$$reader || exit 1; \
	done

bench: build
	QT_QPA_PLATFORM=offscreen ./build/veltrane-bench $(FILTER)

# A .deb of the editor with its desktop entry, icon and metainfo, in build/.
package: build
	cd build && cpack -G DEB
	@dpkg-deb -c build/veltrane_*.deb

clean:
	rm -rf build build-asan build-tsan build-fuzz
