#!/bin/sh
# Installs the build ($1) into a scratch prefix, checks that every function the installed
# headers declare is exported, then builds the C program $2 with the C compiler $3 (extra
# flags $4) from what pkg-config reports for the SDK, and runs it.
set -eu
prefix=$(mktemp -d "${TMPDIR:-/tmp}/bwv-sdk-XXXXXX")
trap 'rm -rf "$prefix"' EXIT INT TERM
cmake --install "$1" --prefix "$prefix" >"$prefix/install.log" 2>&1 || { cat "$prefix/install.log" >&2; exit 1; }
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name bwvutil.pc)")
export PKG_CONFIG_PATH
libdir=$(pkg-config --variable=libdir bwvutil)
case "$libdir" in "$prefix"/*) ;; *) echo "pkg-config points outside the prefix: $libdir" >&2 && exit 1 ;; esac
exported=$(nm -D --defined-only "$libdir/libbwvutil.so")
for f in $(sed -n 's/^BWV_API[^(]*[ *]\([A-Za-z_][A-Za-z_0-9]*\)(.*/\1/p' "$prefix"/include/bwvutil/*.h); do
    echo "$exported" | grep -qw "$f" || { echo "not exported: $f" >&2 && exit 1; }
done
# shellcheck disable=SC2046,SC2086 # word lists by design
"$3" -std=c11 -Wall -Wextra -Werror -pedantic ${4:-} -o "$prefix/abi_main" "$2" $(pkg-config --cflags --libs bwvutil)
LD_LIBRARY_PATH="$libdir" "$prefix/abi_main"
