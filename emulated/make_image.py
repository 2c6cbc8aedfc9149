#!/usr/bin/python3
"""Builds the boot image of the emulated AVX-512 run: a CD image that isolinux
boots into the kernel with an initramfs whose init (busybox's sh) runs each
guest program in turn and reports on the first serial port.

    make_image.py <manifest> <vmlinuz> <workdir> <output.iso>

The manifest (written by CMake, emulated/guest.cmake) holds one program per
line, tab-separated: name, path on this machine, arguments (separated by
spaces), then the marker lines the program must print, separated by '|'.

A dynamic program is copied with every library that ldd lists and the
dynamic loader, at /lib and /lib64; a static one alone. All are stripped of
debug info (the guest needs none, and a smaller initramfs loads faster).
"""

import os
import shlex
import shutil
import stat
import subprocess
import sys

BUSYBOX = "/bin/busybox"  # Debian's busybox-static
ISOLINUX = "/usr/lib/ISOLINUX/isolinux.bin"
LDLINUX = "/usr/lib/syslinux/modules/bios/ldlinux.c32"
LOADER = "/lib64/ld-linux-x86-64.so.2"

# The kernel's command line. bochs reports the PKRU state size as 0, which
# makes the kernel turn XSAVE (and with it AVX-512) off unless XSAVEC (321),
# XSAVES (323) and PKU (515) are hidden; with FSRM (580) shown the kernel
# hangs in memmove on this CPU model. The emulated CPU has RDRAND, which
# random.trust_cpu lets the kernel use, so getrandom is ready at once. A
# panicked kernel waits (it does not reboot) until the runner stops bochs.
CMDLINE = ("console=ttyS0 clearcpuid=321,323,515,580 random.trust_cpu=on "
           "cryptomgr.notests=1 quiet")


def read_manifest(path):
    programs = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line.strip():
                continue
            name, host_path, args, markers = line.split("\t")
            programs.append((name, host_path, args.split(), markers))
    return programs


def libraries(program):
    """Absolute paths of the shared libraries ldd lists for program (none
    for a static program)."""
    run = subprocess.run(["ldd", program], check=False, capture_output=True, text=True)
    if "not a dynamic executable" in run.stdout + run.stderr:
        return []
    if run.returncode != 0:
        raise RuntimeError(f"ldd {program} failed: {run.stderr}")
    out = run.stdout
    found = []
    for line in out.splitlines():
        parts = line.split()
        if "=>" in parts:
            target = parts[parts.index("=>") + 1]
            if target.startswith("/"):
                found.append(target)
        elif parts and parts[0].startswith("/"):
            found.append(parts[0])  # the loader itself
    return found


def init_script(programs):
    lines = [
        "#!/bin/busybox sh",
        "# Written by make_image.py: runs the guest programs and powers off.",
        "/bin/busybox --install -s /bin",
        "export PATH=/bin LD_LIBRARY_PATH=/lib GTEST_COLOR=no",
        "mount -t proc proc /proc",
        "mount -t sysfs sysfs /sys",
        "mount -t devtmpfs devtmpfs /dev",
        "mkdir -p /tmp && mount -t tmpfs tmpfs /tmp",
        'echo "guest: init after $(cut -d" " -f1 /proc/uptime) s of uptime"',
        'echo "guest: $(grep -m 1 "^flags" /proc/cpuinfo)"',
        "cd /tmp",
    ]
    for name, _, args, _ in programs:
        command = " ".join(shlex.quote(a) for a in ["/bin/" + name] + args)
        lines += [
            f'echo "guest: start {name}"',
            f"{command}",
            f'echo "guest: exit {name} status $? uptime $(cut -d" " -f1 /proc/uptime)"',
        ]
    lines += [
        'echo "guest: all programs ran"',
        "sleep 1",  # lets the last line reach the serial file
        "poweroff -f",
    ]
    return "\n".join(lines) + "\n"


def cpio_entry(out, name, mode, data=b"", rdev=(0, 0)):
    """One entry of a "newc" cpio archive, owned by root."""
    header = "070701" + "".join(f"{v:08x}" for v in [
        0, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name) + 1, 0])
    out.write(header.encode() + name.encode() + b"\0")
    out.write(b"\0" * (-(110 + len(name) + 1) % 4))
    out.write(data)
    out.write(b"\0" * (-len(data) % 4))


def write_initramfs(path, files, init):
    dirs = ["bin", "lib", "lib64", "dev", "proc", "sys", "tmp"]
    with open(path, "wb") as out:
        for d in dirs:
            cpio_entry(out, d, stat.S_IFDIR | 0o755)
        # The kernel opens /dev/console for init before any devtmpfs is mounted.
        cpio_entry(out, "dev/console", stat.S_IFCHR | 0o600, rdev=(5, 1))
        cpio_entry(out, "init", stat.S_IFREG | 0o755, init.encode())
        for guest_path, host_path in sorted(files.items()):
            with open(host_path, "rb") as f:
                cpio_entry(out, guest_path, stat.S_IFREG | 0o755, f.read())
        cpio_entry(out, "TRAILER!!!", 0)


def main():
    manifest, vmlinuz, work, iso = sys.argv[1:5]
    programs = read_manifest(manifest)
    shutil.rmtree(work, ignore_errors=True)
    staging = os.path.join(work, "staging")
    os.makedirs(staging)
    files = {"bin/busybox": BUSYBOX}
    for name, host_path, _, _ in programs:
        stripped = os.path.join(staging, name)
        subprocess.run(["objcopy", "--strip-debug", host_path, stripped], check=True)
        files["bin/" + name] = stripped
        for lib in libraries(host_path):
            if os.path.basename(lib) == os.path.basename(LOADER):
                files[LOADER.lstrip("/")] = lib
            else:
                files["lib/" + os.path.basename(lib)] = lib
    write_initramfs(os.path.join(staging, "initrd"), files, init_script(programs))

    iso_root = os.path.join(work, "iso")
    os.makedirs(os.path.join(iso_root, "isolinux"))
    shutil.copy(ISOLINUX, os.path.join(iso_root, "isolinux"))
    shutil.copy(LDLINUX, os.path.join(iso_root, "isolinux"))
    shutil.copy(vmlinuz, os.path.join(iso_root, "vmlinuz"))
    shutil.move(os.path.join(staging, "initrd"), os.path.join(iso_root, "initrd"))
    with open(os.path.join(iso_root, "isolinux", "isolinux.cfg"), "w", encoding="utf-8") as f:
        f.write(f"default guest\nprompt 0\ntimeout 0\nlabel guest\n"
                f"  kernel /vmlinuz\n  append initrd=/initrd {CMDLINE}\n")
    subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-o", iso,
                    "-b", "isolinux/isolinux.bin", "-c", "isolinux/boot.cat",
                    "-no-emul-boot", "-boot-load-size", "4", "-boot-info-table",
                    iso_root], check=True)
    shutil.rmtree(work)


if __name__ == "__main__":
    main()
