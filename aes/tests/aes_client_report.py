#!/usr/bin/python3
"""aes_client's whole report, rebuilt byte for byte with the openssl command
(AES-128 encryption, CBC and CMAC of OpenSSL), which needs no OpenSSL library
of the machine the program was built for: the report test of cross builds.

Arguments: the openssl command, the program. In a cross build the program runs
under the command in the environment variable TEST_EMULATOR. Exit status 0 when
the report matches, 1 otherwise.
"""
import os
import subprocess
import sys

# The fixed AES-128 key compiled into aes_client (the program never prints it).
CLIENT_AES_128_KEY = "a8945b464d47930ff4f9a87503622f2a"


def padded(text, size=16):
    data = text.encode("ascii")
    return data + bytes(-len(data) % size) if data else bytes(size)


def openssl(command, args, data):
    return subprocess.run([command] + args, input=data, stdout=subprocess.PIPE,
                          check=True).stdout


def cbc(command, key, iv, data):
    return openssl(command, ["enc", "-aes-128-cbc", "-nopad", "-K", key.hex(), "-iv", iv.hex()],
                   data)


def hex_line(data):
    return "".join("%02x " % b for b in data) + "\n"


def main(command, program):
    emulator = os.environ.get("TEST_EMULATOR", "").split()
    run = subprocess.run(emulator + [program], stdout=subprocess.PIPE, check=False)
    out = run.stdout.decode("ascii", "replace")
    if run.returncode != 0:
        print("%s exited with status %d" % (program, run.returncode))
        return 1
    # The message is the program's own text: taken from the CBC section.
    marker = "plaintext: 343 bytes\n"
    if marker not in out:
        print("no CBC plaintext in the report:\n" + out)
        return 1
    start = out.index(marker) + len(marker)
    message = out[start:out.index("\n", start)]
    if len(message) != 343 or not all(" " <= ch <= "~" for ch in message):
        print("unexpected message: %r" % message)
        return 1

    key, iv = padded("quietlamp"), padded("harborgate")
    block = cbc(command, bytes.fromhex(CLIENT_AES_128_KEY), bytes(16), padded("helloworld~"))
    ciphertext = cbc(command, key, iv, padded(message))
    tag = bytes.fromhex(openssl(command, ["mac", "-cipher", "AES-128-CBC", "-macopt",
                                          "hexkey:" + key.hex(), "CMAC"],
                                message.encode("ascii")).decode().strip())
    expected = ("\n*********AES-128*********\n"
                "plaintext: helloworld~\n"
                "encrypted:\n" + hex_line(block) +
                "decrypted: helloworld~\n"
                "\n*********AES-128-CBC**********\n"
                "key:\n" + hex_line(key) + "iv:\n" + hex_line(iv) +
                marker + message + "\n"
                "ciphertext: 352 bytes\n" + hex_line(ciphertext) +
                "decrypted:\n" + message + "\n"
                "\n*********AES-CMAC**********\n"
                "message:\n" + message + "\n"
                "key: quietlamp\n"
                "CMAC result:\n" + hex_line(tag))
    if out == expected:
        print("report identical to the openssl command's (%d lines)" % expected.count("\n"))
        return 0
    want, got = expected.split("\n"), out.split("\n")
    for i in range(max(len(want), len(got))):
        w = want[i] if i < len(want) else "<missing>"
        g = got[i] if i < len(got) else "<missing>"
        if w != g:
            print("line %d differs\n expected: %.120s\n program:  %.120s" % (i + 1, w, g))
            break
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
