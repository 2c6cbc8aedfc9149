// Our byte-oriented AES, CBC and CMAC next to OpenSSL's EVP interface in the
// same run. The mode benchmarks include key setup on both sides, since our
// CBC and CMAC key a fresh context on every call.
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "aes.h"
#include "aes_cbc.h"
#include "aes_cmac.h"

namespace {

constexpr std::size_t message_size = 16 * 1024;
const std::uint8_t key[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                              0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
const std::uint8_t iv[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

void BM_AES_encrypt_block(benchmark::State &state) {
    AES_ctx *ctx = AES_ctx_alloc(key, 16);
    std::uint8_t block[16] = {};
    for (auto _ : state) {
        AES_encrypt(ctx, block, block);
        benchmark::DoNotOptimize(block);
    }
    std::free(ctx);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 16);
}
BENCHMARK(BM_AES_encrypt_block);

void BM_OpenSSL_EVP_aes_128_ecb_block(benchmark::State &state) {
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    std::uint8_t block[16] = {};
    int n = 0;
    for (auto _ : state) {
        EVP_EncryptUpdate(ctx, block, &n, block, 16);
        benchmark::DoNotOptimize(block);
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 16);
}
BENCHMARK(BM_OpenSSL_EVP_aes_128_ecb_block);

void BM_AES_CBC_encrypt_16KiB(benchmark::State &state) {
    std::vector<std::uint8_t> in(message_size, 0x61), out(message_size);
    for (auto _ : state) {
        benchmark::DoNotOptimize(AES_CBC_encrypt(in.data(), out.data(), in.size(), key, 16, iv));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message_size));
}
BENCHMARK(BM_AES_CBC_encrypt_16KiB);

void BM_OpenSSL_EVP_aes_128_cbc_16KiB(benchmark::State &state) {
    std::vector<std::uint8_t> in(message_size, 0x61), out(message_size + 16);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0, tail = 0;
    for (auto _ : state) {
        EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, iv);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
        EVP_EncryptFinal_ex(ctx, out.data() + n, &tail);
        benchmark::ClobberMemory();
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message_size));
}
BENCHMARK(BM_OpenSSL_EVP_aes_128_cbc_16KiB);

void BM_aes_cmac_16KiB(benchmark::State &state) {
    std::vector<std::uint8_t> msg(message_size, 0x61);
    std::uint8_t tag[16];
    for (auto _ : state) {
        aes_cmac(msg.data(), msg.size(), key, tag);
        benchmark::DoNotOptimize(tag);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message_size));
}
BENCHMARK(BM_aes_cmac_16KiB);

void BM_OpenSSL_EVP_MAC_cmac_16KiB(benchmark::State &state) {
    std::vector<std::uint8_t> msg(message_size, 0x61);
    EVP_MAC *mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
    EVP_MAC_CTX *ctx = EVP_MAC_CTX_new(mac);
    char cipher_name[] = "AES-128-CBC";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher_name, 0),
        OSSL_PARAM_construct_end(),
    };
    std::uint8_t tag[16];
    std::size_t tag_len = 0;
    for (auto _ : state) {
        EVP_MAC_init(ctx, key, 16, params);
        EVP_MAC_update(ctx, msg.data(), msg.size());
        EVP_MAC_final(ctx, tag, &tag_len, sizeof tag);
        benchmark::DoNotOptimize(tag);
    }
    EVP_MAC_CTX_free(ctx);
    EVP_MAC_free(mac);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message_size));
}
BENCHMARK(BM_OpenSSL_EVP_MAC_cmac_16KiB);

}  // namespace

BENCHMARK_MAIN();
