#!/bin/sh
# Installs the build ($1) into a scratch prefix and uses the SDK as an outside C project
# would, with the C compiler $3 (extra flags $4): every function the installed headers
# declare is exported; the C program $2 builds from what pkg-config reports and runs, also
# built with names of its own; a C-only CMake project links the static library, and so
# does `pkg-config --static` with only the archive installed, refusing those names.
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
cc() { # output, pkg-config options, more flags
    out=$1 pc=$2 && shift 2
    # shellcheck disable=SC2046,SC2086 # word lists by design
    "$CC" -std=c11 -Wall -Wextra -Werror -pedantic $FLAGS -DSDK_VERSION="\"$version\"" -o "$prefix/$out" "$SRC" "$@" $(pkg-config $pc bwvutil)
}
CC=$3 FLAGS=${4:-} SRC=$2
cc plain "--cflags --libs"
cc own "--cflags --libs" -DOWN_NAMES
export LD_LIBRARY_PATH="$libdir"
plain=$("$prefix/plain")
[ "$("$prefix/own")" = "$plain" ] || { echo "names of the program's own took the library's calls" >&2 && exit 1; }

mkdir "$prefix/c" && cp "$SRC" "$prefix/c/main.c"
printf '%s\n' 'cmake_minimum_required(VERSION 3.25)' 'project(c C)' 'find_package(bwvutil REQUIRED)' 'add_executable(c main.c)' \
    'target_link_libraries(c PRIVATE bwvutil::bwvutil_static)' 'add_compile_definitions(SDK_VERSION="${bwvutil_VERSION}")' >"$prefix/c/CMakeLists.txt"
{ cmake -S "$prefix/c" -B "$prefix/c/b" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$CC" -DCMAKE_C_FLAGS="$FLAGS" \
    -DCMAKE_EXE_LINKER_FLAGS="$FLAGS" && cmake --build "$prefix/c/b"; } >"$prefix/c.log" 2>&1 || { cat "$prefix/c.log" >&2; exit 1; }
rm -f "$libdir"/libbwvutil.so*
"$prefix/c/b/c" >/dev/null
cc static "--static --cflags --libs"
"$prefix/static" >/dev/null
cc own_static "--static --cflags --libs" -DOWN_NAMES 2>&1 | grep -q "multiple definition of .closeall" ||
    { echo "a name of the program's own linked from the archive" >&2 && exit 1; }
