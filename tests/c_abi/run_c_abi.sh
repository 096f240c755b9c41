#!/bin/sh
# Installs the build into a scratch prefix, compiles abi_main.c with the C compiler using
# only what pkg-config reports for the installed SDK, and runs it.
set -eu
build_dir=$1
source=$2
cc=${3:-cc}
extra_flags=${4:-}

prefix=$(mktemp -d "${TMPDIR:-/tmp}/bwv-sdk-XXXXXX")
trap 'rm -rf "$prefix"' EXIT INT TERM

cmake --install "$build_dir" --prefix "$prefix" >"$prefix/install.log" 2>&1 || {
    cat "$prefix/install.log" >&2
    exit 1
}
pcdir=$(dirname "$(find "$prefix" -name bwvutil.pc | head -n 1)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs bwvutil)
libdir=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir bwvutil)
case "$libdir" in
"$prefix"/* | */../*) ;;
*)
    echo "pkg-config points outside the installed prefix: $libdir" >&2
    exit 1
    ;;
esac
# shellcheck disable=SC2086 # flags are a word list by design
"$cc" -std=c11 -Wall -Wextra -Werror -pedantic -D_POSIX_C_SOURCE=200809L $extra_flags -o "$prefix/abi_main" "$source" $flags
LD_LIBRARY_PATH="$libdir" "$prefix/abi_main"
