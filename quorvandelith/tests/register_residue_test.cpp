// Keys and keystream must not stay behind in the registers that an exported
// call leaves to its caller: the caller's next register save (a signal frame,
// a context switch, a spill) would put them on its stack. An assembly stub
// calls each exported function and stores every register right after it
// returns; the stored registers are then searched for every 4-byte word of
// secret state the call went through, computed here from the record before
// the call with OpenSSL's ChaCha20 (keystream_oracle.h), the scripted clock
// and kernel bytes, and the generator's documented steps. The stub runs on
// x86-64 only.

#include <gtest/gtest.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fake_system.h"
#include "keystream_oracle.h"
#include "quorvandelith.h"

namespace {

#if defined(__x86_64__)

// What the stub stores, and how many vector registers (and which width) it
// stores: 0 xmm0-15, 1 ymm0-15, 2 zmm0-31 and k0-k7.
struct Registers {
    uint64_t general[15];  // rax rcx rdx rsi rdi r8 r9 r10 r11, then rbp r12 r13 r14 r15 rsp
    uint32_t width;        // set by the test before the call
    uint32_t fill;         // set by the test: see capture_after_call
    alignas(64) uint8_t vector[32][64];
    uint16_t mask[8];
};
static_assert(offsetof(Registers, width) == 120);
static_assert(offsetof(Registers, fill) == 124);
static_assert(offsetof(Registers, vector) == 128);
static_assert(offsetof(Registers, mask) == 128 + 32 * 64);

constexpr int call_clobbered_general = 9;  // rax .. r11, the first of general[]
const char *const general_names[15] = {"rax", "rcx", "rdx", "rsi", "rdi", "r8",  "r9", "r10",
                                       "r11", "rbp", "r12", "r13", "r14", "r15", "rsp"};

}  // namespace

// capture_after_call(fn, a0, a1, a2, regs): zeroes the vector registers and
// the general ones that carry no argument (so that what the test itself left
// in them, such as the record's words it copied, is gone), calls fn(a0, a1,
// a2) and stores every register into *regs as soon as fn returns, then
// zeroes the vector registers again; returns fn's rax. When regs->fill is not
// zero, that word is put into every one of those registers instead (and into
// k0-k7 with AVX-512), in every 4-byte lane.
// plant_words(word, width): leaves word in r10, in xmm5, and with AVX in the
// upper half of ymm13 only (its lower half zero), with AVX-512 also in the top
// quarter of zmm31 only.
extern "C" uint64_t capture_after_call(const void *fn, uint64_t a0, uint64_t a1, uint64_t a2,
                                       Registers *regs);
extern "C" void plant_words(uint32_t word, uint32_t width);

