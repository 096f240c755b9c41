#!/bin/sh
# Installs the build ($1) into a scratch prefix and uses the SDK as an outside C project
# would, with the C compiler $3 (extra flags $4): every function the installed headers
# declare is exported; the C program $2 builds from what pkg-config reports and runs with
# the version it names; a program defining names the library exports (own_names.c beside
# $2) keeps its functions and the library its own; a C-only CMake project links the static
# library; and so does a link from `pkg-config --static` with only the archive installed,
# which refuses the program with names of its own.
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
version=$(pkg-config --modversion bwvutil)
cc() { # output, source, then link flags
    out=$1 src=$2 && shift 2
    # shellcheck disable=SC2086 # word lists by design
    "$CC" -std=c11 -Wall -Wextra -Werror -pedantic $FLAGS -DSDK_VERSION="\"$version\"" -o "$prefix/$out" "$src" "$@"
}
CC=$3 FLAGS=${4:-}
# shellcheck disable=SC2046 # word lists by design
cc abi_main "$2" $(pkg-config --cflags --libs bwvutil)
# shellcheck disable=SC2046
cc own_names "$(dirname "$2")/own_names.c" $(pkg-config --cflags --libs bwvutil)
export LD_LIBRARY_PATH="$libdir"
"$prefix/abi_main"
[ "$("$prefix/own_names")" = "$("$prefix/abi_main" hello)" ] || { echo "the program's names diverted the library's calls" >&2 && exit 1; }

mkdir "$prefix/cproject"
printf '%s\n' 'cmake_minimum_required(VERSION 3.25)' 'project(cproject C)' 'find_package(bwvutil REQUIRED)' \
    'add_executable(cproject main.c)' 'target_link_libraries(cproject PRIVATE bwvutil::bwvutil_static)' \
    'target_compile_definitions(cproject PRIVATE SDK_VERSION="${bwvutil_VERSION}")' >"$prefix/cproject/CMakeLists.txt"
cp "$2" "$prefix/cproject/main.c"
cmake -S "$prefix/cproject" -B "$prefix/cproject/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$CC" \
    -DCMAKE_C_FLAGS="$FLAGS" -DCMAKE_EXE_LINKER_FLAGS="$FLAGS" >"$prefix/cmake.log" 2>&1 &&
    cmake --build "$prefix/cproject/build" >>"$prefix/cmake.log" 2>&1 || { cat "$prefix/cmake.log" >&2; exit 1; }
rm -f "$libdir"/libbwvutil.so*
"$prefix/cproject/build/cproject"
# shellcheck disable=SC2046
cc static_main "$2" $(pkg-config --static --cflags --libs bwvutil)
"$prefix/static_main"
# From the archive, a name of the program's own cannot take the library's calls either:
# the link refuses it.
# shellcheck disable=SC2046
cc own_static "$(dirname "$2")/own_names.c" $(pkg-config --static --cflags --libs bwvutil) 2>&1 |
    grep -q "multiple definition of .closeall" || { echo "a clashing name linked from the archive" >&2 && exit 1; }
