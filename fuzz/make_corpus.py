#!/usr/bin/python3
"""Writes the seed corpus of each fuzz target into corpus/<target>/, encoded
for that target's input decoder: the published vectors (FIPS 180-4, RFC 4231,
FIPS-197, NIST SP 800-38A, RFC 4493, RFC 7539) and the hand-found hard cases
of the unit tests (the division's corrected and added-back digit estimates).
Run it from anywhere: /usr/bin/python3 fuzz/make_corpus.py"""

import os
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, cases):
    folder = os.path.join(HERE, "corpus", target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in cases.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(bytes(data))


# --- fuzz_bignum -----------------------------------------------------------

EDGE = [0, 1, 0xFFFFFFFF, 0x80000000, 0x7FFFFFFF, 0xFFFFFFFE]
ARITHMETIC, POW_MOD, MONTGOMERY, INVERSE, STRINGS = 0, 4, 5, 6, 7


def word(w):
    if w in EDGE:
        return [EDGE.index(w)]
    if w < 16:
        return [6 | w << 3]
    if w ^ 0xFFFFFFFF < 16:
        return [0x86 | (w ^ 0xFFFFFFFF) << 3]
    return [7] + list(w.to_bytes(4, "big"))


def words_of(value):
    out = []
    while value:
        out.append(value & 0xFFFFFFFF)
        value >>= 32
    return out


def operand(value, max_words, zero_word=False):
    """An operand given as an int or as a list of words, least significant first."""
    words = words_of(value) if isinstance(value, int) else value
    assert len(words) <= max_words
    if zero_word:  # zero as one word of 0: a length byte of 0 mod (max_words + 1), top bit set
        return [next(h for h in range(128, 256) if h % (max_words + 1) == 0)]
    return [len(words)] + [b for w in words for b in word(w)]


def arithmetic(a, b, same=False, a_zero_word=False, b_zero_word=False):
    return ([ARITHMETIC | (0x80 if same else 0)] + operand(a, 64, a_zero_word) +
            operand(b, 40, b_zero_word))


def pow_mod(base, exponent, modulus):
    words = words_of(modulus) if isinstance(modulus, int) else modulus
    odd = len(words) >= 2 and words[0] & 1
    return ([POW_MOD] + operand(modulus, 70) + operand(base, 40) +
            operand(exponent, 24 if odd else 4))


def montgomery(base, exponent, modulus):
    """Odd moduli of up to 128 words, exponents of up to 2."""
    return [MONTGOMERY] + operand(modulus, 128) + operand(base, 128) + operand(exponent, 2)


bignum = {
    # bignum_test: carries and borrows through words of all ones.
    "carry_2^96-1_plus_1": arithmetic([0xFFFFFFFF] * 3, 1),
    "carry_into_ones": arithmetic([1, 7], [0xFFFFFFFF, 0xFFFFFFFF]),
    "borrow_through_zeros": arithmetic([0, 0, 0, 1], 1),
    "equal_operands": arithmetic([5, 0, 1], 0, same=True),
    "zero_forms": arithmetic(0, 0, a_zero_word=True),
    "zero_over_zero_word": arithmetic(0, 0, b_zero_word=True),
    "5_over_7": arithmetic(5, 7),
    "0_over_7": arithmetic(0, 7),
    "one_word_divisor": arithmetic([7, 0, 5], 0xFFFFFFFF),
    # The estimate above 32 bits, lowered; zero windows; borrows through the divisor.
    "estimate_lowered": arithmetic([0, 0, 0x80000000], [1, 0x80000000]),
    "zero_windows": arithmetic([0, 1, 0x80000000], [1, 0x80000000]),
    "borrow_through_divisor": arithmetic([0, 0, 0, 0x80000000],
                                         [0xFFFFFFFF, 0xFFFFFFFF, 0x80000000]),
    "small_over_long_divisor": arithmetic([1, 2, 3], [0xFFFFFFFF, 0xFFFFFFFF, 0x80000000]),
    # Estimates one too large after the second-word test: the divisor is added back.
    "add_back_1": arithmetic([0x0, 0x0, 0x7fffffff, 0xffffffff], [0xffffffff, 0xfffffffe, 0x1]),
    "add_back_2": arithmetic([0x1, 0x2, 0x80000000, 0x80000000, 0xffffffff],
                             [0xffffffff, 0x80000000, 0xffffffff]),
    "add_back_3": arithmetic([0x80000001, 0xffffffff, 0xfffffffe, 0x7fffffff, 0x1],
                             [0xfffffffe, 0xffffffff, 0x7fffffff]),
    "add_back_4": arithmetic([0x2, 0x0, 0x1, 0xffffffff, 0x1],
                             [0x80000001, 0x80000000, 0xffffffff]),
    # montgomery_test and rsa_test: odd (Montgomery), even and one-word moduli.
    "pow_mersenne_127": pow_mod(123456789123456789123456789, 98765432109876543210, 2**127 - 1),
    "pow_even_modulus": pow_mod(2**200 + 12345, 65537, 2**160 + 2**64),
    "pow_one_word_zero": pow_mod(14, 2, 7),
    "pow_exponent_zero": pow_mod(3, 0, 1),
    "pow_base_above_modulus": pow_mod(1000, 3, 13),
    "pow_16_limbs": pow_mod([0xFFFFFFFE] + [0xFFFFFFFF] * 31, [0xFFFFFFFF] * 3,
                            [0xFFFFFFFF] * 32),
    "pow_32_limbs": pow_mod(2**1000 + 1, 65537, [0xFFFFFFFF] * 63 + [0x80000000]),
    # montgomery_kernel_test: (m - 1)^e at the row-kernel and fixed sizes, and one limb.
    "kernel_4_limbs": montgomery([0xFFFFFFFE] + [0xFFFFFFFF] * 7, [3], [0xFFFFFFFF] * 8),
    "kernel_16_limbs": montgomery([0xFFFFFFFE] + [0xFFFFFFFF] * 31, [0xFFFFFFFF] * 2,
                                  [0xFFFFFFFF] * 32),
    "kernel_32_limbs": montgomery([0xFFFFFFFF] * 63, [7, 1],
                                  [1] + [0] * 62 + [0x80000000]),
    "kernel_one_limb": montgomery(0xFFFFFFFFFFFFFFC4, 12345, 0xFFFFFFFFFFFFFFC5),
    # rsa_test: the inverse, and no inverse for a common factor.
    "inverse_3_mod_7": [INVERSE] + operand(3, 16) + operand(7, 16),
    "inverse_7_mod_3": [INVERSE] + operand(7, 16) + operand(3, 16),
    "no_inverse_common_factor": [INVERSE] + operand(123456789012345678901234567890 * 97, 16) +
                                operand(123456789012345678901234567890 * 89, 16),
    # bignum_test: tostring of 2^32, fromstring of "000123" and of 100 digits.
    "tostring_2^32": [STRINGS] + operand([0, 1], 24) + [2, 0, 0, 0, 1, 2, 3],
    "tostring_zero_word": [STRINGS] + operand(0, 24, zero_word=True) + [0],
    "fromstring_100_digits": ([STRINGS] + operand(10**99, 24) + [1, 9] +
                              [i * 7 % 10 for i in range(1, 100)]),
}

# --- fuzz_sha256_hmac ------------------------------------------------------


def sha(message, key=b"", pieces=(), flags=0):
    return [flags, len(key), len(pieces)] + list(pieces) + list(key) + list(message)


def pattern(n):
    return bytes((i * 7 + 3) % 256 for i in range(n))


sha256_hmac = {
    # FIPS 180-4 examples.
    "fips_empty": sha(b""),
    "fips_abc": sha(b"abc"),
    "fips_two_blocks": sha(b"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                           pieces=(3, 50)),
    # Padding boundaries: 55 bytes fit one block, 56 need two; 64 compress in update.
    "pad_55": sha(pattern(55), pieces=(54,)),
    "pad_56": sha(pattern(56), pieces=(0, 55)),
    "pad_63_64_65": sha(pattern(65), pieces=(63, 1)),
    "pad_119_120": sha(pattern(120), pieces=(64, 55)),
    "bit_count_carry": sha(pattern(40), flags=1 | 39 << 1),
    # RFC 4231 section 4, test cases 1-7.
    "rfc4231_1": sha(b"Hi There", key=b"\x0b" * 20),
    "rfc4231_2": sha(b"what do ya want for nothing?", key=b"Jefe"),
    "rfc4231_3": sha(b"\xdd" * 50, key=b"\xaa" * 20),
    "rfc4231_4": sha(b"\xcd" * 50, key=bytes(range(1, 26))),
    "rfc4231_5": sha(b"Test With Truncation", key=b"\x0c" * 20),
    "rfc4231_6": sha(b"Test Using Larger Than Block-Size Key - Hash Key First", key=b"\xaa" * 131),
    "rfc4231_7": sha(b"This is a test using a larger than block-size key and a larger than "
                     b"block-size data. The key needs to be hashed before being used by the HMAC "
                     b"algorithm.", key=b"\xaa" * 131),
    "key_64": sha(b"block-sized keys are used as they are", key=pattern(64)),
    "key_65": sha(b"block-sized keys are used as they are", key=pattern(65)),
}

# --- fuzz_aes --------------------------------------------------------------

BLOCK, CBC, CMAC = 0, 1, 2


def aes(op, key, iv, text, decrypt=False, in_place=False, shorter=0):
    size = {16: 0, 24: 1, 32: 2}[len(key)]
    mode = next(m for m in range(256) if m % 3 == size and m // 3 % 3 == op and
                (m >> 6 & 1) == decrypt and (m >> 7 & 1) == in_place)
    return [mode, shorter] + list(key) + list(iv) + list(text)


h = bytes.fromhex
FIPS197 = [  # Appendix C.1-C.3
    ("000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"),
    ("000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"),
    ("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "8ea2b7ca516745bfeafc49904b496089"),
]
FIPS197_PLAIN = h("00112233445566778899aabbccddeeff")
SP800_38A_IV = h("000102030405060708090a0b0c0d0e0f")
SP800_38A_PLAIN = h("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710")
SP800_38A = [  # F.2.1-F.2.6
    ("2b7e151628aed2a6abf7158809cf4f3c",
     "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
     "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"),
    ("8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
     "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a"
     "571b242012fb7ae07fa9baac3df102e008b0e27988598881d920a9e64f5615cd"),
    ("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
     "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"),
]
aes_cases = {}
for i, (key, cipher) in enumerate(FIPS197):
    aes_cases[f"fips197_c{i + 1}_encrypt"] = aes(BLOCK, h(key), bytes(16), FIPS197_PLAIN)
    aes_cases[f"fips197_c{i + 1}_decrypt_in_place"] = aes(BLOCK, h(key), bytes(16), h(cipher),
                                                          decrypt=True, in_place=True)
for i, (key, cipher) in enumerate(SP800_38A):
    aes_cases[f"sp800_38a_f2_{2 * i + 1}_encrypt"] = aes(CBC, h(key), SP800_38A_IV, SP800_38A_PLAIN)
    aes_cases[f"sp800_38a_f2_{2 * i + 2}_decrypt"] = aes(CBC, h(key), SP800_38A_IV, h(cipher),
                                                         decrypt=True, shorter=9)
    aes_cases[f"sp800_38a_partial_{len(key) * 4}"] = aes(CBC, h(key), SP800_38A_IV,
                                                        SP800_38A_PLAIN[:41])
RFC4493_KEY = h("2b7e151628aed2a6abf7158809cf4f3c")
for n in (0, 16, 40, 64):  # RFC 4493 section 4, examples 1-4
    aes_cases[f"rfc4493_{n}"] = aes(CMAC, RFC4493_KEY, bytes(16), SP800_38A_PLAIN[:n])

# --- fuzz_drng_core --------------------------------------------------------


def drng(requests, key=(0,) * 8, counter=0, nonce=(0, 0, 0), flags=0):
    out = [flags] + list(counter.to_bytes(4, "big"))
    for w in list(key) + list(nonce):
        out += list(w.to_bytes(4, "big"))
    for r in requests:
        if isinstance(r, bytes):  # a seed
            out += [0x80, len(r)] + list(r)
        else:
            offset, length = r
            out += [offset, length >> 8, length & 0xFF]
    return out


SEED = bytes(range(64))
RFC7539_KEY = [int.from_bytes(bytes(range(4 * i, 4 * i + 4)), "little") for i in range(8)]
drng_core = {
    # The generator's self-tests, the first being RFC 7539's all-zero keystream.
    "self_test_1": drng([(0, 32)]),
    "self_test_2": drng([SEED, (0, 64)]),
    "self_test_3": drng([SEED[:36], (0, 36)]),
    # RFC 7539 section 2.3.2: key 00..1f, counter 1, nonce 00000009 0000004a 00000000.
    "rfc7539_2_3_2": drng([(0, 64), (1, 33)], key=RFC7539_KEY, counter=1,
                          nonce=(0x09000000, 0x4A000000, 0)),
    # Counters that wrap inside an eight- or sixteen-block batch, at odd addresses.
    "wrap_in_batch": drng([(3, 4095), (5, 1024)], flags=1 | 6 << 1),
    "wrap_late": drng([(1, 17 * 64 + 31), (2, 8 * 64)], flags=1 | 100 << 1),
    # The nonce carries from word 13 through 14 to 15.
    "nonce_carry": drng([(0, 0), (7, 96), (0, 200)], flags=2 | 4, nonce=(0, 0, 5)),
}

write("fuzz_bignum", bignum)
write("fuzz_sha256_hmac", sha256_hmac)
write("fuzz_aes", aes_cases)
write("fuzz_drng_core", drng_core)