asm(R"(
    .text
    # zmm16-31 exist only with AVX-512, and VZEROALL leaves them alone.
    .macro clear_zmm16_31
        vpxord %zmm16, %zmm16, %zmm16
        vpxord %zmm17, %zmm17, %zmm17
        vpxord %zmm18, %zmm18, %zmm18
        vpxord %zmm19, %zmm19, %zmm19
        vpxord %zmm20, %zmm20, %zmm20
        vpxord %zmm21, %zmm21, %zmm21
        vpxord %zmm22, %zmm22, %zmm22
        vpxord %zmm23, %zmm23, %zmm23
        vpxord %zmm24, %zmm24, %zmm24
        vpxord %zmm25, %zmm25, %zmm25
        vpxord %zmm26, %zmm26, %zmm26
        vpxord %zmm27, %zmm27, %zmm27
        vpxord %zmm28, %zmm28, %zmm28
        vpxord %zmm29, %zmm29, %zmm29
        vpxord %zmm30, %zmm30, %zmm30
        vpxord %zmm31, %zmm31, %zmm31
    .endm

    # The word at 124(%rbx) into rax, rcx, r8-r10 and every vector register
    # of the width at 120(%rbx), and with AVX-512 into k0-k7.
    .macro fill_registers
        movl 124(%rbx), %eax
        movl %eax, %ecx
        movl %eax, %r8d
        movl %eax, %r9d
        movl %eax, %r10d
        cmpl $1, 120(%rbx)
        jb 10f
        je 11f
        vpbroadcastd 124(%rbx), %zmm0
        .irp r, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31
        vmovdqa64 %zmm0, %zmm\r
        .endr
        .irp k, 0, 1, 2, 3, 4, 5, 6, 7
        kmovw %eax, %k\k
        .endr
        jmp 12f
    11:
        vbroadcastss 124(%rbx), %ymm0
        .irp r, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        vmovaps %ymm0, %ymm\r
        .endr
        jmp 12f
    10:
        movd %eax, %xmm0
        pshufd $0, %xmm0, %xmm0
        .irp r, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        movdqa %xmm0, %xmm\r
        .endr
    12:
    .endm

    .globl capture_after_call
    .hidden capture_after_call
    .type capture_after_call, @function
capture_after_call:
    .cfi_startproc
    pushq %rbx
    .cfi_adjust_cfa_offset 8
    movq %r8, %rbx
    movq %rdi, %r11
    movq %rsi, %rdi
    movq %rdx, %rsi
    movq %rcx, %rdx
    xorl %eax, %eax
    xorl %ecx, %ecx
    xorl %r8d, %r8d
    xorl %r9d, %r9d
    xorl %r10d, %r10d
    cmpl $0, 124(%rbx)
    jne 8f
    cmpl $1, 120(%rbx)
    jb 1f
    vzeroall
    cmpl $2, 120(%rbx)
    jb 6f
    clear_zmm16_31
    jmp 6f
1:
    pxor %xmm0, %xmm0
    pxor %xmm1, %xmm1
    pxor %xmm2, %xmm2
    pxor %xmm3, %xmm3
    pxor %xmm4, %xmm4
    pxor %xmm5, %xmm5
    pxor %xmm6, %xmm6
    pxor %xmm7, %xmm7
    pxor %xmm8, %xmm8
    pxor %xmm9, %xmm9
    pxor %xmm10, %xmm10
    pxor %xmm11, %xmm11
    pxor %xmm12, %xmm12
    pxor %xmm13, %xmm13
    pxor %xmm14, %xmm14
    pxor %xmm15, %xmm15
    jmp 6f
8:
    fill_registers
6:
    call *%r11
    movq %rax, 0(%rbx)
    movq %rcx, 8(%rbx)
    movq %rdx, 16(%rbx)
    movq %rsi, 24(%rbx)
    movq %rdi, 32(%rbx)
    movq %r8, 40(%rbx)
    movq %r9, 48(%rbx)
    movq %r10, 56(%rbx)
    movq %r11, 64(%rbx)
    movq %rbp, 72(%rbx)
    movq %r12, 80(%rbx)
    movq %r13, 88(%rbx)
    movq %r14, 96(%rbx)
    movq %r15, 104(%rbx)
    movq %rsp, 112(%rbx)
    cmpl $2, 120(%rbx)
    je 3f
    cmpl $1, 120(%rbx)
    je 2f
    movdqu %xmm0, 128+0*64(%rbx)
    movdqu %xmm1, 128+1*64(%rbx)
    movdqu %xmm2, 128+2*64(%rbx)
    movdqu %xmm3, 128+3*64(%rbx)
    movdqu %xmm4, 128+4*64(%rbx)
    movdqu %xmm5, 128+5*64(%rbx)
    movdqu %xmm6, 128+6*64(%rbx)
    movdqu %xmm7, 128+7*64(%rbx)
    movdqu %xmm8, 128+8*64(%rbx)
    movdqu %xmm9, 128+9*64(%rbx)
    movdqu %xmm10, 128+10*64(%rbx)
    movdqu %xmm11, 128+11*64(%rbx)
    movdqu %xmm12, 128+12*64(%rbx)
    movdqu %xmm13, 128+13*64(%rbx)
    movdqu %xmm14, 128+14*64(%rbx)
    movdqu %xmm15, 128+15*64(%rbx)
    jmp 4f
2:
    vmovdqu %ymm0, 128+0*64(%rbx)
    vmovdqu %ymm1, 128+1*64(%rbx)
    vmovdqu %ymm2, 128+2*64(%rbx)
    vmovdqu %ymm3, 128+3*64(%rbx)
    vmovdqu %ymm4, 128+4*64(%rbx)
    vmovdqu %ymm5, 128+5*64(%rbx)
    vmovdqu %ymm6, 128+6*64(%rbx)
    vmovdqu %ymm7, 128+7*64(%rbx)
    vmovdqu %ymm8, 128+8*64(%rbx)
    vmovdqu %ymm9, 128+9*64(%rbx)
    vmovdqu %ymm10, 128+10*64(%rbx)
    vmovdqu %ymm11, 128+11*64(%rbx)
    vmovdqu %ymm12, 128+12*64(%rbx)
    vmovdqu %ymm13, 128+13*64(%rbx)
    vmovdqu %ymm14, 128+14*64(%rbx)
    vmovdqu %ymm15, 128+15*64(%rbx)
    jmp 4f
3:
    vmovdqu64 %zmm0, 128+0*64(%rbx)
    vmovdqu64 %zmm1, 128+1*64(%rbx)
    vmovdqu64 %zmm2, 128+2*64(%rbx)
    vmovdqu64 %zmm3, 128+3*64(%rbx)
    vmovdqu64 %zmm4, 128+4*64(%rbx)
    vmovdqu64 %zmm5, 128+5*64(%rbx)
    vmovdqu64 %zmm6, 128+6*64(%rbx)
    vmovdqu64 %zmm7, 128+7*64(%rbx)
    vmovdqu64 %zmm8, 128+8*64(%rbx)
    vmovdqu64 %zmm9, 128+9*64(%rbx)
    vmovdqu64 %zmm10, 128+10*64(%rbx)
    vmovdqu64 %zmm11, 128+11*64(%rbx)
    vmovdqu64 %zmm12, 128+12*64(%rbx)
    vmovdqu64 %zmm13, 128+13*64(%rbx)
    vmovdqu64 %zmm14, 128+14*64(%rbx)
    vmovdqu64 %zmm15, 128+15*64(%rbx)
    vmovdqu64 %zmm16, 128+16*64(%rbx)
    vmovdqu64 %zmm17, 128+17*64(%rbx)
    vmovdqu64 %zmm18, 128+18*64(%rbx)
    vmovdqu64 %zmm19, 128+19*64(%rbx)
    vmovdqu64 %zmm20, 128+20*64(%rbx)
    vmovdqu64 %zmm21, 128+21*64(%rbx)
    vmovdqu64 %zmm22, 128+22*64(%rbx)
    vmovdqu64 %zmm23, 128+23*64(%rbx)
    vmovdqu64 %zmm24, 128+24*64(%rbx)
    vmovdqu64 %zmm25, 128+25*64(%rbx)
    vmovdqu64 %zmm26, 128+26*64(%rbx)
    vmovdqu64 %zmm27, 128+27*64(%rbx)
    vmovdqu64 %zmm28, 128+28*64(%rbx)
    vmovdqu64 %zmm29, 128+29*64(%rbx)
    vmovdqu64 %zmm30, 128+30*64(%rbx)
    vmovdqu64 %zmm31, 128+31*64(%rbx)
    kmovw %k0, 2176+0(%rbx)
    kmovw %k1, 2176+2(%rbx)
    kmovw %k2, 2176+4(%rbx)
    kmovw %k3, 2176+6(%rbx)
    kmovw %k4, 2176+8(%rbx)
    kmovw %k5, 2176+10(%rbx)
    kmovw %k6, 2176+12(%rbx)
    kmovw %k7, 2176+14(%rbx)
4:
    # Once stored, the vector registers are cleared, so that no planted or
    # secret word is live when the test goes on. This also keeps the test
    # runnable in bochs 2.7 (the emulated AVX-512 run): there the XRSTOR of the
    # dynamic linker's lazy-binding trampoline, restoring what its XSAVEC
    # saved, raises #GP (SIGSEGV) when zmm16-31 hold data.
    cmpl $1, 120(%rbx)
    jb 7f
    vzeroall
    cmpl $2, 120(%rbx)
    jb 7f
    clear_zmm16_31
7:
    popq %rbx
    .cfi_adjust_cfa_offset -8
    ret
    .cfi_endproc
    .size capture_after_call, .-capture_after_call

    .globl plant_words
    .hidden plant_words
    .type plant_words, @function
plant_words:
    movl %edi, %r10d
    movd %edi, %xmm5
    cmpl $1, %esi
    jb 5f
    vmovd %edi, %xmm12
    vxorps %xmm13, %xmm13, %xmm13
    vinsertf128 $1, %xmm12, %ymm13, %ymm13
    vpxor %xmm12, %xmm12, %xmm12
    cmpl $2, %esi
    jb 5f
    vmovd %edi, %xmm12
    vpxord %zmm31, %zmm31, %zmm31
    vinserti32x4 $3, %xmm12, %zmm31, %zmm31
    vpxor %xmm12, %xmm12, %xmm12
5:
    ret
    .size plant_words, .-plant_words
)");

