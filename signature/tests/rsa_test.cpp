// RSA key generation, the RSA operation and sign/verify, checked against GMP. The
// source is compiled in to reach its file-local functions.
#include <gmp.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

// Compiled in to test gcd, bignum_pow_mod and Miller-Rabin, private to rsa.cpp by design.
#include "../rsa.cpp"
#include "sign.h"
#include "support.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

using test_support::Num;
using test_support::Z;

// A random value of 1 to max_bits bits from GMP's generator.
std::string random_value(gmp_randstate_t rs, unsigned max_bits) {
    Z x;
    mpz_urandomb(x.v, rs, 1 + gmp_urandomm_ui(rs, max_bits));
    return x.str();
}

// A random value of exactly bits bits.
std::string random_bits(gmp_randstate_t rs, unsigned bits) {
    Z x;
    mpz_urandomb(x.v, rs, bits);
    mpz_setbit(x.v, bits - 1);
    return x.str();
}

class Rsa : public ::testing::Test {
   protected:
    void SetUp() override {
        gmp_randinit_mt(rs);
        gmp_randseed_ui(rs, 1207);
    }
    void TearDown() override {
        gmp_randclear(rs);
    }
    gmp_randstate_t rs;
};

TEST_F(Rsa, ModularInverse) {
    const struct {
        const char *a, *m, *inverse;
    } small[] = {{"3", "7", "5"}, {"7", "3", "1"}, {"1", "2", "1"}, {"1", "97", "1"}};
    for (const auto &c : small) {
        Num a(c.a), m(c.m), r;
        modular_inverse(a, m, r);
        EXPECT_EQ(r.str(), c.inverse) << c.a << " mod " << c.m;
    }
    for (int i = 0; i < 300; i++) {
        std::string a_text = random_value(rs, 1100), m_text = random_value(rs, 1100);
        Z za(a_text), zm(m_text), want;
        if (mpz_cmp_ui(zm.v, 1) <= 0 || mpz_invert(want.v, za.v, zm.v) == 0) {
            continue;
        }
        Num a(a_text.c_str()), m(m_text.c_str()), r;
        modular_inverse(a, m, r);
        EXPECT_EQ(r.str(), want.str()) << a_text << " mod " << m_text;
    }
}

TEST_F(Rsa, Gcd) {
    Num zero, x("123456789012345678901234567890"), r;
    gcd(zero, x, r);
    EXPECT_EQ(r.str(), x.str());
    gcd(x, zero, r);
    EXPECT_EQ(r.str(), x.str());
    for (int i = 0; i < 300; i++) {
        // Values with a common factor, so that the gcd is seldom 1.
        Z f(random_value(rs, 300)), a(random_value(rs, 800)), b(random_value(rs, 800)), want;
        mpz_mul(a.v, a.v, f.v);
        mpz_mul(b.v, b.v, f.v);
        mpz_gcd(want.v, a.v, b.v);
        Num na(a.str().c_str()), nb(b.str().c_str());
        gcd(na, nb, r);
        EXPECT_EQ(r.str(), want.str());
    }
}

TEST_F(Rsa, PowModAgainstGmp) {
    Num r, zero, one("1"), seven("7"), thirteen("13");
    bignum_pow_mod(r, seven, zero, one);  // exponent 0 gives 1, unreduced
    EXPECT_EQ(r.str(), "1");
    bignum_pow_mod(r, zero, seven, thirteen);
    EXPECT_EQ(r.str(), "0");
    Num big("1000"), e("3");
    bignum_pow_mod(r, big, e, thirteen);  // base above the modulus: 10^9 mod 13 = 12
    EXPECT_EQ(r.str(), "12");

    for (unsigned bits : {40u, 100u, 300u, 1023u}) {
        for (int i = 0; i < 5; i++) {
            std::string b = random_value(rs, bits + 40), x = random_bits(rs, bits),
                        m = random_bits(rs, bits);
            Z zb(b), zx(x), zm(m), want;
            if (mpz_cmp_ui(zm.v, 2) < 0) {
                continue;
            }
            mpz_powm(want.v, zb.v, zx.v, zm.v);
            Num nb(b.c_str()), nx(x.c_str()), nm(m.c_str());
            bignum_pow_mod(r, nb, nx, nm);
            EXPECT_EQ(r.str(), want.str()) << b << " ^ " << x << " mod " << m;
        }
    }
}

