#!/usr/bin/python3
"""Independent model of the libquorvandelith generator, written from the documented
algorithm (not from the C++ source). The ChaCha20 block function comes from the
`cryptography` package, so the model shares no code with the library.

It replays scripted scenarios: a scripted kernel (getrandom answers and a fixed
byte stream) and a scripted real-time clock, and records what the library must
return. Run it to regenerate drng_vectors.h:

    /usr/bin/python3 drng_model.py > drng_vectors.h
"""

import hashlib
import struct
import sys

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms

MASK32 = 0xFFFFFFFF
EINTR, EAGAIN, ENOSYS, ERESTART = 4, 11, 38, 85
CONSTANTS = (0x61707865, 0x3320646E, 0x79622D32, 0x6B206574)
RESEED_AGE = 600
RESEED_BYTES = 1 << 30
MAX_INTERRUPTED_RETRIES = 100000  # interrupted getrandom calls retried in a row


def kernel_byte(k):
    """Byte k of the scripted kernel's random stream (k counts every byte handed out)."""
    return (0x3D + 11 * k + (k >> 8)) & 0xFF


def keystream(words, blocks):
    """`blocks` consecutive ChaCha20 blocks for key/counter/nonce words 4..15 (no counter wrap)."""
    key = struct.pack("<8I", *words[4:12])
    nonce = struct.pack("<4I", *words[12:16])
    enc = Cipher(algorithms.ChaCha20(key, nonce), mode=None).encryptor()
    return enc.update(bytes(64 * blocks))


class System:
    """Scripted kernel and clock, as fake_system.cpp plays them for the C++ test."""

    def __init__(self, kernel, clock, then_errno=0):
        # Kernel entries: >0 bytes returned (at most those asked for), <0 fails with
        # errno -entry, 0 returns 0 and leaves errno as it was. Once they run out,
        # every call fails with then_errno, or (0) returns what was asked for.
        self.kernel = list(kernel)
        self.then_errno = then_errno
        self.errno = None  # unknown until a call fails
        self.clock = list(clock)  # entries: (seconds, nanoseconds) or None for a failed read
        self.kernel_pos = 0
        self.clock_reads = 0
        self.getrandom_calls = 0

    def getrandom(self, length):
        self.getrandom_calls += 1
        if self.kernel:
            answer = self.kernel.pop(0)
            if answer < 0:
                self.errno = -answer
                return -1, self.errno, b""
            if answer == 0:
                return 0, self.errno, b""
            length = min(length, answer)
        elif self.then_errno:
            self.errno = self.then_errno
            return -1, self.errno, b""
        data = bytes(kernel_byte(self.kernel_pos + i) for i in range(length))
        self.kernel_pos += length
        return length, 0, data

    def clock_gettime(self):
        # The script repeats its last entry once it runs out.
        entry = self.clock[min(self.clock_reads, len(self.clock) - 1)]
        self.clock_reads += 1
        return entry


