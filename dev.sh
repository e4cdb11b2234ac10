#!/usr/bin/env bash
# Developer entry point.
#   ./dev.sh test [default|tsan|asan]   install what is missing, build, run every test
#   ./dev.sh test load                  the default suite while two busy processes hold both cores
#   ./dev.sh test system                the .deb on a real systemd in containers (root)
#   ./dev.sh test windows               the Windows build (mingw-w64) and its tests under Wine
#   ./dev.sh build [preset]             install what is missing and build
#   ./dev.sh demo                       run the agent and the controller on a virtual line
#   ./dev.sh fuzz [seconds]             fuzz the packager with libFuzzer (clang), 600 s by default
#   ./dev.sh package                    build the Debian packages (build/deb/*.deb), lintian
#   ./dev.sh package windows            the Windows folder and MSI (build/windows/package)
set -euo pipefail
cd "$(dirname "$0")"

# Debian packages the build and the tests need.
# (libgensio-dev, libmicrohttpd-dev and the rest: vexil-ctl's lines and endpoint; openssl: the
# tests' certificates; prometheus: promtool and a
# real server, ser2net and python3-serial: real console servers, for the controller's tests;
# iproute2: network namespaces of the tests' own, where a console server is cut off;
# qt6-serialport-dev: Qt SerialPort, one of the engine's peers in bench/engine_relay.py;
# nlohmann-json3-dev: the exporter's Redfish documents; python3-sushy and redfishtool: the Redfish
# clients its tests use)
PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev qt6-base-dev
  libsystemd-dev libgensio-dev libmicrohttpd-dev libgnutls28-dev zlib1g-dev libcrypt-dev libyaml-cpp-dev
  openssl prometheus ser2net python3-serial iproute2 qt6-serialport-dev nlohmann-json3-dev
  python3-sushy redfishtool)

ensure_packages() {
  local missing=() p
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "dev.sh: installing ${missing[*]}" >&2
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "dev.sh: need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
    sudo=(sudo)
  fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build() {
  local preset=${1:-default}
  case "$preset" in default|tsan|asan|fuzz) ;; *) echo "dev.sh: unknown preset '$preset' (default, tsan, asan, fuzz)" >&2; exit 2 ;; esac
  ensure_packages
  cmake --preset "$preset" -DVEXIL_WERROR="${VEXIL_WERROR:-OFF}" >/dev/null
  cmake --build --preset "$preset"
}

# The Windows build, cross-compiled with mingw-w64 into build/windows against
# Qt for mingw (built from Debian's source once, kept in a cache outside the
# checkout: see windows_qt), then packaged (folder and MSI); its tests run
# under Wine (tests/windows/run.py), every program through
# packaging/windows/wine-run.
build_windows() {
  # (dpkg-dev: apt-get source; wixl and msitools: the MSI; Xvfb, a CJK font,
  # xwininfo, xwd and netpbm: the debug window under Wine's X11 driver, seen;
  # locales: the dialogs in the locales tried.)
  PACKAGES+=(g++-mingw-w64-x86-64-posix wine64 wine python3 dpkg-dev wixl msitools xvfb
             fonts-wqy-microhei x11-apps x11-utils netpbm locales)
  ensure_packages
  local qt
  qt=$(windows_qt)
  if [ ! -f "$qt/.complete" ]; then
    echo "dev.sh: building Qt for Windows into $qt (once; about half an hour)" >&2
  fi
  packaging/windows/build-qt.sh "$qt"
  echo "dev.sh: Qt for Windows: $qt (remove it to build it again)" >&2
  # A build against another Qt starts afresh (CMake keeps the Qt it found).
  if [ -f build/windows/CMakeCache.txt ] && ! grep -qxF "Qt6_DIR:PATH=$qt/lib/cmake/Qt6" \
    build/windows/CMakeCache.txt; then
    rm -rf build/windows
  fi
  cmake -G Ninja -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXIL_BENCH=OFF -DVEXIL_WERROR="${VEXIL_WERROR:-OFF}" \
    -DCMAKE_PREFIX_PATH="$qt" -DQT_HOST_PATH=/usr \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$PWD/packaging/windows/wine-run" >/dev/null
  cmake --build build/windows
  # The tests' modem lines for ptys, preloaded into Wine (a Linux library).
  gcc -shared -fPIC -O2 -Wall -Wextra -Werror -o build/windows/modem_shim.so \
    tests/windows/modem_shim.c -ldl
  packaging/windows/package.sh build/windows "$qt"
}