namespace {

uint32_t register_width() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
        return 2;
    }
    return __builtin_cpu_supports("avx") ? 1 : 0;
}

// The name the capture gives the vector registers at a width.
const char *vector_bank(uint32_t width) {
    return width == 2 ? "zmm" : width == 1 ? "ymm" : "xmm";
}

// Says which registers the capture stores on this CPU.
void report_capture(uint32_t width) {
    std::printf("register capture: %s\n", width == 2   ? "zmm0-31 k0-7"
                                           : width == 1 ? "ymm0-15"
                                                        : "xmm0-15");
}

// The registers (and the byte in them) where the 4 bytes of word lie, or "".
std::string where(const Registers &r, uint32_t word) {
    std::string found;
    const auto search = [&](const void *p, size_t len, const std::string &name) {
        const auto *b = static_cast<const uint8_t *>(p);
        for (size_t i = 0; i + 4 <= len; i++) {
            if (memcmp(b + i, &word, 4) == 0) {
                found += name + "[byte " + std::to_string(i) + "] ";
            }
        }
    };
    // The call-clobbered ones only: rbp, r12-r15 and rsp hold the caller's own
    // values again once the call returns, and an optimised test may keep one of
    // the record's words it read before the call there (Release builds do).
    for (int i = 0; i < call_clobbered_general; i++) {
        search(&r.general[i], 8, general_names[i]);
    }
    const int vectors = r.width == 2 ? 32 : 16;
    const size_t bytes = r.width == 2 ? 64 : r.width == 1 ? 32 : 16;
    for (int v = 0; v < vectors; v++) {
        search(r.vector[v], bytes, vector_bank(r.width) + std::to_string(v));
    }
    if (r.width == 2) {
        search(r.mask, sizeof r.mask, "k0-k7");
    }
    return found;
}

