// Whole-program checks of signature_client: the 23 report lines, with every value
// recomputed independently (OpenSSL for the digest and MAC, GMP for the numbers), the
// key pair replayed from glibc rand() with GMP arithmetic, and the whole report against a
// saved, so checked, run.
#include <gmp.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "driver_source.h"
#include "support.h"

namespace {

using test_support::Z;

// The driver's own data: the message and the demonstration key pair, read from its source.
const std::string driver = test_support::file_text(SIGNATURE_CLIENT_SOURCE_PATH);
const std::string message = test_support::c_string(driver, "message");
const std::string n = test_support::c_string(driver, "n");
const std::string e = test_support::c_string(driver, "e");
const std::string d = test_support::c_string(driver, "d");

std::string run_program() {
    std::string out;
    FILE *f = popen(SIGNATURE_CLIENT_PATH, "r");
    if (f == nullptr) {
        return out;
    }
    char buf[4096];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) {
        out.append(buf, got);
    }
    int status = pclose(f);
    EXPECT_EQ(status, 0);
    return out;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));  // unterminated: caught by the checks
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string hex(const unsigned char *b, std::size_t n) {
    std::string s;
    char two[3];
    for (std::size_t i = 0; i < n; i++) {
        std::snprintf(two, sizeof two, "%02x", b[i]);
        s += two;
    }
    return s;
}

std::string after_prefix(const std::string &line, const std::string &prefix) {
    EXPECT_EQ(line.compare(0, prefix.size(), prefix), 0) << line.substr(0, 40);
    return line.size() >= prefix.size() ? line.substr(prefix.size()) : std::string();
}

// A key pair replayed from the same unseeded glibc rand() with GMP arithmetic, following
// the documented draw order: p's words, p's witnesses, q's words, q's witnesses, then one
// draw for e.
struct Replay {
    Z p, q, n, d, e;
    long p_candidates = 0, q_candidates = 0, trials = 0;
};

std::size_t words32(const mpz_t x) {
    return mpz_sgn(x) == 0 ? 0 : (mpz_sizeinbase(x, 2) + 31) / 32;
}

void draw(mpz_t out, std::size_t w) {
    std::vector<std::uint32_t> words(w);
    for (auto &x : words) {
        x = static_cast<std::uint32_t>(rand());
    }
    mpz_import(out, w, -1, sizeof(std::uint32_t), 0, 0, words.data());
}

bool replay_miller_rabin(const mpz_t n, int count, long *trials) {
    Z u, d, a, x;
    mpz_sub_ui(u.v, n, 1);
    mpz_set(d.v, u.v);
    long s = 0;
    while (mpz_even_p(d.v)) {
        mpz_fdiv_q_2exp(d.v, d.v, 1);
        s++;
    }
    for (int t = 0; t < count; t++) {
        ++*trials;
        draw(a.v, 10 * words32(u.v) / 4);
        mpz_mod(a.v, a.v, u.v);
        if (mpz_cmp_ui(a.v, 2) < 0) {
            continue;
        }
        mpz_powm(x.v, a.v, d.v, n);
        if (mpz_cmp_ui(x.v, 1) == 0) {
            continue;
        }
        for (long j = 0;; j++) {
            if (mpz_cmp(x.v, u.v) == 0) {
                break;
            }
            if (j == s - 1) {
                return false;
            }
            mpz_powm_ui(x.v, x.v, 2, n);
        }
    }
    return true;
}

void replay_prime(mpz_t p, long *candidates, long *trials) {
    draw(p, 128 / 4);
    if (mpz_even_p(p)) {
        mpz_add_ui(p, p, 1);
    }
    for (;;) {
        ++*candidates;
        if (replay_miller_rabin(p, 100, trials)) {
            return;
        }
        mpz_add_ui(p, p, 2);
    }
}

