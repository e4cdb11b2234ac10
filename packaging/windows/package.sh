#!/usr/bin/env bash
# The Windows agent as a folder and as an installer, from a finished Windows
# build:
#   packaging/windows/package.sh BUILD_DIR QT_PREFIX
# leaves BUILD_DIR/package/vexil-agent/ (vexil-agent.exe, the debug window's
# DLL and Qt plugins, and every DLL they need that Windows does not have)
# and BUILD_DIR/package/vexil-agent-<version>.msi.
set -euo pipefail
build=$1
qt=$2
here=$(cd "$(dirname "$0")" && pwd)
out=$build/package
folder=$out/vexil-agent
rm -rf "$out"
mkdir -p "$folder"
cmake --install "$build" --prefix "$folder" --component Unspecified >/dev/null
cmake --install "$build" --prefix "$folder" --component gui >/dev/null
# The debug window's Qt plugins, where Qt looks for them: beside the program.
for plugin in platforms/qwindows.dll styles/qwindowsvistastyle.dll; do
  mkdir -p "$folder/$(dirname "$plugin")"
  cp "$qt/plugins/$plugin" "$folder/$plugin"
done
x86_64-w64-mingw32-strip "$folder/vexil-agent.exe" "$folder/vexil-agent-gui.dll" \
  "$folder"/platforms/*.dll "$folder"/styles/*.dll

# The DLLs the program needs, and theirs, from the places the build took
# them; the system's own (KERNEL32, WS2_32 ...) are not found there and stay
# out.
search=("$qt/bin" /usr/lib/gcc/x86_64-w64-mingw32/12-posix /usr/x86_64-w64-mingw32/lib)
queue=("$folder/vexil-agent.exe" "$folder/vexil-agent-gui.dll" "$folder"/platforms/*.dll
  "$folder"/styles/*.dll)
while [ ${#queue[@]} -gt 0 ]; do
  file=${queue[0]}
  queue=("${queue[@]:1}")
  while read -r dll; do
    [ -e "$folder/$dll" ] && continue
    for dir in "${search[@]}"; do
      if [ -f "$dir/$dll" ]; then
        cp "$dir/$dll" "$folder/"
        x86_64-w64-mingw32-strip "$folder/$dll"
        queue+=("$folder/$dll")
        break
      fi
    done
  done < <(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p')
done

# The installer names every file: one that the folder has and the installer
# lacks (or the reverse) would install a program that cannot start.
listed=$(sed -n 's/.*Source="$(var.SourceDir)\/\([^"]*\)".*/\1/p' "$here/vexil-agent.wxs" | sort)
present=$(cd "$folder" && find . -type f | sed 's|^\./||' | sort)
if [ "$listed" != "$present" ]; then
  echo "package.sh: vexil-agent.wxs names [$(echo $listed)], the folder holds [$(echo $present)]" >&2
  exit 1
fi
version=$(sed -n 's/^#define VEXIL_VERSION "\(.*\)"/\1/p' "$build/generated/vexil/version.h")
"$here/msi.sh" "$folder" "$version" "$out/vexil-agent-$version.msi"
du -sh "$folder" "$out/vexil-agent-$version.msi"
