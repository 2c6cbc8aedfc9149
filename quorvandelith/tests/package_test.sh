#!/usr/bin/env bash
# The Debian packages as a user gets them: runs the package workflow (into
# build-package/ of the source tree, never build/), checks both packages'
# control fields, control members and file lists, unpacks them with dpkg -x
# into a scratch root (never into the system), builds and runs the C example
# against that root with pkg-config and the CMake example with find_package,
# checks the manual pages with groff, and runs lintian, which must report no
# error.
# Arguments: source dir, cmake, C compiler, pkg-config, lintian, readelf, the
# project's version.
set -euo pipefail
src=$1 cmake=$2 cc=$3 pkg_config=$4 lintian=$5 readelf=$6 upstream=$7
export LC_ALL=C

version=$upstream-1
version_pattern=${version//./\\.}
multiarch=x86_64-linux-gnu
out=$src/build-package
runtime=$out/libquorvandelith1_${version}_amd64.deb
dev=$out/libquorvandelith-dev_${version}_amd64.deb

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

# From a fresh configure, so that nothing a test build found is reused.
rm -f "$out"/*.deb
(cd "$src" && "$cmake" --workflow --preset package --fresh) >"$tmp/workflow.log" 2>&1 ||
    { cat "$tmp/workflow.log"; fail "the package workflow"; }
debs=$(cd "$out" && ls ./*.deb)
[[ $debs == "./libquorvandelith-dev_${version}_amd64.deb
./libquorvandelith1_${version}_amd64.deb" ]] || fail "packages made: $debs"

# Control fields: expect_field <deb> <field> <extended regex for the whole value>
expect_field() {
    local value
    value=$(dpkg-deb -f "$1" "$2")
    [[ $value =~ ^$3$ ]] || fail "$(basename "$1"): $2 is '$value'"
}
for deb in "$runtime" "$dev"; do
    expect_field "$deb" Version "$version_pattern"
    expect_field "$deb" Architecture amd64
    expect_field "$deb" Priority optional
    expect_field "$deb" Source quorvandelith
    expect_field "$deb" Maintainer ".+ <.+@.+>"
    expect_field "$deb" Installed-Size "[0-9]+"
done
expect_field "$runtime" Package libquorvandelith1
expect_field "$runtime" Section libs
expect_field "$runtime" Depends "libc6 \(>= [0-9.]+\)"
expect_field "$dev" Package libquorvandelith-dev
expect_field "$dev" Section libdevel
expect_field "$dev" Depends "libquorvandelith1 \(= $version_pattern\)"

# Control members: the runtime package declares its soname and triggers
# ldconfig, and neither package has maintainer scripts.
dpkg-deb -e "$runtime" "$tmp/control-runtime"
dpkg-deb -e "$dev" "$tmp/control-dev"
[[ $(cd "$tmp/control-runtime" && ls) == $'control\nmd5sums\nshlibs\nsymbols\ntriggers' ]] ||
    fail "runtime control members: $(cd "$tmp/control-runtime" && ls | tr '\n' ' ')"
[[ $(cd "$tmp/control-dev" && ls) == $'control\nmd5sums' ]] ||
    fail "dev control members: $(cd "$tmp/control-dev" && ls | tr '\n' ' ')"
[[ $(cat "$tmp/control-runtime/shlibs") == "libquorvandelith 1 libquorvandelith1 (>= $upstream)" ]] ||
    fail "shlibs: $(cat "$tmp/control-runtime/shlibs")"
[[ $(cat "$tmp/control-runtime/triggers") == "activate-noawait ldconfig" ]] ||
    fail "triggers: $(cat "$tmp/control-runtime/triggers")"

# File lists: mode, path and link target of everything that is not a directory.
files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { $2 = $3 = $4 = $5 = ""; print }' | tr -s ' ' | sort; }
lib=./usr/lib/$multiarch
expected_runtime="-rw-r--r-- $lib/libquorvandelith.so.$upstream
lrwxrwxrwx $lib/libquorvandelith.so.1 -> libquorvandelith.so.$upstream
-rw-r--r-- ./usr/share/doc/libquorvandelith1/changelog.Debian.gz
-rw-r--r-- ./usr/share/doc/libquorvandelith1/copyright"
expected_dev="-rw-r--r-- ./usr/include/quorvandelith.h
-rw-r--r-- $lib/cmake/quorvandelith/quorvandelithConfig.cmake
-rw-r--r-- $lib/cmake/quorvandelith/quorvandelithConfigVersion.cmake
-rw-r--r-- $lib/cmake/quorvandelith/quorvandelithTargets-relwithdebinfo.cmake
-rw-r--r-- $lib/cmake/quorvandelith/quorvandelithTargets.cmake
lrwxrwxrwx $lib/libquorvandelith.so -> libquorvandelith.so.1
-rw-r--r-- $lib/pkgconfig/quorvandelith.pc
-rw-r--r-- ./usr/share/doc/libquorvandelith-dev/changelog.Debian.gz
-rw-r--r-- ./usr/share/doc/libquorvandelith-dev/copyright"
for f in destroy get init reseed version versionstring; do
    expected_dev+=$'\n'"lrwxrwxrwx ./usr/share/man/man3/drng_chacha20_$f.3.gz -> quorvandelith.3.gz"
done
expected_dev+=$'\n'"-rw-r--r-- ./usr/share/man/man3/quorvandelith.3.gz"
diff <(sort <<<"$expected_runtime") <(files "$runtime") || fail "runtime file list"
diff <(sort <<<"$expected_dev") <(files "$dev") || fail "dev file list"

root=$tmp/root
dpkg -x "$runtime" "$root"
dpkg -x "$dev" "$root"
libdir=$root/usr/lib/$multiarch

# Stripped: no symbol table and no debug sections.
sections=$("$readelf" -S --wide "$libdir/libquorvandelith.so.$upstream")
[[ $sections == *.dynsym* && $sections != *.symtab* && $sections != *.debug_* ]] ||
    fail "libquorvandelith.so.$upstream is not stripped"

# The manual pages render without a warning, through every link.
for page in "$root"/usr/share/man/man3/*.3.gz; do
    warnings=$(zcat "$page" | groff -man -ww -z 2>&1)
    [[ -z $warnings ]] || fail "$(basename "$page"): $warnings"
done

check_output() {  # one line of 64 hex digits
    local output
    output=$("$@")
    echo "$1: $output"
    [[ $output =~ ^[0-9a-f]{64}$ ]] || fail "unexpected output"
}

# The C example with pkg-config: only the unpacked root is searched.
export PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$libdir/pkgconfig
[[ $("$pkg_config" --modversion quorvandelith) == "$upstream" ]] || fail "pkg-config --modversion"
# shellcheck disable=SC2046
"$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$tmp/consumer_pc" "$src/quorvandelith/tests/consumer.c" \
    $("$pkg_config" --cflags --libs quorvandelith)
LD_LIBRARY_PATH=$libdir check_output "$tmp/consumer_pc"
unset PKG_CONFIG_SYSROOT_DIR PKG_CONFIG_LIBDIR

# The CMake example with find_package, which must find the unpacked package.
"$cmake" -S "$src/quorvandelith/tests/consumer_project" -B "$tmp/build" \
    -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_C_COMPILER="$cc" -DQUORVANDELITH_VERSION="$upstream" \
    -DCONSUMER_SOURCE="$src/quorvandelith/tests/consumer.c" >"$tmp/cmake.log" 2>&1 ||
    { cat "$tmp/cmake.log"; fail "configuring the CMake example"; }
found=$(sed -n 's/^quorvandelith_DIR:PATH=//p' "$tmp/build/CMakeCache.txt")
[[ $found == "$libdir/cmake/quorvandelith" ]] || fail "find_package found $found"
"$cmake" --build "$tmp/build" >"$tmp/build.log" 2>&1 ||
    { cat "$tmp/build.log"; fail "building the CMake example"; }
check_output "$tmp/build/consumer"

# lintian: every tag is shown; an error fails the test (and so does a
# failure of lintian itself, which exits nonzero on either).
status=0
"$lintian" --display-info "$runtime" "$dev" >"$tmp/lintian.log" 2>&1 || status=$?
cat "$tmp/lintian.log"
! grep -q '^E: ' "$tmp/lintian.log" || fail "lintian reports errors"
((status == 0)) || fail "lintian exited with status $status"
echo "package test passed"
