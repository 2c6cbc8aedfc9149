#!/usr/bin/env bash
# Installs the library into a temporary prefix (cmake --install, as the
# README says), checks what it installed, then builds and runs a C program
# against it twice: once with pkg-config, once with find_package.
# Arguments: build dir, cmake, C compiler, C flags, linker flags, source dir,
# the project's version.
set -euo pipefail
build=$1 cmake=$2 cc=$3 cflags=$4 ldflags=$5 src=$6 version=$7

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name "libquorvandelith.so.$version")")
man3=$prefix/share/man/man3
for f in "$prefix/include/quorvandelith.h" "$libdir/libquorvandelith.so" \
         "$libdir/libquorvandelith.so.1" "$libdir/pkgconfig/quorvandelith.pc" \
         "$libdir/cmake/quorvandelith/quorvandelithConfig.cmake" "$man3/quorvandelith.3.gz" \
         "$man3/drng_chacha20_init.3.gz"; do
    [[ -e $f ]] || { echo "not installed: $f"; exit 1; }
done

check_output() {  # one line of 64 hex digits
    local out
    out=$("$@")
    echo "$1: $out"
    [[ $out =~ ^[0-9a-f]{64}$ ]] || { echo "unexpected output"; exit 1; }
}

# pkg-config
export PKG_CONFIG_PATH=$libdir/pkgconfig
[[ $(pkg-config --modversion quorvandelith) == "$version" ]]
# shellcheck disable=SC2046,SC2086
"$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror $cflags -o "$tmp/consumer_pc" "$src/consumer.c" \
    $(pkg-config --cflags --libs quorvandelith) $ldflags
LD_LIBRARY_PATH=$libdir check_output "$tmp/consumer_pc"

# find_package
"$cmake" -S "$src/consumer_project" -B "$tmp/build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
    -DQUORVANDELITH_VERSION="$version" -DCONSUMER_SOURCE="$src/consumer.c" >/dev/null
"$cmake" --build "$tmp/build" >/dev/null
check_output "$tmp/build/consumer"
