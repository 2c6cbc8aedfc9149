#!/bin/sh
# Fetches the guest kernel, Debian's cloud kernel for amd64, into a directory
# of the build tree: apt-get download of the real linux-image-*-cloud-amd64
# package that the linux-image-cloud-amd64 metapackage depends on, unpacked
# with dpkg-deb. Nothing is installed on this machine. Writes <dir>/vmlinuz.
#   fetch_kernel.sh <dir>
set -eu
dir=$1
mkdir -p "$dir"
cd "$dir"

resolve() {
    apt-cache depends linux-image-cloud-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9].*-cloud-amd64\)$/\1/p' | head -n 1
}
package=$(resolve)
if [ -z "$package" ]; then
    # No package lists yet (a fresh machine): read them once.
    apt-get update -qq
    package=$(resolve)
fi
[ -n "$package" ] || { echo "fetch_kernel: linux-image-cloud-amd64 not found in apt's lists" >&2; exit 1; }

download() {
    rm -f ./*.deb
    # apt's messages go to standard error: standard output names the file.
    { apt-get download -q "$package" 2>&1 | grep -v "unsandboxed as root" || true; } >&2
    ls ./"$package"_*.deb 2>/dev/null | head -n 1
}
deb=$(download)
if [ -z "$deb" ]; then
    # Lists older than the archive name a version it no longer holds.
    apt-get update -qq
    package=$(resolve)
    deb=$(download)
fi
[ -n "$deb" ] || { echo "fetch_kernel: apt-get download $package failed" >&2; exit 1; }
rm -rf root
dpkg-deb -x "$deb" root
kernel=$(ls root/boot/vmlinuz-* | head -n 1)
cp "$kernel" vmlinuz.new
mv vmlinuz.new vmlinuz
echo "$package" > package
rm -rf root "$deb"
echo "fetch_kernel: $(basename "$kernel") from $package"