TEST(RegisterResidue, TheCaptureFindsPlantedWords) {
    constexpr uint32_t planted = 0x5eedf00d;
    Registers regs{};
    regs.width = register_width();
    capture_after_call(reinterpret_cast<const void *>(&plant_words), planted, regs.width, 0, &regs);
    EXPECT_EQ(planted, regs.general[7]) << "r10";
    uint32_t word = 0;
    memcpy(&word, regs.vector[5], 4);
    EXPECT_EQ(planted, word) << "xmm5";
    if (regs.width >= 1) {
        memcpy(&word, regs.vector[13] + 16, 4);
        EXPECT_EQ(planted, word) << "upper half of ymm13";
    }
    if (regs.width == 2) {
        memcpy(&word, regs.vector[31] + 48, 4);
        EXPECT_EQ(planted, word) << "top quarter of zmm31";
    } else {
        std::printf("CPU lacks AVX-512: zmm16-31 and k0-k7 are not captured here\n");
    }
    // The search names each register as the capture stored it: ymm13 with
    // AVX, zmm13 with AVX-512 (where the word sits in the same bytes).
    const std::string seen = where(regs, planted);
    const std::string bank = vector_bank(regs.width);
    EXPECT_NE(std::string::npos, seen.find("r10")) << seen;
    EXPECT_NE(std::string::npos, seen.find(bank + "5[byte 0]")) << seen;
    if (regs.width >= 1) {
        EXPECT_NE(std::string::npos, seen.find(bank + "13[byte 16]")) << seen;
    }
    if (regs.width == 2) {
        EXPECT_NE(std::string::npos, seen.find("zmm31[byte 48]")) << seen;
    }
    report_capture(regs.width);
}

