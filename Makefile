# The commands of the README: `make run` and `make test` (both install what is
# missing (Debian 12, as root), configure and build), and `make deb`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release

.PHONY: all deps configure build run test deb clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	@scripts/run-program $(BUILD_DIR)

test: build
	@scripts/run-tests $(BUILD_DIR)

# The Debian package, built the Debian way (dpkg-buildpackage, debian/) from a
# copy of the working tree in $(DEB_DIR), so that the packages land there and
# not beside the checkout. ccache is shared with the normal build.
DEB_DIR ?= $(BUILD_DIR)/deb
DEB_SRC = $(DEB_DIR)/kestran-$(shell sed -n '1s/.*(\(.*\)).*/\1/p' debian/changelog)
deb: deps
	@rm -rf $(DEB_DIR) && mkdir -p $(DEB_SRC)
	@tar --exclude=./.git --exclude='./$(BUILD_DIR)' --exclude=./obj-* -cf - . | tar -xf - -C $(DEB_SRC)
	@cd $(DEB_SRC) && CCACHE_DIR="$$(ccache -k cache_dir 2>/dev/null)" \
	  DEB_BUILD_OPTIONS="parallel=$(JOBS) $(DEB_BUILD_OPTIONS)" dpkg-buildpackage -b -us -uc
	@rm -rf $(DEB_SRC)
	@ls -1 $(DEB_DIR)/*.deb

clean:
	rm -rf $(BUILD_DIR)
