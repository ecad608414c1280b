# Front door: `make` builds, `make check` tests, `make demo` shows the daemon at work.
BUILD      ?= build
JOBS       ?= 2
CMAKE_TYPE ?= RelWithDebInfo

# Debian packages of the build (the daemon, the simulator and the tests' programs) and the demo.
BUILD_PACKAGES := cmake g++ make pkg-config libiniparser-dev libsqlite3-dev libmariadb-dev \
                  libldap-dev libsystemd-dev libgtest-dev googletest sqlite3
# Every Debian package: the build's, and those of the tests (database and directory servers,
# manual pages, the systemd unit check), the benchmarks, the fuzz targets and the package.
PACKAGES := $(BUILD_PACKAGES) libbenchmark-dev mariadb-server slapd ldap-utils man-db groff-base \
            clang libclang-rt-14-dev systemd debhelper dpkg-dev lintian

.PHONY: all build deps deps-build check check-sanitize check-package deb fuzz demo install clean

all: build

# Installs the packages of $(1) that are missing (as root), or names them and fails.
define install_packages
	@missing=$$(for p in $(1); do \
	    dpkg-query -W -f='$${db:Status-Status}' $$p 2>/dev/null | grep -qx installed || echo $$p; \
	  done); \
	if [ -z "$$missing" ]; then exit 0; fi; \
	if [ "$$(id -u)" = 0 ]; then \
	  echo "Installing: $$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	else \
	  echo "Missing packages; run as root:"; \
	  echo "  apt-get install -y $$missing"; \
	  exit 1; \
	fi
endef

deps:
	$(call install_packages,$(PACKAGES))

deps-build:
	$(call install_packages,$(BUILD_PACKAGES))

build: deps-build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(CMAKE_TYPE)
	cmake --build $(BUILD) -j $(JOBS)

check: deps build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite once under AddressSanitizer + UndefinedBehaviorSanitizer, once under
# ThreadSanitizer, each in a build folder of its own.
check-sanitize: deps
	$(MAKE) BUILD=build-asan CMAKE_TYPE=Debug SANITIZE_FLAGS=-DSANITIZE=address,undefined sanitized-check
	$(MAKE) BUILD=build-tsan CMAKE_TYPE=Debug SANITIZE_FLAGS=-DSANITIZE=thread sanitized-check

.PHONY: sanitized-check
sanitized-check:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(CMAKE_TYPE) $(SANITIZE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Every fuzz target of fuzz/ for FUZZ_SECONDS, built with clang and libFuzzer in build-fuzz;
# fails when one finds a fault (the input lands in build-fuzz/crashes/).
FUZZ_SECONDS ?= 60
fuzz: deps
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORANT_FUZZ=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build build-fuzz -j $(JOBS)
	bash fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

demo: deps-build build
	bash tools/demo.sh $(BUILD)

# The Debian package, built by dpkg-buildpackage into the folder above the source tree (as it
# always does) and copied into $(BUILD)/. Its version is the project's, in debian/changelog.
VERSION := $(shell sed -n '/^project/s/.*VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
DEB      = velmorant_$(VERSION)_$(shell dpkg --print-architecture).deb
deb: deps
	dpkg-buildpackage -b -us -uc -j$(JOBS)
	mkdir -p $(BUILD) && cp ../$(DEB) $(BUILD)/

# Builds the package and checks its contents and lintian; too slow for `make check`.
check-package: deb
	bash tests/package/check.sh $(BUILD)/$(DEB)

install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)

clean:
	rm -rf build build-asan build-tsan build-fuzz
