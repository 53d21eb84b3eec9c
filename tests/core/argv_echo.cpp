// SPDX-License-Identifier: GPL-3.0-or-later
// Test helper for the program runner. Modes:
//   argv_echo exit N            ends with exit code N
//   argv_echo echo FILE ARGS... writes the working folder, $QF_RUNEXE_PROBE and
//                               each ARG to FILE, each followed by a NUL byte
//   argv_echo print TEXT        writes TEXT to standard output and to standard error
//   argv_echo kill              ends itself with SIGKILL
//   argv_echo term              raises SIGTERM (ends the program unless ignored)
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 100;
    const char* mode = argv[1];
    if (std::strcmp(mode, "exit") == 0 && argc == 3)
        return std::atoi(argv[2]);
    if (std::strcmp(mode, "echo") == 0 && argc >= 3) {
        FILE* f = std::fopen(argv[2], "wb");
        if (!f)
            return 101;
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd))
            return 102;
        const char* probe = std::getenv("QF_RUNEXE_PROBE");
        std::fwrite(cwd, 1, std::strlen(cwd) + 1, f);
        std::fwrite(probe ? probe : "(unset)", 1, std::strlen(probe ? probe : "(unset)") + 1, f);
        for (int i = 3; i < argc; ++i)
            std::fwrite(argv[i], 1, std::strlen(argv[i]) + 1, f);
        return std::fclose(f) == 0 ? 0 : 103;
    }
    if (std::strcmp(mode, "print") == 0 && argc == 3) {
        std::fputs(argv[2], stdout);
        std::fputs(argv[2], stderr);
        return 0;
    }
    if (std::strcmp(mode, "kill") == 0) {
        std::raise(SIGKILL);
        return 104;
    }
    if (std::strcmp(mode, "term") == 0) {
        std::raise(SIGTERM);
        return 0;
    }
    return 100;
}