TEST(MillerRabin, PrimesPass) {
    const char *primes[] = {
        "3",
        "5",
        "7",
        "11",
        "13",
        "65537",
        "4294967291",
        "2305843009213693951",                      // 2^61-1
        "170141183460469231731687303715884105727",  // 2^127-1
        ("6864797660130609714981900799081393217269435300143305409394463459185543183397656052"
         "122559640661454554977296311391480858037121987999716643812574028291115057151"),  // 2^521-1
    };
    for (const char *p : primes) {
        Num n(p);
        EXPECT_EQ(miller_rabin_test(n, 100), 1) << p;
    }
    Num two("2"), one("1"), zero;
    EXPECT_EQ(miller_rabin_test(two, 100), 1);
    EXPECT_EQ(miller_rabin_test(one, 100), 0);  // would halve zero forever
    EXPECT_EQ(miller_rabin_test(zero, 100), 0);
}

TEST(MillerRabin, CompositesFail) {
    const char *composites[] = {
        // Carmichael numbers (OEIS A002997), then a Chernick one (6k+1)(12k+1)(18k+1) for
        // k = 1000000001121, all factors prime (checked with Python).
        "561",
        "1105",
        "1729",
        "2465",
        "2821",
        "6601",
        "8911",
        "41041",
        "825265",
        "321197185",
        "1296000004358844004886708077826165821249",
        // Products of two primes: 65537 * 4294967291, (2^61-1)(2^89-1), (2^127-1)(2^89-1).
        "281470681677827",
        "1427247692705959880439315947500961989719490561",
        "105312291668557186697918027513529248857806893649219117400977309697",
        // Even numbers.
        "4",
        "1000000",
    };
    srand(99);
    for (const char *c : composites) {
        Num n(c);
        EXPECT_EQ(miller_rabin_test(n, 100), 0) << c;
    }
}

TEST(MillerRabin, DrawsTenSizeQuarterWordsPerTrial) {
    // The key pair depends on the number of rand() draws: n = 3 has n - 1 of one word, so
    // each trial draws 10 / 4 = 2 words; a two-word n - 1 draws 5.
    const struct {
        const char *n;
        int count, draws;
    } cases[] = {{"3", 100, 200}, {"18446744073709551557", 7, 35}, {"5", 0, 0}};
    for (const auto &c : cases) {
        srand(5);
        std::vector<int> expected(c.draws + 1);
        for (int &x : expected) {
            x = rand();
        }
        srand(5);
        Num n(c.n);
        EXPECT_EQ(miller_rabin_test(n, c.count), 1) << c.n;
        EXPECT_EQ(rand(), expected[c.draws]) << c.n;
    }
}

TEST(KeyGeneration, RandomExponentStepsAndWraps) {
    // Against phi = 30 with bound 11 only 1 and 7 are coprime candidates: a first draw of
    // 1 is kept, every other start walks (wrapping past 10 to 0, raised to 3) to 7.
    Num phi("30"), e;
    std::vector<int> seen(11, 0);
    for (unsigned seed = 1; seed < 200; seed++) {
        srand(seed);
        int first = rand() % 11;
        srand(seed);
        random_exponent(phi, 11, e);
        EXPECT_EQ(e.str(), first == 1 ? "1" : "7") << "first draw " << first;
        seen[first] = 1;
    }
    // The starts that matter were all met: 0, 1, 2 and one past 7.
    EXPECT_TRUE(seen[0] && seen[1] && seen[2] && (seen[8] || seen[9] || seen[10]));
}

