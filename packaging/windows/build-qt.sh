#!/usr/bin/env bash
# Cross-builds Qt Core and Qt Test for 64-bit Windows (mingw-w64) from
# Debian's own qt6-base source, once: the result is kept in $1 (by default
# build/qt-mingw-<version>) and reused while it holds a finished install.
# The host's Qt tools (moc, rcc) of the same version do the generating.
set -euo pipefail
cd "$(dirname "$0")/../.."
version=$(dpkg-query -W -f='${Version}' qt6-base-dev | sed 's/[-+].*//')
prefix=${1:-$PWD/build/qt-mingw-$version}
[ -f "$prefix/.complete" ] && exit 0

work=$PWD/build/qt-mingw-src
rm -rf "$work" "$prefix"
mkdir -p "$work"
# The source of the very package the host has, from the same archive.
sources=$work/apt/sources.list.d
mkdir -p "$sources" "$work/apt/lists/partial"
sed -n 's/^Types: deb$/Types: deb-src/p;/^Types:/!p' /etc/apt/sources.list.d/debian.sources \
  >"$sources/debian.sources" 2>/dev/null || true
if ! grep -q deb-src "$sources/debian.sources" 2>/dev/null; then
  sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$sources/debian.list"
fi
apt_opts=(-o Dir::Etc::sourcelist=/dev/null -o Dir::Etc::sourceparts="$sources"
  -o Dir::State::Lists="$work/apt/lists" -o Debug::NoLocking=1)
apt-get "${apt_opts[@]}" update -qq
(cd "$work" && apt-get "${apt_opts[@]}" source -qq "qt6-base=$(dpkg-query -W -f='${Version}' qt6-base-dev)")
src=$(find "$work" -maxdepth 1 -type d -name 'qt6-base-*' | head -1)

cmake -G Ninja -S "$src" -B "$work/build" \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DBUILD_SHARED_LIBS=ON -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
  -DFEATURE_gui=OFF -DFEATURE_widgets=OFF -DFEATURE_network=OFF -DFEATURE_sql=OFF \
  -DFEATURE_xml=OFF -DFEATURE_dbus=OFF -DFEATURE_concurrent=OFF -DFEATURE_printsupport=OFF \
  -DFEATURE_opengl=OFF -DFEATURE_icu=OFF -DFEATURE_testlib=ON \
  -DFEATURE_system_pcre2=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_doubleconversion=OFF \
  >"$work/configure.log"
cmake --build "$work/build"
cmake --install "$work/build" >/dev/null
touch "$prefix/.complete"
rm -rf "$work"