void replay_key_pair(Replay *r) {
    srand(1);  // glibc's generator before any srand call is seeded with 1
    replay_prime(r->p.v, &r->p_candidates, &r->trials);
    replay_prime(r->q.v, &r->q_candidates, &r->trials);
    mpz_mul(r->n.v, r->p.v, r->q.v);
    Z phi, p1, q1, g;
    mpz_sub_ui(p1.v, r->p.v, 1);
    mpz_sub_ui(q1.v, r->q.v, 1);
    mpz_mul(phi.v, p1.v, q1.v);
    const std::uint32_t bound = 2147483647u;
    std::uint32_t k = static_cast<std::uint32_t>(rand()) % bound;
    for (;;) {
        mpz_gcd_ui(g.v, phi.v, k);
        if (mpz_cmp_ui(g.v, 1) == 0) {
            break;
        }
        k = (k + 1) % bound;
        if (k <= 2) {
            k = 3;
        }
    }
    mpz_set_ui(r->e.v, k);
    ASSERT_NE(mpz_invert(r->d.v, r->e.v, phi.v), 0);
}

class SignatureClient : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        first = new std::string(run_program());
        second = new std::string(run_program());
        lines = new std::vector<std::string>(split_lines(*first));
    }
    static void TearDownTestSuite() {
        delete first;
        delete second;
        delete lines;
    }
    static const std::string &line(std::size_t number) {  // 1-based, as in the report
        static const std::string none;
        return number <= lines->size() ? (*lines)[number - 1] : none;
    }
    static std::string *first;
    static std::string *second;
    static std::vector<std::string> *lines;
};

std::string *SignatureClient::first;
std::string *SignatureClient::second;
std::vector<std::string> *SignatureClient::lines;

TEST_F(SignatureClient, PrintsTwentyThreeLinesWithExactBanners) {
    ASSERT_FALSE(first->empty());
    EXPECT_EQ(first->back(), '\n');
    ASSERT_EQ(lines->size(), 23u);
    EXPECT_EQ(line(1), "************SHA-256*************");
    EXPECT_EQ(line(2), "message:");
    EXPECT_EQ(line(4), "digest:");
    EXPECT_EQ(line(6), "************HMAC-SHA-256*************");
    EXPECT_EQ(line(8), "************RSA_KEY_GEN*************");
    EXPECT_EQ(line(16), "************RSA Sigature*************");
    EXPECT_EQ(line(17), "Hash value (in dec):");
    EXPECT_EQ(line(19), "Signature result:");
    EXPECT_EQ(line(21), "Decrypted Hash value:");
    EXPECT_EQ(line(23), "match!");
    for (std::size_t i : {9, 11}) {
        EXPECT_FALSE(line(i).empty());
        EXPECT_EQ(line(i).find_first_not_of('.'), std::string::npos) << "line " << i;
    }
    EXPECT_EQ(line(10).compare(0, 4, "p = "), 0);
    EXPECT_EQ(line(12).compare(0, 4, "q = "), 0);
    EXPECT_EQ(line(13).compare(0, 2, "n="), 0);
    EXPECT_EQ(line(14).compare(0, 2, "d="), 0);
    EXPECT_EQ(line(15).compare(0, 2, "e="), 0);
}

TEST_F(SignatureClient, TwoRunsAreIdentical) {
    EXPECT_EQ(*first, *second);
}

// The whole report, byte for byte, against a saved run whose every value was checked by
// the independent recomputations below (OpenSSL, GMP and the rand() replay). Faster
// arithmetic must leave it unchanged.
TEST_F(SignatureClient, ReportEqualsTheSavedReport) {
    FILE *f = std::fopen(SIGNATURE_CLIENT_REPORT_PATH, "rb");
    ASSERT_NE(f, nullptr) << SIGNATURE_CLIENT_REPORT_PATH;
    std::string saved;
    char buf[4096];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) {
        saved.append(buf, got);
    }
    std::fclose(f);
    ASSERT_EQ(saved.size(), 3999u);  // the saved file itself is whole
    EXPECT_EQ(*first, saved);
}

TEST_F(SignatureClient, MessageIsTheCompiledInProse) {
    EXPECT_EQ(line(3), message);
    EXPECT_EQ(line(3).size(), 343u);
    for (char c : line(3)) {
        EXPECT_TRUE(c >= 0x20 && c < 0x7f) << static_cast<int>(c);
    }
}