TEST(KeyGeneration, RandomPrimeTestsOneCandidatePerDot) {
    for (unsigned seed : {3u, 4u, 5u}) {
        srand(seed);
        std::uint32_t w0 = static_cast<std::uint32_t>(rand()),
                      w1 = static_cast<std::uint32_t>(rand());
        Z start, p_gmp, expected_next;
        mpz_set_ui(start.v, w1);
        mpz_mul_2exp(start.v, start.v, 32);
        mpz_add_ui(start.v, start.v, w0);
        mpz_setbit(start.v, 0);
        mpz_sub_ui(expected_next.v, start.v, 1);
        mpz_nextprime(expected_next.v, expected_next.v);

        srand(seed);
        Num p;
        CaptureStdout();
        random_prime(8, p);
        std::string dots = GetCapturedStdout();
        Z got(p.str()), steps;
        EXPECT_EQ(mpz_cmp(got.v, expected_next.v), 0) << "seed " << seed;
        mpz_sub(steps.v, got.v, start.v);
        mpz_fdiv_q_2exp(steps.v, steps.v, 1);
        EXPECT_EQ(dots, std::string(mpz_get_ui(steps.v) + 1, '.') + "\n");
    }
}

TEST(KeyGeneration, KeyPairIsConsistent) {
    srand(11);
    char n[rsa_buffer_size], d[rsa_buffer_size], e[rsa_buffer_size], phi[rsa_buffer_size];
    CaptureStdout();
    rsa_generate_key_pair(n, d, e, phi, 32);
    std::istringstream out(GetCapturedStdout());
    std::string dots1, p_line, dots2, q_line, rest;
    std::getline(out, dots1);
    std::getline(out, p_line);
    std::getline(out, dots2);
    std::getline(out, q_line);
    EXPECT_FALSE(std::getline(out, rest));
    ASSERT_EQ(p_line.compare(0, 4, "p = "), 0);
    ASSERT_EQ(q_line.compare(0, 4, "q = "), 0);
    Z p(p_line.substr(4)), q(q_line.substr(4)), zn(n), zd(d), ze(e), zphi(phi), t, u;
    EXPECT_GT(mpz_probab_prime_p(p.v, 30), 0);
    EXPECT_GT(mpz_probab_prime_p(q.v, 30), 0);
    mpz_mul(t.v, p.v, q.v);
    EXPECT_EQ(mpz_cmp(t.v, zn.v), 0);
    mpz_sub_ui(t.v, p.v, 1);
    mpz_sub_ui(u.v, q.v, 1);
    mpz_mul(t.v, t.v, u.v);
    EXPECT_EQ(mpz_cmp(t.v, zphi.v), 0);
    mpz_mul(t.v, ze.v, zd.v);
    mpz_mod(t.v, t.v, zphi.v);
    EXPECT_EQ(mpz_cmp_ui(t.v, 1), 0);
    EXPECT_LT(mpz_cmp_ui(ze.v, 2147483647u), 0);
}

TEST(RsaStrings, Bin2Dec) {
    const struct {
        std::vector<std::uint8_t> bytes;
        const char *dec;
    } cases[] = {{{}, "0"}, {{0x01, 0x00}, "1"}, {{0x00, 0x01}, "256"}, {{0xFF}, "255"}};
    for (const auto &c : cases) {
        char *s = rsa_bin2dec(c.bytes.data(), static_cast<std::int32_t>(c.bytes.size()));
        EXPECT_STREQ(s, c.dec);
        std::free(s);
    }
    std::mt19937 rng(7);
    std::uint8_t bytes[32];
    for (auto &b : bytes) {
        b = static_cast<std::uint8_t>(rng());
    }
    Z want;
    mpz_import(want.v, 32, -1, 1, 0, 0, bytes);  // first byte least significant
    char *s = rsa_bin2dec(bytes, 32);
    EXPECT_EQ(s, want.str());
    std::free(s);
}

