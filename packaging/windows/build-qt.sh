#!/usr/bin/env bash
# Cross-builds Qt Core, Gui, Widgets and Test for 64-bit Windows (mingw-w64)
# from Debian's own qt6-base source, with the Windows and offscreen platform
# plugins, once: the result is kept in $1 and reused while it holds a
# finished install. The host's Qt tools (moc, rcc, uic) of the same version
# do the generating.
#   packaging/windows/build-qt.sh PREFIX
# (dev.sh names the prefix: a cache outside the checkout, keyed by Qt's
# version and this script's hash.)
set -euo pipefail
cd "$(dirname "$0")/../.."
prefix=$1
[ -f "$prefix/.complete" ] && exit 0

work=$prefix.src
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
  -DFEATURE_gui=ON -DFEATURE_widgets=ON -DFEATURE_network=OFF -DFEATURE_sql=OFF \
  -DFEATURE_xml=OFF -DFEATURE_dbus=OFF -DFEATURE_concurrent=OFF -DFEATURE_printsupport=OFF \
  -DFEATURE_opengl=OFF -DFEATURE_vulkan=OFF -DFEATURE_icu=OFF -DFEATURE_testlib=ON \
  -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_textmarkdownreader=OFF \
  -DFEATURE_textmarkdownwriter=OFF -DFEATURE_textodfwriter=OFF -DFEATURE_pdf=OFF \
  -DFEATURE_tabletevent=OFF -DFEATURE_dynamicgl=OFF \
  -DFEATURE_system_pcre2=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_doubleconversion=OFF \
  -DFEATURE_system_png=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF \
  >"$work/configure.log"
# (Tablets are off: Debian's source leaves out the Wintab header they need;
# dynamic OpenGL too: without OpenGL the Windows plugin does not build with it.)
cmake --build "$work/build"
cmake --install "$work/build" >/dev/null
touch "$prefix/.complete"
rm -rf "$work"
