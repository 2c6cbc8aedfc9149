// Reading a word from the terminal on standard input without echoing it.
#include <termios.h>
#include <unistd.h>

#include <iostream>

#include "password_hash.h"

void set_echo(bool enable) {
    termios attributes{};
    // Without the current attributes there is nothing safe to write back
    // (standard input is not a terminal, or is closed).
    if (tcgetattr(STDIN_FILENO, &attributes) != 0) {
        return;
    }
    if (enable) {
        attributes.c_lflag |= ECHO;
    } else {
        attributes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &attributes);
}

std::string read_hidden_word() {
    std::string word;
    set_echo(false);
    std::cin >> word;
    set_echo(true);
    return word;
}