TEST(RsaStrings, EncryptAndDecrypt) {
    char out[rsa_buffer_size], out2[rsa_buffer_size];
    rsa_encrypt(out, "1000", 4, "13", "1");
    EXPECT_STREQ(out, "12");
    rsa_encrypt(out, "1000", 4, "13", "0");
    EXPECT_STREQ(out, "1");
    rsa_encrypt(out, "00042", 5, "1000003", "00003");
    EXPECT_STREQ(out, "74088");
    const char *m =
        "3658745529115336937313538027556060078953603397600986724638184087767716335"
        "5162636018348529378389069852141856805464720235276211237605106950404948175"
        "14983341167089383224697190577014482644806987571";
    rsa_encrypt(out, "123456789123456789", 18, m, "65537");
    rsa_decrypt(out2, "123456789123456789", 18, m, "65537");
    EXPECT_STREQ(out, out2);
    Z b("123456789123456789"), zm(m), want;
    mpz_powm_ui(want.v, b.v, 65537, zm.v);
    EXPECT_EQ(out, want.str());
}

TEST(RsaStrings, ResultTooLongForItsBufferAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::string modulus(2100, '9');
    std::string in(2099, '9');
    std::vector<char> out(4096);
    EXPECT_DEATH(rsa_encrypt(out.data(), in.c_str(), 2099, modulus.c_str(), "1"), "does not fit");
}

// A 639-bit test key: p and q from `openssl prime -generate -bits 320`, e = 65537, and d
// computed with Python.
const char test_n[] =
    "36587455291153369373135380275560600789536033976009867246381840877677163355162636018"
    "34852937838906985214185680546472023527621123760510695040494817514983341167089383224"
    "697190577014482644806987571";
const char test_d[] =
    "10666339942212433819722058921599414661715908038903894343796198358315148436207597597"
    "79310927115218634694905792193734625788046496923129914936532087596416017561118453510"
    "233934198199431824443625473";

TEST(SignVerify, RoundTripAndTampering) {
    std::string msg = "Meet at the old mill at nine; bring the lantern and the map.";
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(msg.data());
    const auto len = static_cast<std::int32_t>(msg.size());

    CaptureStdout();
    char *sig = sign(bytes, len, test_n, test_d);
    std::string signed_out = GetCapturedStdout();
    std::istringstream lines(signed_out);
    std::string l1, h, l3, s, extra;
    std::getline(lines, l1);
    std::getline(lines, h);
    std::getline(lines, l3);
    std::getline(lines, s);
    EXPECT_EQ(l1, "Hash value (in dec):");
    // Python: int.from_bytes(hashlib.sha256(msg).digest(), "little")
    EXPECT_EQ(h,
              "66926572055058389772738196737683454106557216869590769557395506966430399092973");
    EXPECT_EQ(l3, "Signature result:");
    EXPECT_EQ(s, sig);
    EXPECT_FALSE(std::getline(lines, extra));
    Z zh(h), zn(test_n), zd(test_d), want;
    mpz_powm(want.v, zh.v, zd.v, zn.v);
    EXPECT_EQ(want.str(), sig);

    CaptureStdout();
    EXPECT_EQ(verify(bytes, len, test_n, "65537", sig), 1);
    EXPECT_EQ(GetCapturedStdout(), "Decrypted Hash value:\n" + h + "\n");

    std::string changed = msg;
    changed[10] ^= 1;
    CaptureStdout();
    EXPECT_EQ(
        verify(reinterpret_cast<const std::uint8_t *>(changed.data()), len, test_n, "65537", sig),
        0);
    GetCapturedStdout();

    std::string bad_sig = sig;
    bad_sig[bad_sig.size() / 2] = bad_sig[bad_sig.size() / 2] == '5' ? '6' : '5';
    CaptureStdout();
    EXPECT_EQ(verify(bytes, len, test_n, "65537", bad_sig.c_str()), 0);
    GetCapturedStdout();
    std::free(sig);
}

}  // namespace
