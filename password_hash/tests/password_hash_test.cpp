// Tests of password_hash: the program's output line (checked against the
// openssl command), its seeding rule, the salt draw, read_hidden_word on a
// pseudo-terminal and on a pipe, and the failure paths.
#include "password_hash.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "emulator.h"

extern char **environ;

namespace {

// The test's own copy of the salt alphabet: letters, '.', '/', no digits.
const std::string kAlphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ./";

const std::string kHashCharacters = "./0123456789" + kAlphabet;

// Checks that out is "$6$", 16 salt characters, "$", 86 characters of
// SHA-512-crypt hash text and a newline, and gives the salt. The salt may hold
// any character crypt allows in one (digits too): the program's narrower
// alphabet is checked by the tests below.
bool parse_line(const std::string &out, std::string *salt) {
    if (out.size() != 3 + 16 + 1 + 86 + 1 || out.compare(0, 3, "$6$") != 0 || out[19] != '$' ||
        out.back() != '\n') {
        return false;
    }
    *salt = out.substr(3, 16);
    const std::string hash = out.substr(20, 86);
    return salt->find_first_not_of(kHashCharacters) == std::string::npos &&
           hash.find_first_not_of(kHashCharacters) == std::string::npos;
}

struct ProgramRun {
    pid_t pid = -1;
    int status = -1;
    std::string out;
    std::string err;
};

std::string read_all(int fd) {
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// Runs a program with no arguments and stdin on /dev/null, collecting its
// output and exit status. With stdout_path, standard output goes to that file.
// In a cross build the emulator runs it, in this same process id.
ProgramRun run_program(const char *path, const char *stdout_path = nullptr) {
    int out[2];
    int err[2];
    ProgramRun run;
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (stdout_path != nullptr) {
        posix_spawn_file_actions_addopen(&actions, 1, stdout_path, O_WRONLY, 0);
    } else {
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    }
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> words = test_emulator::words();
    words.push_back(path);
    std::vector<char *> argv;
    for (std::string &w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    const int spawned = posix_spawnp(&run.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (spawned == 0) {
        run.out = read_all(out[0]);
        run.err = read_all(err[0]);
        waitpid(run.pid, &run.status, 0);
    }
    close(out[0]);
    close(err[0]);
    return run;
}

int exit_code(const ProgramRun &run) {
    return WIFEXITED(run.status) ? WEXITSTATUS(run.status) : -1;
}

// The salt rule computed independently: glibc's srand/rand, modulo 54.
std::string expected_salt(std::uint32_t seed) {
    std::srand(seed);
    std::string salt;
    for (int i = 0; i < 16; i++) {
        salt += kAlphabet[static_cast<size_t>(std::rand() % 54)];
    }
    return salt;
}

std::string openssl_sha512_crypt(const std::string &salt, const char *password) {
    const std::string command =
        std::string(OPENSSL_COMMAND) + " passwd -6 -salt " + salt + " " + password;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return "";
    }
    std::string text;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        text += buffer;
    }
    pclose(pipe);
    return text;
}

TEST(PasswordHashProgram, PrintsOneLineThatOpensslReproduces) {
    const ProgramRun run = run_program(PASSWORD_HASH_PROGRAM);
    EXPECT_EQ(exit_code(run), 0);
    EXPECT_EQ(run.err, "");
    std::string salt;
    ASSERT_TRUE(parse_line(run.out, &salt)) << run.out;
    // An independent SHA-512-crypt: the openssl command, default 5000 rounds.
    EXPECT_EQ(openssl_sha512_crypt(salt, "602948137"), run.out);
}

TEST(PasswordHashProgram, SaltIsDrawnFromProcessIdTimesSecond) {
    const std::time_t before = std::time(nullptr);
    const ProgramRun run = run_program(PASSWORD_HASH_PROGRAM);
    const std::time_t after = std::time(nullptr);
    std::string salt;
    ASSERT_TRUE(parse_line(run.out, &salt)) << run.out;
    bool found = false;
    for (std::time_t t = before; t <= after && !found; t++) {
        const auto seed = static_cast<std::uint32_t>(static_cast<std::uint64_t>(run.pid) *
                                                     static_cast<std::uint64_t>(t));
        found = expected_salt(seed) == salt;
    }
    EXPECT_TRUE(found) << "salt " << salt << " from pid " << run.pid;
}

TEST(PasswordHashProgram, SaltsHoldNoDigitAcrossRuns) {
    for (int i = 0; i < 25; i++) {
        const ProgramRun run = run_program(PASSWORD_HASH_PROGRAM);
        std::string salt;
        ASSERT_TRUE(parse_line(run.out, &salt)) << run.out;
        EXPECT_EQ(salt.find_first_of("0123456789"), std::string::npos) << salt;
    }
}

// Seeds: the low 32 bits of pid * seconds, computed with Python integers.
struct SeedVector {
    pid_t pid;
    std::time_t now;
    unsigned int seed;
};
constexpr SeedVector kSeedVectors[] = {
    {1, 0, 0x0u},
    {1, 1700000000, 0x6553f100u},
    {4242, 1796688000, 0x87cf5900u},
    {4194304, 1800000000, 0x80000000u},
    {32768, 4294967303, 0x38000u},
    {99999, 4102444800, 0x87fa0900u},
};

TEST(SaltSeed, KeepsLow32BitsOfProduct) {
    for (const SeedVector &v : kSeedVectors) {
        EXPECT_EQ(salt_seed(v.pid, v.now), v.seed) << v.pid << " * " << v.now;
    }
}

// Salts for given seeds, from Python calling glibc's srand/rand via ctypes
// and indexing the alphabet with rand() % 54. (glibc treats seed 0 as 1.)
struct SaltVector {
    unsigned int seed;
    const char *salt;
};
constexpr SaltVector kSaltVectors[] = {
    {0x0u, "tqTzPzUmHLYFGhfe"},        {0x1u, "tqTzPzUmHLYFGhfe"},
    {0x2au, "gQJBCkLglxQ/Bayi"},       {0x7eau, "tKRHCllM.d/kS/nn"},
    {0x7fffffffu, "OgjkWFwcJxWPeeaN"}, {0xffffffffu, "ZUkpMQOZSuqNgztN"},
};

TEST(DrawSalt, MatchesGlibcRandVectors) {
    for (const SaltVector &v : kSaltVectors) {
        std::ostringstream salt;
        draw_salt(v.seed, &salt);
        EXPECT_EQ(salt.str(), v.salt) << "seed " << v.seed;
    }
}

TEST(DrawSalt, UsesExactlyTheFiftyFourCharacters) {
    std::set<char> seen;
    for (unsigned int seed = 0; seed < 20000; seed++) {
        std::ostringstream salt;
        draw_salt(seed, &salt);
        const std::string text = salt.str();
        ASSERT_EQ(text.size(), 16u);
        seen.insert(text.begin(), text.end());
    }
    EXPECT_EQ(seen, std::set<char>(kAlphabet.begin(), kAlphabet.end()));
}

// Failure paths: crypt failing in the two ways libxcrypt signals it, and
// standard output that cannot be written.
struct FailureCase {
    const char *program;
    const char *stdout_path;
    const char *message;
};
const FailureCase kFailures[] = {
    {CRYPT_FAILS_NULL_PROGRAM, nullptr,
     "password_hash: crypt could not hash the password: Cannot allocate memory\n"},
    {CRYPT_FAILS_TOKEN_PROGRAM, nullptr,
     "password_hash: crypt could not hash the password: Invalid argument\n"},
    {PASSWORD_HASH_PROGRAM, "/dev/full",
     "password_hash: could not write to standard output: No space left on device\n"},
};

TEST(PasswordHashFailure, ReportsOnStandardErrorAndExitsWithOne) {
    for (const FailureCase &c : kFailures) {
        const ProgramRun run = run_program(c.program, c.stdout_path);
        EXPECT_EQ(exit_code(run), 1) << c.program;
        EXPECT_EQ(run.out, "") << c.program;
        EXPECT_EQ(run.err, c.message) << c.program;
    }
}

// Runs read_hidden_word in a child process whose standard input is fd and
// returns the word, or the child's report when report_to_stdout is set. The
// child writes with write(2) and leaves with _exit so that nothing of the
// test process is flushed twice.
[[noreturn]] void hidden_word_child(int input_fd, int output_fd, const termios *before) {
    dup2(input_fd, STDIN_FILENO);
    std::clearerr(stdin);
    std::cin.clear();
    std::string report = read_hidden_word();
    if (before != nullptr) {
        termios after{};
        tcgetattr(STDIN_FILENO, &after);
        const bool same = after.c_iflag == before->c_iflag && after.c_oflag == before->c_oflag &&
                          after.c_cflag == before->c_cflag && after.c_lflag == before->c_lflag;
        report = "[" + report + "] " + (same ? "restored" : "changed") + "\n";
    }
    const ssize_t written = write(output_fd, report.data(), report.size());
    _exit(written == static_cast<ssize_t>(report.size()) ? 0 : 2);
}

// Reads from fd until end of input, giving up after ten silent seconds.
bool read_with_timeout(int fd, std::string *text) {
    char buffer[256];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) {
            return false;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return true;  // end of input; a pty master reports EIO instead
        }
        text->append(buffer, static_cast<size_t>(n));
    }
}