// The generator's steps on words 4-15 of a record, each block from OpenSSL's
// ChaCha20, collecting every key and every keystream word not handed to the
// caller as secrets.
struct Model {
    uint32_t key[8];
    uint32_t counter;
    uint32_t nonce[3];
    std::vector<uint32_t> secrets;

    void note_key() {
        secrets.insert(secrets.end(), key, key + 8);
    }
    std::vector<uint32_t> block() {
        const auto ks = oracle_keystream(key, counter, nonce, 1);
        counter++;
        std::vector<uint32_t> words(16);
        for (int i = 0; i < 16; i++) {
            words[i] = oracle_word(ks, 0, i);
        }
        return words;
    }
    // Eight words into the key, then the nonce counts the change.
    void key_change(const uint32_t *words) {
        for (int i = 0; i < 8; i++) {
            key[i] ^= words[i];
        }
        if (++nonce[0] == 0 && ++nonce[1] == 0) {
            ++nonce[2];
        }
        note_key();
    }
    void fresh_key_change() {
        const auto b = block();
        secrets.insert(secrets.end(), b.begin(), b.end());
        key_change(b.data());
    }
    // 32 bytes per chunk XORed into the key (little-endian), a fresh key change after each.
    void seed(const uint8_t *data, size_t len) {
        for (size_t done = 0; done < len; done += 32) {
            for (size_t i = done; i < len && i < done + 32; i++) {
                key[(i - done) / 4] ^= static_cast<uint32_t>(data[i]) << (8 * (i % 4));
            }
            note_key();
            fresh_key_change();
        }
    }
    // Whole blocks go to the caller; of the tail block, the words from the
    // first one not handed out in full are secret; a tail of 1..32 bytes
    // gives the key change from its words after those handed out.
    void generate(uint32_t len) {
        for (uint32_t b = 0; b < len / 64; b++) {
            block();
        }
        const uint32_t tail = len % 64;
        if (tail == 0) {
            fresh_key_change();
            return;
        }
        const auto b = block();
        secrets.insert(secrets.end(), b.begin() + tail / 4, b.end());
        if (tail <= 32) {
            key_change(b.data() + (tail + 3) / 4);
        } else {
            fresh_key_change();
        }
    }
};

constexpr int64_t t0 = 1'700'000'000;
constexpr uint32_t clock_ns = 0x2badc0de;  // below 10^9

uint8_t kernel_byte(uint64_t k) {
    return static_cast<uint8_t>(0x61 + 0x5b * k + (k >> 3));
}

std::vector<uint8_t> kernel_bytes(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t k = 0; k < n; k++) {
        bytes[k] = kernel_byte(k);
    }
    return bytes;
}

const uint8_t ns_bytes[4] = {0xde, 0xc0, 0xad, 0x2b};  // clock_ns, little-endian