# Where Qt for mingw is kept: keyed by Debian's Qt version and by the build
# script, so that a changed script builds it anew and an unchanged one is
# found again by every checkout of the machine.
windows_qt() {
  local version hash
  version=$(dpkg-query -W -f='${Version}' qt6-base-dev | sed 's/[-+].*//')
  hash=$(sha256sum packaging/windows/build-qt.sh | cut -c1-12)
  echo "${XDG_CACHE_HOME:-$HOME/.cache}/vexil/qt-mingw-$version-$hash"
}

cmd=${1:-}
shift || true
case "$cmd" in
  test)
    if [ "${1:-}" = system ]; then
      PACKAGES+=(dpkg-dev debootstrap systemd-container python3)
      ensure_packages
      "$0" package
      exec python3 tests/system/run.py build/deb/vexil-agent_*.deb build/deb/vexil-ctl_*.deb
    fi
    if [ "${1:-}" = load ]; then
      # The default suite on a machine that is busy with something else: two
      # processes that spin for the whole run, one per core; ended by PID.
      build default
      busy=()
      trap 'kill "${busy[@]}" 2>/dev/null || true' EXIT
      for _ in 1 2; do
        bash -c 'while :; do :; done' &
        busy+=($!)
      done
      echo "dev.sh: the suite under load (busy processes ${busy[*]})" >&2
      ctest --preset default
      exit $?
    fi
    if [ "${1:-}" = windows ]; then
      build_windows
      exec python3 tests/windows/run.py build/windows -j2
    fi
    build "${1:-default}"
    ctest --preset "${1:-default}"
    ;;
  build)
    build "${1:-default}"
    ;;
  fuzz)
    PACKAGES+=(clang libclang-rt-14-dev)
    build fuzz
    mkdir -p build/fuzz/corpus
    # New inputs go to build/fuzz/corpus; the checked-in seeds are read only.
    exec build/fuzz/bench/fuzz/fuzz_packager -max_total_time="${1:-600}" -print_final_stats=1 \
      build/fuzz/corpus bench/fuzz/corpus
    ;;
  package)
    if [ "${1:-}" = windows ]; then
      build_windows
      exit 0
    fi
    # Debian's way: dpkg-buildpackage with debhelper on a copy of the tree, so
    # that the work tree stays clean; the packages land in build/deb.
    PACKAGES+=(dpkg-dev debhelper fakeroot scdoc lintian)
    ensure_packages
    version=$(dpkg-parsechangelog -S Version)
    rm -rf build/deb
    mkdir -p "build/deb/vexil-$version"
    tar --exclude=./build --exclude=./.git -cf - . | tar -C "build/deb/vexil-$version" -xf -
    # The copy has no history: the commit goes with it, for build_info.
    if revision=$(git rev-parse --short=12 HEAD 2>/dev/null); then
      git diff --quiet HEAD 2>/dev/null || revision="$revision-modified"
      echo "$revision" >"build/deb/vexil-$version/REVISION"
    fi
    (cd "build/deb/vexil-$version" && dpkg-buildpackage -us -uc -b)
    # No error and no warning, pedantic notes included in the report.
    lintian -EvIL +pedantic --fail-on error,warning build/deb/vexil_"${version}"_*.changes
    ls build/deb/*.deb
    ;;
  demo)
    build default
    if [ ! -x build/default/ctl/vexil-ctl ]; then
      echo "dev.sh: the demo needs the controller tool vexil-ctl, which is not built in this version;" >&2
      echo "        the agent is: see README.md, Running the agent." >&2
      exit 1
    fi
    exec build/default/ctl/vexil-ctl demo
    ;;
  *)
    sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
