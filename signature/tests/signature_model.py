#!/usr/bin/python3
"""Independent model of signature_client's report, written from the documented
algorithm rather than from the C++ code.

Key generation replays glibc's unseeded rand() (through ctypes) in the documented
order: the 32 words of a prime candidate, least significant word first; an odd
candidate is tested and stepped by 2 until 100 Miller-Rabin trials pass, each trial
drawing floor(10 * words(n - 1) / 4) words for its witness (80 for 1023-bit
candidates) and stopping the candidate at the first failed trial; then q the same
way; then one draw for the public exponent, stepped on without further draws while
it shares a factor with phi.  SHA-256 and HMAC come from hashlib/hmac, the
exponentiations from Python's pow.

The compiled-in message and demonstration key are read from the driver source, the
first argument. Without a second argument the report is written to standard output;
with the program as second argument, the program is run and its standard output must
equal the model's report byte for byte (exit status 1 otherwise); in a cross build it
runs under the command in the environment variable TEST_EMULATOR.
"""
import ctypes
import hashlib
import hmac
import os
import re
import subprocess
import sys

rand = ctypes.CDLL("libc.so.6").rand
rand.restype = ctypes.c_int


def random_words(count):
    """Value of count rand() words, the first drawn least significant."""
    value = 0
    for i in range(count):
        value |= rand() << (32 * i)
    return value


def words(value):
    return (value.bit_length() + 31) // 32


def miller_rabin(n, count):
    if n < 3:
        return 0
    u = n - 1
    d, s = u, 0
    while d % 2 == 0:
        d //= 2
        s += 1
    for _ in range(count):
        a = random_words(10 * words(u) // 4) % u
        if a < 2:  # witnesses 0 and 1 say nothing: the trial passes
            continue
        x = pow(a, d, n)
        if x == 1:
            continue
        for j in range(s):
            if x == u:
                break
            if j == s - 1:
                return 0
            x = x * x % n
    return 1


def random_prime(size, out):
    p = random_words(size // 4)
    if p % 2 == 0:
        p += 1
    while True:
        out.append(".")
        if miller_rabin(p, 100):
            break
        p += 2
    out.append("\n")
    return p


def gcd(a, b):
    while b:
        a, b = b, a % b
    return a


def random_exponent(phi, bound):
    k = rand() % bound
    while gcd(k, phi) != 1:
        k = (k + 1) % bound
        if k <= 2:
            k = 3
    return k


def modular_inverse(a, m):
    """Extended Euclid with the coefficient's magnitude and a separate sign."""
    r0, r1, x0, x1, negative = a, m, 1, 0, False
    while r1:
        q, rem = divmod(r0, r1)
        x0, x1 = x1, x0 + q * x1
        r0, r1 = r1, rem
        negative = not negative
    return m - x0 if negative else x0


def key_generation(out):
    p = random_prime(128, out)
    out.append("p = %d\n" % p)
    q = random_prime(128, out)
    out.append("q = %d\n" % q)
    n, phi = p * q, (p - 1) * (q - 1)
    e = random_exponent(phi, 2147483647)
    d = modular_inverse(e, phi)
    assert d == pow(e, -1, phi)
    out.append("n=%d\nd=%d\ne=%d\n" % (n, d, e))


def c_string(source, name):
    """Concatenated string literals of `name`'s initialiser in the driver source."""
    match = re.search(r"\b" + name + r"\b\s*(?:\[\s*\])?\s*=\s*((?:\s*\"(?:[^\"\\]|\\.)*\")+)", source)
    literals = re.findall(r"\"((?:[^\"\\]|\\.)*)\"", match.group(1))
    return "".join(literals).encode().decode("unicode_escape")


def report(source):
    message = c_string(source, "message").encode()
    n, e, d = (int(c_string(source, name)) for name in ("n", "e", "d"))
    out = []
    digest = hashlib.sha256(message).digest()
    out.append("************SHA-256*************\n")
    out.append("message:\n%s\n" % message.decode())
    out.append("digest:\n%s\n" % digest.hex())
    out.append("************HMAC-SHA-256*************\n")
    out.append(hmac.new(b"quietlamp", message, hashlib.sha256).hexdigest() + "\n")
    out.append("************RSA_KEY_GEN*************\n")
    key_generation(out)
    out.append("************RSA Sigature*************\n")
    h = int.from_bytes(digest, "little")
    signature = pow(h, d, n)
    out.append("Hash value (in dec):\n%d\n" % h)
    out.append("Signature result:\n%d\n" % signature)
    decrypted = pow(signature, e, n)
    out.append("Decrypted Hash value:\n%d\n" % decrypted)
    out.append("match!\n" if decrypted == h else "no match!\n")
    return "".join(out)


def check(program, expected):
    emulator = os.environ.get("TEST_EMULATOR", "").split()
    run = subprocess.run(emulator + [program], stdout=subprocess.PIPE, check=False)
    actual = run.stdout.decode("ascii", "replace")
    if run.returncode != 0:
        print("%s exited with status %d" % (program, run.returncode))
        return 1
    if actual == expected:
        print("report identical to the model (%d lines)" % expected.count("\n"))
        return 0
    want, got = expected.split("\n"), actual.split("\n")
    for i in range(max(len(want), len(got))):
        w = want[i] if i < len(want) else "<missing>"
        g = got[i] if i < len(got) else "<missing>"
        if w != g:
            print("line %d differs\n model:   %.120s\n program: %.120s" % (i + 1, w, g))
            break
    return 1


if __name__ == "__main__":
    with open(sys.argv[1]) as f:
        expected = report(f.read())
    if len(sys.argv) > 2:
        sys.exit(check(sys.argv[2], expected))
    sys.stdout.write(expected)
