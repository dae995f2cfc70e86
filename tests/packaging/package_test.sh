#!/usr/bin/env bash
# The install and the Debian package, checked as a user would meet them: CPack builds the
# .deb from this build tree, it is unpacked into a temporary root whose installed server
# answers --version; the systemd unit passes systemd-analyze verify; and a small program
# builds against the installed library with find_package(Tessil) and with pkg-config.
# Usage (from CTest): package_test.sh BUILD_DIR SOURCE_DIR [CONSUMER_FLAGS]
# CONSUMER_FLAGS: compiler and linker flags the program built against the library needs
# (a sanitizer build's).
set -euo pipefail
build=$1
src=$2
flags=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# 1. The package.
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/pkg/tessil_*.deb)
dpkg-deb -f "$deb" Package Version Depends
dpkg-deb -f "$deb" Depends | grep -q libinih || fail "the package does not depend on the inih library"
dpkg-deb -e "$deb" "$work/control"
grep -qx /etc/tessil/TessilServiceApp.ini "$work/control/conffiles" || fail "settings file not a conffile"
root=$work/root
dpkg-deb -x "$deb" "$root"
for f in usr/bin/TessilServiceApp usr/bin/tessil-cli etc/tessil/TessilServiceApp.ini \
         lib/systemd/system/tessil.service usr/include/tessil/client/LobbyClient.h \
         usr/lib/x86_64-linux-gnu/cmake/Tessil/TessilConfig.cmake \
         usr/lib/x86_64-linux-gnu/pkgconfig/tessil.pc; do
  [[ -e "$root/$f" ]] || fail "the package lacks /$f"
done
version=$("$root/usr/bin/TessilServiceApp" --version)
[[ "$version" == "TessilServiceApp $(dpkg-deb -f "$deb" Version)" ]] || fail "--version said: $version"
echo "installed server: $version"

# 2. The unit. Its programs must exist, so the check runs on a copy that points at the
# unpacked server.
if systemd-analyze --version >/dev/null 2>&1; then
  unit=$work/tessil.service
  sed -E "s|^ExecStart=[^ ]*/TessilServiceApp|ExecStart=$root/usr/bin/TessilServiceApp|" \
    "$root/lib/systemd/system/tessil.service" >"$unit"
  systemd-analyze verify "$unit" 2>"$work/verify.log" || true
  # Outside a booted system the tool also reports the host's missing targets; only
  # findings about this unit count.
  if grep -v 'sysinit.target\|basic.target\|multi-user.target' "$work/verify.log" | grep -q .; then
    cat "$work/verify.log"
    fail "systemd-analyze verify"
  fi
  echo "systemd-analyze verify: clean"
else
  echo "systemd-analyze cannot run here: unit check skipped"
fi

# 3. A program built against the installed library.
# Installed under a staging root (DESTDIR), as a package build would.
dest=$work/dest
DESTDIR=$dest cmake --install "$build" --component client >/dev/null
prefix=$dest$(sed -n 's/^prefix=//p' "$build/tessil.pc")
mkdir -p "$work/app"
cat >"$work/app/main.cpp" <<'CPP'
#include "client/LobbyClient.h"
int main() {
    tessil::LobbyClient client;
    try {
        client.Connect("127.0.0.1", 1);  // nothing listens on port 1
        return 1;
    } catch (const std::exception&) {
        return 0;
    }
}
CPP
cat >"$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(tessil_consumer CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(Tessil REQUIRED)
add_executable(app main.cpp)
target_link_libraries(app PRIVATE Tessil::client)
CMAKE
cmake -S "$work/app" -B "$work/app/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null ||
  fail "find_package(Tessil)"
cmake --build "$work/app/build" >/dev/null || fail "building against Tessil::client"
"$work/app/build/app" || fail "the program built against Tessil::client"
export PKG_CONFIG_PATH=$(dirname "$(find "$dest" -name tessil.pc)") PKG_CONFIG_SYSROOT_DIR=$dest
# shellcheck disable=SC2046
c++ $flags -o "$work/app/app2" "$work/app/main.cpp" $(pkg-config --cflags --libs --static tessil) ||
  fail "building with pkg-config"
"$work/app/app2" || fail "the program built with pkg-config"
echo "find_package(Tessil) and pkg-config: built and ran"
