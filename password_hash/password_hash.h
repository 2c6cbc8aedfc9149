// password_hash: prints the SHA-512-crypt hash ("$6$") of a fixed password
// under a freshly drawn 16-character salt.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <ostream>
#include <string>

// Number of salt characters in the setting "$6$<salt>$".
inline constexpr int salt_length = 16;

// Seed for the salt: the process id times the time in whole seconds, kept to
// its low 32 bits. Two runs with the same process id in the same second share
// the seed, and so the salt.
unsigned int salt_seed(pid_t pid, std::time_t now);

// Seeds rand() with seed and appends salt_length characters of the salt
// alphabet (letters, '.', '/'; no digits) to *out, one rand() draw each.
void draw_salt(unsigned int seed, std::ostream *out);

// Turns echo of the terminal on standard input on or off. Does nothing when
// standard input is not a terminal.
void set_echo(bool enable);

// Reads one whitespace-delimited word from standard input with echo off.
std::string read_hidden_word();