class Drng:
    def __init__(self, system):
        self.sys = system
        self.w = [0] * 16
        self.reseed_time = 0
        self.bytes_since_reseed = 0

    # --- generator core -------------------------------------------------------
    def block(self):
        out = keystream(self.w, 1)
        self.w[12] = (self.w[12] + 1) & MASK32
        return out

    def get_time(self):
        """Returns (seconds, nanoseconds low 32 bits) or None when the read fails."""
        r = self.sys.clock_gettime()
        if r is None:
            return None
        return r[0], r[1] & MASK32

    def update(self, leftover, index):
        if index > 8:
            fresh = struct.unpack("<16I", self.block())
            for i in range(8):
                self.w[4 + i] ^= fresh[i]
        else:
            words = struct.unpack("<16I", leftover)
            for i in range(8):
                self.w[4 + i] ^= words[index + i]
        for j in (13, 14, 15):
            self.w[j] = (self.w[j] + 1) & MASK32
            if self.w[j] != 0:
                break

    def seed(self, data):
        while data:
            chunk, data = data[:32], data[32:]
            for i, b in enumerate(chunk):
                self.w[4 + i // 4] ^= b << (8 * (i % 4))
            self.update(None, 16)
        return 0

    def generate(self, length, keep=True):
        whole = length // 64
        out = []
        # Whole blocks share key and nonce; only the counter moves (wrapping alone).
        done = 0
        while done < whole:
            run = min(whole - done, (1 << 32) - self.w[12])
            if keep:
                out.append(keystream(self.w, run))
            self.w[12] = (self.w[12] + run) & MASK32
            done += run
        n = length % 64
        local = None
        if n:
            local = self.block()
            out.append(local[:n])
            index = (n + 3) // 4
        else:
            index = 16
        self.update(local, index)
        return b"".join(out) if keep else None

    # --- public interface -----------------------------------------------------
    def reseed(self, data):
        buf = bytearray(32)
        got = 0
        retries = 0  # interrupted calls since the last delivery
        while got < 32:
            # A 0 return ends the read, whatever errno still says from earlier.
            r, err, bytes_ = self.sys.getrandom(32 - got)
            if r > 0:
                buf[got:got + r] = bytes_
                got += r
                retries = 0
            elif r < 0 and err in (EINTR, ERESTART) and retries < MAX_INTERRUPTED_RETRIES:
                retries += 1
            else:
                break
        if got > 0:
            self.seed(bytes(buf))
        if got < 32:
            return -14
        result = 0
        if data:
            result = self.seed(data)
        t = self.get_time()
        if t is not None:
            self.reseed_time = t[0]
        self.bytes_since_reseed = 0
        return result

    def get(self, length, keep=True):
        seconds, nanoseconds = 0, 0
        t = self.get_time()
        if t is not None:
            seconds, nanoseconds = t
        ns = struct.pack("<I", nanoseconds)
        age = ((seconds - self.reseed_time + (1 << 63)) % (1 << 64)) - (1 << 63)
        # An unknown age (failed clock read) or a negative one (clock set back)
        # counts as too old, like one above the limit.
        if t is None or age < 0 or age > RESEED_AGE or self.bytes_since_reseed > RESEED_BYTES:
            rc = self.reseed(ns)
            if rc:
                return rc, b""
            self.bytes_since_reseed = 0
            self.reseed_time = seconds
        else:
            self.seed(ns)
        out = self.generate(length, keep)
        self.bytes_since_reseed += length
        return 0, out


def init(system):
    """Returns (rc, handle or None). The known-answer stages are checked as documented."""
    d = Drng(system)
    d.w[0:4] = CONSTANTS
    expected_block = bytes.fromhex(
        "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7")
    expected_twoblocks = bytes.fromhex(
        "e3b08acc34c3170ec3d8c340e773e90dd162a35d7df2f14a2442b71eb0051707"
        "b93510698b46fb51e9913f46f24dead081c11ba95d52915fcddcc6d6c37c5023")
    expected_nonaligned = bytes.fromhex(
        "9cfc5e3121621185d377d3690fa81655b44cf652f3a837993876a066ecbbcea99c95a1fd")
    test_seed = bytes(range(64))
    assert d.generate(32) == expected_block
    d.w[4:16] = [0] * 12
    d.seed(test_seed)
    assert d.generate(64) == expected_twoblocks
    d.w[4:16] = [0] * 12
    d.seed(test_seed[:36])
    assert d.generate(36) == expected_nonaligned
    reading = 0
    for word in list(range(4, 12)) + [13, 14, 15]:
        t = d.get_time()
        if t is not None:
            reading = t[1]
        d.w[word] ^= reading
    rc = d.reseed(None)
    if rc:
        return rc, None
    return 0, d


# --- scenarios ------------------------------------------------------------------
def data_bytes(length, start):
    return bytes((start + 7 * i) & 0xFF for i in range(length))


def stir_clock(seconds):
    """Eleven readings for the stirring in init, then the reseed's reading."""
    return [(seconds, 100000007 * (i + 1) % 1000000000) for i in range(11)] + [(seconds, 5)]


# Operations: ("get", length, offset) | ("reseed", data or None) | ("getnull", length)
# where "getnull" draws but is checked only for its result (long requests).
SCENARIOS = []


def scenario(name, kernel, clock, ops, then_errno=0):
    SCENARIOS.append((name, kernel, clock, ops, then_errno))


scenario("Lengths", [], stir_clock(1000) + [(1000 + i, 999999 * i + 3) for i in range(1, 12)],
         [("get", n, off) for n, off in ((0, 0), (1, 1), (31, 3), (32, 0), (33, 5), (63, 1),
                                          (64, 3), (65, 0), (100, 7), (1000, 1), (4103, 3))])
scenario("ExplicitReseeds", [], stir_clock(50) + [(60 + i, 4321 * i) for i in range(20)],
         [("reseed", None), ("get", 40, 1), ("reseed", data_bytes(1, 9)), ("get", 40, 0),
          ("reseed", data_bytes(32, 1)), ("get", 17, 2), ("reseed", data_bytes(33, 2)),
          ("get", 64, 1), ("reseed", data_bytes(70, 3)), ("get", 100, 0),
          ("reseed", b""), ("get", 8, 0)])
scenario("AgeLimit", [],
         stir_clock(2000) + [(2600, 11), (2601, 12), (2601, 13), (3201, 14), (3202, 15),
                             (3202, 16), (-5, 17), (1500, (1 << 32) + 18), (3803, 19), (3803, 20)],
         [("get", 20, 0), ("get", 20, 1), ("get", 20, 0), ("get", 20, 0),
          ("get", 20, 3), ("get", 20, 0), ("get", 20, 0), ("get", 20, 0)])
scenario("ShortKernelReads", [10, 5, -EINTR, -ERESTART, 17, 31, -EINTR, 1, 8, -EAGAIN],
         stir_clock(700) + [(701 + i, 77 * i) for i in range(10)],
         [("get", 32, 0), ("reseed", data_bytes(5, 4)), ("get", 32, 1), ("reseed", None),
          ("get", 32, 0)])
scenario("FailedAutomaticReseed", [32, -EAGAIN, 3, -ENOSYS],
         stir_clock(100) + [(800, 21), (801, 22), (802, 23), (803, 24), (804, 25)],
         [("get", 24, 0), ("get", 24, 1), ("get", 24, 0), ("get", 24, 0)])
scenario("FailedClockReads", [],
         [(10, 1), None, (10, 3), None, None, (10, 6), (10, 7), None, (10, 9), (10, 10), None,
          None, (30, 100), None, (40, 200), None, (900, 300), None, (901, 400)],
         [("get", 16, 0), ("get", 16, 0), ("get", 16, 1), ("get", 16, 0), ("reseed", None),
          ("get", 16, 0)])
# The clock set back by an hour some time after init: the next get reseeds, and
# the age then counts from the earlier time.
scenario("ClockSetBackAfterInit", [],
         stir_clock(5000) + [(5100, 11), (5200, 12), (1600, 13), (1600, 14), (1660, 15),
                             (2200, 16), (2201, 17), (2201, 18)],
         [("get", 20, 0), ("get", 20, 1), ("get", 20, 0), ("get", 20, 0), ("get", 20, 3),
          ("get", 20, 0)])
# The clock fails after init, then works again: every get reseeds while it
# fails (reseed_time becomes 0), and so does the first get after it recovers.
scenario("ClockFailsAfterInitThenWorks", [],
         stir_clock(7000) + [(7010, 21), None, None, None, (7015, 22), (7020, 23), (7020, 24),
                             (7021, 25), (7621, 26), (7621, 27)],
         [("get", 24, 0), ("get", 24, 1), ("get", 24, 0), ("get", 24, 2), ("get", 24, 0),
          ("get", 24, 0)])
scenario("VolumeLimit", [], stir_clock(5000) + [(5000, 1000 + i) for i in range(40)],
         [("getnull", 1 << 26, 0)] * 16 + [("get", 33, 0), ("get", 33, 1), ("get", 33, 0)])
# A 0 return ends the read even when errno still says EINTR from the call before.
scenario("ZeroReturnEndsTheRead", [-EINTR, 32, 20, 0, -ERESTART, 0, 12, 20],
         stir_clock(300) + [(1000, 1), (1001, 2), (1002, 3), (1003, 4)],
         [("get", 48, 0), ("reseed", None), ("reseed", data_bytes(5, 6)), ("get", 48, 0),
          ("get", 48, 1)])
scenario("InitZeroReturnAfterEintr", [-EINTR, 0], stir_clock(1), [])
# Interrupted forever: each read ends, short, after 100,000 retries in a row.
scenario("InterruptedForever", [32, -EINTR, 12], stir_clock(400) + [(1001, 1)],
         [("get", 16, 0), ("reseed", None)], then_errno=ERESTART)
scenario("InitShortRead", [20, -EAGAIN], stir_clock(1), [])
scenario("InitNoGetrandom", [-ENOSYS], stir_clock(1), [])


def run(kernel, clock, ops, then_errno):
    system = System(kernel, clock, then_errno)
    rc, d = init(system)
    results = [(rc, b"")]
    if d:
        for op in ops:
            if op[0] == "reseed":
                results.append((d.reseed(op[1]), b""))
            else:
                keep = op[0] == "get"
                rc, out = d.get(op[1], keep)
                results.append((rc, out if keep else b""))
    return results, system


def c_bytes(data):
    return ", ".join(f"0x{b:02x}" for b in data)


def emit():
    w = sys.stdout.write
    w("// Generated by drng_model.py, an independent Python model of the generator\n"
      "// written from the documented algorithm; do not edit, rerun the script.\n"
      "// clang-format off\n"
      "#pragma once\n\n#include <stdint.h>\n\n#include \"fake_system.h\"\n\n"
      "namespace drng_vectors {\n\n")
    w("// Byte k of the scripted kernel's random stream.\n"
      "inline uint8_t kernel_byte(uint64_t k) {\n"
      "    return static_cast<uint8_t>(0x3d + 11 * k + (k >> 8));\n}\n\n")
    w("enum class Op { get, get_unchecked, reseed };\n\n"
      "struct Step {\n    Op op;\n    uint32_t length;  // bytes drawn or seeded\n"
      "    uint32_t offset;  // output offset from an aligned buffer\n"
      "    const uint8_t *data;  // reseed data (null: none)\n"
      "    int32_t result;\n"
      "    const uint8_t *expected;  // get: output, or its SHA-256 when longer than 64\n};\n\n"
      "using Clock = fake::Reading;  // nanoseconds -1: the read fails\n\n"
      "struct Scenario {\n    const char *name;\n    const long *kernel;\n    unsigned kernel_count;\n"
      "    int kernel_then;  // errno of every getrandom call after the script (0: none)\n"
      "    const Clock *clock;\n    unsigned clock_count;\n    const Step *steps;\n"
      "    unsigned step_count;  // steps[0] is the init\n"
      "    unsigned clock_reads;\n    unsigned getrandom_calls;\n};\n\n")
    table = []
    for name, kernel, clock, ops, then_errno in SCENARIOS:
        results, system = run(kernel, clock, ops, then_errno)
        p = f"k{name}"
        w(f"constexpr long {p}Kernel[] = {{{', '.join(map(str, kernel or [0]))}}};\n")
        w(f"constexpr Clock {p}Clock[] = {{\n")
        for c in clock:
            w("    {%d, %d},\n" % ((c[0], c[1]) if c else (0, -1)))
        w("};\n")
        steps = []
        all_ops = [("init",)] + list(ops)
        for i, (op, (rc, out)) in enumerate(zip(all_ops, results)):
            data = "nullptr"
            expected = "nullptr"
            if op[0] == "reseed" and op[1] is not None:
                data = f"{p}Data{i}"
                w(f"constexpr uint8_t {data}[] = {{{c_bytes(op[1]) or '0'}}};\n")
            if op[0] == "get" and rc == 0:
                blob = out if len(out) <= 64 else hashlib.sha256(out).digest()
                expected = f"{p}Out{i}"
                w(f"constexpr uint8_t {expected}[] = {{{c_bytes(blob) or '0'}}};\n")
            kind = {"init": "Op::reseed", "get": "Op::get", "getnull": "Op::get_unchecked",
                    "reseed": "Op::reseed"}[op[0]]
            length = op[1] if op[0] in ("get", "getnull") else (
                len(op[1]) if op[0] == "reseed" and op[1] is not None else 0)
            offset = op[2] if op[0] in ("get", "getnull") else 0
            steps.append(f"    {{{kind}, {length}u, {offset}u, {data}, {rc}, {expected}}},\n")
        w(f"constexpr Step {p}Steps[] = {{\n{''.join(steps)}}};\n\n")
        table.append(f"    {{\"{name}\", {p}Kernel, {len(kernel)}, {then_errno}, {p}Clock, {len(clock)}, "
                     f"{p}Steps, {len(steps)}, {system.clock_reads}, {system.getrandom_calls}}},\n")
        if len(results) != len(all_ops):
            raise SystemExit(f"{name}: init failed but the scenario has further steps")
    w(f"constexpr Scenario kScenarios[] = {{\n{''.join(table)}}};\n\n}}  // namespace drng_vectors\n")


if __name__ == "__main__":
    emit()