Model model_of(const drng_chacha20 *handle) {
    Model m{};
    const auto *words = reinterpret_cast<const uint32_t *>(handle);
    memcpy(m.key, words + 4, sizeof m.key);
    m.counter = words[12];
    memcpy(m.nonce, words + 13, sizeof m.nonce);
    m.note_key();
    return m;
}

// init: the last self-test leaves the record as seeding the test bytes
// 00..23 into all-zero key, counter and nonce and generating 36 bytes do;
// then one clock reading into each key and nonce word, then the kernel seed.
Model model_init() {
    Model m{};
    uint8_t test_seed[36];
    for (int i = 0; i < 36; i++) {
        test_seed[i] = static_cast<uint8_t>(i);
    }
    m.seed(test_seed, sizeof test_seed);
    m.generate(36);
    m.secrets.clear();  // all of it fixed, public data so far
    for (uint32_t &w : m.key) {
        w ^= clock_ns;
    }
    for (uint32_t &w : m.nonce) {
        w ^= clock_ns;
    }
    m.note_key();
    const auto seed = kernel_bytes(32);
    m.secrets.push_back(clock_ns);
    m.seed(seed.data(), seed.size());
    return m;
}

struct Case {
    const char *call;
    enum { init, get, reseed, destroy } kind;
    uint32_t length;  // get: bytes asked for; reseed: bytes of caller data
    int64_t seconds;  // the clock during the call; 601 s after init makes a get reseed
};

const Case cases[] = {
    {"init", Case::init, 0, t0},
    {"get of 0 bytes", Case::get, 0, t0 + 1},
    {"get of 16 bytes", Case::get, 16, t0 + 1},
    {"get of 32 bytes", Case::get, 32, t0 + 1},
    {"get of 33 bytes", Case::get, 33, t0 + 1},
    {"get of 64 bytes", Case::get, 64, t0 + 1},
    {"get of 100 bytes", Case::get, 100, t0 + 1},
    {"get of 4096 bytes (whole-block path)", Case::get, 4096, t0 + 1},
    {"get that reseeds", Case::get, 32, t0 + 601},
    {"reseed", Case::reseed, 0, t0 + 1},
    {"reseed with data", Case::reseed, 40, t0 + 1},
    {"destroy", Case::destroy, 0, t0 + 1},
};

alignas(64) uint8_t out[4096];

TEST(RegisterResidue, NoSecretWordIsLeftInARegister) {
    const uint32_t width = register_width();
    if (width < 2) {
        std::printf("CPU lacks AVX-512: zmm16-31 and k0-k7 are not checked here\n");
    }
    report_capture(width);
    uint8_t data[40];
    for (size_t i = 0; i < sizeof data; i++) {
        data[i] = static_cast<uint8_t>(0xc3 ^ (7 * i));
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        drng_chacha20 *handle = nullptr;
        fake::set_clock(t0, clock_ns);
        fake::kernel_stream(kernel_byte);
        Registers regs{};
        regs.width = width;
        Model m{};
        if (c.kind == Case::init) {
            m = model_init();
            const uint64_t result =
                capture_after_call(reinterpret_cast<const void *>(&drng_chacha20_init),
                                   reinterpret_cast<uint64_t>(&handle), 0, 0, &regs);
            ASSERT_EQ(0u, static_cast<uint32_t>(result));
        } else {
            ASSERT_EQ(0, drng_chacha20_init(&handle));
            fake::set_clock(c.seconds, clock_ns);
            fake::kernel_stream(kernel_byte);
            m = model_of(handle);
            const void *fn = reinterpret_cast<const void *>(&drng_chacha20_destroy);
            if (c.kind == Case::get) {
                fn = reinterpret_cast<const void *>(&drng_chacha20_get);
            } else if (c.kind == Case::reseed) {
                fn = reinterpret_cast<const void *>(&drng_chacha20_reseed);
            }
            const uint64_t a1 = reinterpret_cast<uint64_t>(c.kind == Case::get ? out : data);
            const uint64_t result =
                capture_after_call(fn, reinterpret_cast<uint64_t>(handle), a1, c.length, &regs);
            if (c.kind != Case::destroy) {
                ASSERT_EQ(0u, static_cast<uint32_t>(result));
            }
            if (c.kind == Case::get && c.seconds - t0 > 600) {
                const auto seed = kernel_bytes(32);
                m.seed(seed.data(), seed.size());
            }
            if (c.kind == Case::get) {
                m.secrets.push_back(clock_ns);
                m.seed(ns_bytes, sizeof ns_bytes);
                m.generate(c.length);
            } else if (c.kind == Case::reseed) {
                const auto seed = kernel_bytes(32);
                m.seed(seed.data(), seed.size());
                m.seed(data, c.length);
            }
        }
        if (c.kind != Case::destroy) {
            // The model must have gone where the library went, or the words
            // searched for would not be the call's.
            const auto *words = reinterpret_cast<const uint32_t *>(handle);
            EXPECT_EQ(0, memcmp(m.key, words + 4, sizeof m.key)) << "key";
            EXPECT_EQ(m.counter, words[12]) << "counter";
            EXPECT_EQ(0, memcmp(m.nonce, words + 13, sizeof m.nonce)) << "nonce";
        }
        int secret_words = 0;
        for (uint32_t w : m.secrets) {
            if (w == 0) {
                continue;  // zero is what a cleared register holds
            }
            secret_words++;
            const std::string seen = where(regs, w);
            EXPECT_EQ("", seen) << std::hex << "word " << w;
        }
        EXPECT_GE(secret_words, 8);
        if (c.kind != Case::destroy) {
            drng_chacha20_destroy(handle);
        }
        fake::reset();
    }
}

