// signature_client: prints a SHA-256 digest, an HMAC-SHA-256 tag, a freshly generated RSA
// key pair, and the signing and checking of a message under a fixed RSA key pair. Exit
// status 0, or 1 when the report could not be written.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hmac.h"
#include "rsa.h"
#include "sha256.h"
#include "sign.h"

namespace {

// The message that is hashed, authenticated, signed and verified: 343 ASCII characters.
const char message[] =
    "The lighthouse keeper rose before the dawn, wound the great clock, and climbed the "
    "spiral stairs to trim the wick. Fog lay thick over the harbour, and the fishing boats "
    "waited at their moorings for the bell. She wrote the weather in her logbook, noted a "
    "gull with a broken wing on the rail, and poured herself a second cup of strong black "
    "tea.";
static_assert(sizeof message - 1 == 343);

// The fixed demonstration key pair: modulus n (616 digits), public exponent e (below
// 2^31) and private exponent d, with x^(e*d) = x (mod n) for every x.
const char n[] =
    "6599314496163460026451243160948680161947863405591779384682419683428131594805263576669589"
    "1199248439926632038732228279188999911044426137380105258381592020406876425624560718649829"
    "0692995926456449820826764037391043747697727624029000673135415730877939796612943303304175"
    "7601202185579661886598309735987331024277778942342570903131814440040829058042473023687943"
    "5998738288353950775690683422290083728253751338021025422665588286140483225646871377213026"
    "5019282402498225973914080890723691639320810183684051527773178955571176832821594775189556"
    "9293146894315651084304325522121888870658847930188492279179201581599859754449515108140201";
const char e[] = "1964224937";
const char d[] =
    "6480258632262489024069684964109400021227847402631650278813756176095652285418849265478383"
    "8177114371475141840617115724115444676672212673245785232597771461010669369440225359198526"
    "5991636456641607631137422338163338429574564162091650311369723619525188053880037924502409"
    "5009934505476722600722068133108042492093447091514945169329033114931995825178854935021109"
    "3619667490056576797700617660326249230649251742244305532282864919697667281449973238676532"
    "5945192666516444608136624420633558470376352549399478855592496470947294162297799114454379"
    "170829555602443980432699699746606979959635549107473392711913569363051967473673895741849";

const std::uint8_t *bytes(const char *s) {
    return reinterpret_cast<const std::uint8_t *>(s);
}

std::int32_t length(const char *s) {
    return static_cast<std::int32_t>(std::strlen(s));
}

void print_hex(const std::uint8_t *data, int len) {
    for (int i = 0; i < len; i++) {
        std::printf("%2.2x", static_cast<unsigned>(data[i]));
    }
    std::printf("\n");
}

void sha256_test() {
    sha256_ctx ctx;
    std::uint8_t digest[32];
    sha256_init(&ctx);
    sha256_update(&ctx, bytes(message), static_cast<std::uint32_t>(std::strlen(message)));
    sha256_finish(&ctx, digest);
    std::printf("************SHA-256*************\n");
    std::printf("message:\n%s\n", message);
    std::printf("digest:\n");
    print_hex(digest, 32);
}

void hmac_sha256_test() {
    char key[16];
    std::strcpy(key, "quietlamp");
    std::uint32_t key_len = static_cast<std::uint32_t>(std::strlen(key));
    std::uint64_t message_len = std::strlen(message);
    std::uint8_t tag[32];
    std::printf("************HMAC-SHA-256*************\n");
    hmac_sha256(bytes(message), message_len, bytes(key), key_len, tag);
    print_hex(tag, 32);
}

void rsa_key_gen_test() {
    char n_buf[rsa_buffer_size];
    char d_buf[rsa_buffer_size];
    char e_buf[rsa_buffer_size];
    std::printf("************RSA_KEY_GEN*************\n");
    rsa_generate_key_pair(n_buf, d_buf, e_buf, nullptr, 128);
    std::printf("n=%s\nd=%s\ne=%s\n", n_buf, d_buf, e_buf);
}

void rsa_signature_test() {
    std::printf("************RSA Sigature*************\n");
    char *sig = sign(bytes(message), length(message), n, d);
    int ok = verify(bytes(message), length(message), n, e, sig);
    std::printf("%s\n", ok ? "match!" : "no match!");
    std::free(sig);
}

// The report is only of use whole: when standard output could not take all
// of it (a full disk, a closed descriptor), one line on standard error says
// so, and the caller exits with status 1.
bool report_written() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
        return true;
    }
    const int error = errno;
    std::fprintf(stderr, "signature_client: could not write to standard output%s%s\n",
                 error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
    return false;
}

}  // namespace

int main() {
    sha256_test();
    hmac_sha256_test();
    rsa_key_gen_test();
    rsa_signature_test();
    return report_written() ? 0 : 1;
}
