#!/usr/bin/env bash
# Cross-builds the libraries the Windows program links (static, x86_64-w64-mingw32)
# from Debian's own source packages into a cache folder, once per recipe.
#   windows/deps.sh            prints the prefix, building it first when missing
# VTR_WINDOWS_CACHE picks the cache folder (default /var/cache/vtr232-windows).
# The prefix is named after a stamp of the recipe (windows/recipe.sh) and the
# compiler's version, so a changed recipe builds a new prefix beside the old
# one. Progress goes to standard error, the build's output to a log beside
# the prefix; standard output gets the prefix alone.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${VTR_WINDOWS_CACHE:-/var/cache/vtr232-windows}
host=x86_64-w64-mingw32
cc=$host-gcc-posix
cxx=$host-g++-posix
stamp=$( (cat "$here/recipe.sh"; $cxx --version | head -1) | sha256sum | cut -c1-12)
prefix=$cache/deps-$stamp
if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi
jobs=${VTR_WINDOWS_JOBS:-2}
work=$cache/work-$stamp
log=$cache/build-$stamp.log
# An interrupted build goes on where it stopped: each finished step leaves a
# mark in the prefix (which the stamp ties to this very recipe).
mkdir -p "$work" "$prefix"
exec 3>&2 4>&1 >"$log" 2>&1
say() { echo "windows/deps: $*" >&3; echo "== $*"; }
trap 'say "failed; see $log"; tail -n 30 "$log" >&3' ERR

. "$here/recipe.sh"

touch "$prefix/.complete"
rm -rf "$work"
say "done: $prefix"
echo "$prefix" >&4