TEST(ReadHiddenWord, TurnsEchoOffOnTerminalWhileReading) {
    int master;
    int slave;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    ASSERT_NE(before.c_lflag & ECHO, 0u) << "a new pseudo-terminal echoes";
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(master);
        hidden_word_child(slave, slave, &before);
    }
    close(slave);

    // On Linux the master side reports the terminal's attributes: wait until
    // the child has turned echo off, then type a line with two words.
    termios during{};
    bool echo_off = false;
    for (int i = 0; i < 10000 && !echo_off; i++) {
        echo_off = tcgetattr(master, &during) == 0 && (during.c_lflag & ECHO) == 0;
        if (!echo_off) {
            usleep(1000);
        }
    }
    EXPECT_TRUE(echo_off);
    EXPECT_EQ(during.c_lflag, before.c_lflag & ~static_cast<tcflag_t>(ECHO));
    EXPECT_EQ(during.c_iflag, before.c_iflag);
    const std::string typed = "   alpha beta\n";
    ASSERT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));

    // Nothing typed may come back as echo; only the child's report does.
    std::string shown;
    const bool finished = read_with_timeout(master, &shown);
    if (!finished) {
        kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    close(master);
    EXPECT_TRUE(finished);
    EXPECT_EQ(shown, "[alpha] restored\r\n");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

struct PipedInput {
    const char *input;
    const char *word;
};
constexpr PipedInput kPipedInputs[] = {
    {"   alpha beta\n", "alpha"},
    {"\t\n  gamma", "gamma"},  // word ends at end of input
    {"", ""},                  // nothing to read
};

TEST(ReadHiddenWord, ReadsFromStandardInputThatIsNotATerminal) {
    for (const PipedInput &c : kPipedInputs) {
        int in[2];
        int out[2];
        ASSERT_EQ(pipe(in), 0);
        ASSERT_EQ(pipe(out), 0);
        std::fflush(nullptr);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(in[1]);
            close(out[0]);
            hidden_word_child(in[0], out[1], nullptr);
        }
        close(in[0]);
        close(out[1]);
        const std::string input = c.input;
        EXPECT_EQ(write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        close(in[1]);
        std::string word;
        const bool finished = read_with_timeout(out[0], &word);
        if (!finished) {
            kill(child, SIGKILL);
        }
        int status = 0;
        waitpid(child, &status, 0);
        close(out[0]);
        EXPECT_TRUE(finished);
        EXPECT_EQ(word, c.word);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
}

}  // namespace
