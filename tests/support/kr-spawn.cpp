// kr-spawn: runs a program as a user would and reports its full 32-bit exit code and message boxes.
#include "krtest.h"

#include <cstdio>
#include <iostream>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: kr-spawn <program> [args...]\n", stderr);
        return 2;
    }
    std::vector<std::wstring> args(argv + 2, argv + argc);
    const krtest::RunResult result = krtest::run(argv[1], args);
    std::cout << result.out;
    std::cerr << result.err;
    for (const auto& dialog : result.dialogs) {
        std::cout << "message box [" << krtest::utf8(dialog.caption) << "]: " << krtest::utf8(dialog.text) << "\n";
    }
    std::printf("exit code: %d (0x%08X)\n", static_cast<int>(result.exitCode), result.exitCode);
    return result.exitCode == 0 ? 0 : 1;
}
