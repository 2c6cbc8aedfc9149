#!/usr/bin/python3
"""Boots the image that make_image.py built in bochs, emulating an Intel CPU
with AVX-512F and AVX-512 IFMA (model tigerlake), and judges the run from the
guest's first serial port. Passes (exit status 0) only when

  - the guest's /proc/cpuinfo flags show avx512f and avx512ifma,
  - every guest program started and exited with status 0,
  - every marker line the manifest gives for a program appeared in its output;

anything else (a time-out, a kernel panic, a missing line) fails with a
message saying what went wrong.

    run_guest.py <manifest> <image.iso> <workdir> <time limit in seconds>
"""

import os
import shutil
import signal
import subprocess
import sys
import time

# The terminal display opens no socket; the debugger bochs starts in is left
# at once by the command file's "c"; sound devices are left out (the sound
# plugin aborts without a sound card); the serial port writes to a file.
BOCHSRC = """\
megs: 384
cpu: model=tigerlake, count=1, ips=30000000, reset_on_triple_fault=0
clock: sync=none, time0=1700000000
romimage: file=/usr/share/bochs/BIOS-bochs-latest
vgaromimage: file=/usr/share/vgabios/vgabios.bin
ata0-master: type=cdrom, path={iso}, status=inserted
boot: cdrom
com1: enabled=1, mode=file, dev={serial}
display_library: term
plugin_ctrl: speaker=0, sb16=0, es1370=0, gameport=0, parallel=0, unmapped=0, biosdev=0
sound: waveoutdrv=dummy, waveindrv=dummy, midioutdrv=dummy
mouse: enabled=0
log: {log}
panic: action=fatal
error: action=report
info: action=ignore
debug: action=ignore
"""


def read_manifest(path):
    programs = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.strip():
                name, _, _, markers = line.split("\t")
                programs.append((name, [m for m in markers.split("|") if m]))
    return programs


def main():
    manifest, iso, limit = sys.argv[1], sys.argv[2], float(sys.argv[4])
    work = os.path.abspath(sys.argv[3])
    programs = read_manifest(manifest)
    print("note: bochs 2.7 emulates ADOX wrongly, so nothing that runs the ADX "
          "Montgomery kernel is among the guest programs")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    serial = os.path.join(work, "serial.txt")
    with open(os.path.join(work, "bochsrc"), "w", encoding="utf-8") as f:
        f.write(BOCHSRC.format(iso=os.path.abspath(iso), serial=serial,
                               log=os.path.join(work, "bochs.log")))
    with open(os.path.join(work, "commands"), "w", encoding="utf-8") as f:
        f.write("c\n")
    open(serial, "w").close()

    # The terminal display needs a terminal: script gives it a pseudo-terminal.
    # timeout bounds the whole run; a normal power-off ends bochs with status 1,
    # so the serial output alone says how the run went.
    bochs = f"timeout -k 10 {int(limit)} bochs -q -f bochsrc -rc commands"
    start = time.monotonic()
    # A terminal type every ncurses install knows, whatever CI sets (or not).
    env = dict(os.environ, TERM="vt100")
    proc = subprocess.Popen(["script", "-qfec", bochs, "/dev/null"], cwd=work, env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    # Host time at which each serial line appeared: the guest's own clock
    # runs on the emulator's instruction count, not on real time.
    seen = []
    pos = 0
    partial = ""
    while True:
        running = proc.poll() is None
        with open(serial, encoding="utf-8", errors="replace") as f:
            f.seek(pos)
            chunk = f.read()
            pos = f.tell()
        now = time.monotonic() - start
        partial += chunk
        *complete, partial = partial.split("\n")
        for line in complete:
            line = line.rstrip("\r")
            seen.append((now, line))
            print(f"[{now:6.1f} s] {line}", flush=True)
            if "Kernel panic" in line and running:
                # A panicked guest never powers off: stop bochs now.
                time.sleep(1)
                os.killpg(proc.pid, signal.SIGTERM)
        if not running:
            break
        time.sleep(0.2)
    if partial:
        seen.append((time.monotonic() - start, partial))
        print(f"[{seen[-1][0]:6.1f} s] {partial}")
    total = time.monotonic() - start
    print(f"bochs ended with status {proc.returncode} after {total:.1f} s")

    failures = []
    lines = [line for _, line in seen]
    if total >= limit - 1:
        failures.append(f"the guest did not finish within {limit:.0f} s (bochs was stopped)")
    if any("Kernel panic" in line for line in lines):
        failures.append("the guest kernel panicked")
    flags = next((line for line in lines if line.startswith("guest: flags")), None)
    if flags is None:
        failures.append("the guest printed no CPU flags line (init never ran?)")
    else:
        have = set(flags.split(":", 2)[2].split())
        for flag in ("avx512f", "avx512ifma"):
            if flag not in have:
                failures.append(f"the guest CPU does not show {flag}")
    boot = next((t for t, line in seen if line.startswith("guest: init after")), None)
    if boot is not None:
        print(f"guest init reached {boot:.1f} s after bochs started")

    for name, markers in programs:
        begin = next((i for i, (_, l) in enumerate(seen) if l == f"guest: start {name}"), None)
        end = next((i for i, (_, l) in enumerate(seen)
                    if l.startswith(f"guest: exit {name} status ")), None)
        if begin is None or end is None or end < begin:
            failures.append(f"{name}: did not run to its end")
            continue
        status = seen[end][1].split()[4]
        seconds = seen[end][0] - seen[begin][0]
        print(f"{name}: exit status {status}, {seconds:.1f} s in the guest")
        if status != "0":
            failures.append(f"{name}: exit status {status}")
        output = [l.strip() for _, l in seen[begin + 1:end]]
        for marker in markers:
            if marker not in output:
                failures.append(f"{name}: the line '{marker}' did not appear")
    if "guest: all programs ran" not in lines:
        failures.append("the guest did not reach the end of its init")

    if failures:
        print("FAILED:\n  " + "\n  ".join(failures))
        log = os.path.join(work, "bochs.log")
        if os.path.exists(log):
            with open(log, encoding="utf-8", errors="replace") as f:
                tail = f.readlines()[-15:]
            print("last lines of bochs.log:\n" + "".join(tail))
        return 1
    print(f"PASSED: every guest program exited 0 and printed its path lines ({total:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