TEST_F(SignatureClient, DigestAndMacMatchOpenSsl) {
    const std::string &msg = line(3);
    unsigned char digest[32];
    unsigned int len = 0;
    ASSERT_EQ(EVP_Digest(msg.data(), msg.size(), digest, &len, EVP_sha256(), nullptr), 1);
    EXPECT_EQ(line(5), hex(digest, 32));

    unsigned char mac[32];
    ASSERT_NE(HMAC(EVP_sha256(), "quietlamp", 9,
                   reinterpret_cast<const unsigned char *>(msg.data()), msg.size(), mac, &len),
              nullptr);
    EXPECT_EQ(line(7), hex(mac, 32));

    // The digest integer reads the digest with its first byte least significant.
    Z h;
    mpz_import(h.v, 32, -1, 1, 0, 0, digest);
    EXPECT_EQ(line(18), h.str());
    EXPECT_EQ(line(22), h.str());
}

TEST_F(SignatureClient, SignatureIsDigestToThePrivateExponent) {
    Z h(line(18)), nn(n), dd(d), ee(e), sig, back;
    mpz_powm(sig.v, h.v, dd.v, nn.v);
    EXPECT_EQ(line(20), sig.str());
    mpz_powm(back.v, sig.v, ee.v, nn.v);
    EXPECT_EQ(mpz_cmp(back.v, h.v), 0);
}

TEST_F(SignatureClient, GeneratedKeyPairIsConsistent) {
    Z p(after_prefix(line(10), "p = ")), q(after_prefix(line(12), "q = "));
    Z nn(after_prefix(line(13), "n=")), dd(after_prefix(line(14), "d=")),
        ee(after_prefix(line(15), "e="));
    EXPECT_GT(mpz_probab_prime_p(p.v, 40), 0);
    EXPECT_GT(mpz_probab_prime_p(q.v, 40), 0);
    Z pq, phi, p1, q1, ed;
    mpz_mul(pq.v, p.v, q.v);
    EXPECT_EQ(mpz_cmp(pq.v, nn.v), 0);
    mpz_sub_ui(p1.v, p.v, 1);
    mpz_sub_ui(q1.v, q.v, 1);
    mpz_mul(phi.v, p1.v, q1.v);
    mpz_mul(ed.v, ee.v, dd.v);
    mpz_mod(ed.v, ed.v, phi.v);
    EXPECT_EQ(mpz_cmp_ui(ed.v, 1), 0);
    EXPECT_LT(mpz_cmp_ui(ee.v, 2147483647u), 0);
    // Every word of a candidate has bit 31 clear, so each prime is below 2^1023.
    EXPECT_LE(mpz_sizeinbase(p.v, 2), 1023u);
    EXPECT_LE(mpz_sizeinbase(q.v, 2), 1023u);
}

TEST_F(SignatureClient, KeyPairEqualsReplayOfRand) {
    Replay r;
    replay_key_pair(&r);
    EXPECT_EQ(after_prefix(line(10), "p = "), r.p.str());
    EXPECT_EQ(after_prefix(line(12), "q = "), r.q.str());
    EXPECT_EQ(after_prefix(line(13), "n="), r.n.str());
    EXPECT_EQ(after_prefix(line(14), "d="), r.d.str());
    EXPECT_EQ(after_prefix(line(15), "e="), r.e.str());
    EXPECT_EQ(static_cast<long>(line(9).size()), r.p_candidates);
    EXPECT_EQ(static_cast<long>(line(11).size()), r.q_candidates);
    std::printf("key generation: %ld + %ld prime candidates, %ld Miller-Rabin trials\n",
                r.p_candidates, r.q_candidates, r.trials);
}

TEST(DemonstrationKey, HasTheDocumentedFormAndIsConsistent) {
    EXPECT_EQ(n.size(), 616u);
    EXPECT_EQ(e.size(), 10u);
    EXPECT_EQ(d.size(), 615u);
    Z nn(n), ee(e), dd(d), ed, x, y;
    EXPECT_LT(mpz_cmp_ui(ee.v, 2147483647u), 0);
    EXPECT_LT(mpz_cmp(dd.v, nn.v), 0);
    mpz_mul(ed.v, ee.v, dd.v);
    gmp_randstate_t rs;
    gmp_randinit_mt(rs);
    gmp_randseed_ui(rs, 4);
    for (int i = 0; i < 8; i++) {
        mpz_urandomm(x.v, rs, nn.v);
        mpz_powm(y.v, x.v, ed.v, nn.v);
        EXPECT_EQ(mpz_cmp(x.v, y.v), 0) << "x^(e*d) != x for round " << i;
    }
    gmp_randclear(rs);
}

}  // namespace
