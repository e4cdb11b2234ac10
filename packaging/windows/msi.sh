#!/usr/bin/env bash
# The installer of a finished folder:
#   packaging/windows/msi.sh FOLDER VERSION OUT.msi
# wixl builds it from vexil-agent.wxs; then two things wixl cannot write
# are set in its tables:
# - the upgrade row also takes the same version (wixl's MajorUpgrade leaves
#   it out), so that a rebuilt installer of the version installed replaces
#   it instead of adding a second entry beside it;
# - the log folder and its files go at removal, where LOGCLEANUP is set
#   (msiexec /x ... KEEPLOGS=1 leaves it unset).
set -euo pipefail
folder=$(realpath --relative-to="$PWD" "$1") # (wixl finds no file by an absolute path)
version=$2
out=$3
here=$(cd "$(dirname "$0")" && pwd)
wixl -a x64 -D Version="$version" -D SourceDir="$folder" -o "$out" "$here/vexil-agent.wxs"
tables=$(mktemp -d)
trap 'rm -rf "$tables"' EXIT
# A table out, edited by a sed script, checked for a line it must now hold,
# and back in. (msibuild's UPDATE fails on these tables.) Rows end in CR LF.
edit() {
  msiinfo export "$out" "$1" | sed "$2" >"$tables/$1.idt"
  if ! grep -q "$3" "$tables/$1.idt"; then
    echo "msi.sh: the installer's $1 table is not as expected:" >&2
    cat "$tables/$1.idt" >&2
    exit 1
  fi
  msibuild "$out" -i "$tables/$1.idt"
}
# Attributes 513: migrate the features (1), include the maximum (512).
edit Upgrade 's/\t1\t\tWIX_UPGRADE_DETECTED\r$/\t513\t\tWIX_UPGRADE_DETECTED\r/' \
  "	513		WIX_UPGRADE_DETECTED"
# The log folder's files (by name: Wine's installer expands no wildcard),
# then the folder, with the program (InstallMode 2: at removal).
rows=""
for file in vexil-agent.log vexil-agent.log.old vexil-agent.log.refused; do
  rows+="Log${file//[-.]/}\\tAgent\\t$file\\tLOGCLEANUP\\t2\\r\\n"
done
edit RemoveFile "\$a ${rows}LogFolder\\tAgent\\t\\tLOGCLEANUP\\t2\\r" \
  "^LogFolder	Agent		LOGCLEANUP	2"