// The search above finds a secret only where this build's code happened to
// leave it, so it would not see a register that the library forgets to
// clear but that these calls did not use. The library cannot know which
// registers its compiled code used, and clears every one a call may change:
// so a word the caller leaves in each of them must be gone after any call,
// whichever path it takes (one block at a time, or a whole-block path).
TEST(RegisterResidue, EveryRegisterACallMayChangeIsCleared) {
    constexpr uint32_t caller_word = 0x7e57ab1e;
    const uint32_t width = register_width();
    report_capture(width);
    fake::set_clock(t0, clock_ns);
    fake::kernel_stream(kernel_byte);
    drng_chacha20 *handle = nullptr;
    ASSERT_EQ(0, drng_chacha20_init(&handle));
    const struct {
        const char *call;
        const void *fn;
        uint32_t length;
    } calls[] = {
        {"get of 16 bytes", reinterpret_cast<const void *>(&drng_chacha20_get), 16},
        {"get of 4096 bytes", reinterpret_cast<const void *>(&drng_chacha20_get), 4096},
        {"reseed", reinterpret_cast<const void *>(&drng_chacha20_reseed), 0},
    };
    // One plain get and reseed first: every symbol the calls use is then
    // bound, so that no lazy binding runs while the registers hold the word
    // (in bochs its XRSTOR faults when zmm16-31 hold data).
    ASSERT_EQ(0, drng_chacha20_get(handle, out, 16));
    ASSERT_EQ(0, drng_chacha20_reseed(handle, nullptr, 0));
    for (const auto &c : calls) {
        Registers regs{};
        regs.width = width;
        regs.fill = caller_word;
        const uint64_t result = capture_after_call(c.fn, reinterpret_cast<uint64_t>(handle),
                                                   reinterpret_cast<uint64_t>(out), c.length,
                                                   &regs);
        EXPECT_EQ(0u, static_cast<uint32_t>(result)) << c.call;
        EXPECT_EQ("", where(regs, caller_word)) << c.call;
    }
    drng_chacha20_destroy(handle);
    fake::reset();
}

#else

TEST(RegisterResidue, NoSecretWordIsLeftInARegister) {
    GTEST_SKIP() << "the register capture stub is written for x86-64 only";
}

#endif

}  // namespace
