// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/CommandLine.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "runtime/ProgramVersion.h"

namespace tavmar::window {

namespace {

std::string VersionText() {
    const auto& v = runtime::kProgramVersion;
    return "tavmar-velmora (Tavmar Velmora) " + std::to_string(v.major) + "." +
           std::to_string(v.minor) + "." + std::to_string(v.revision) +
           "\n"
           "Copyright (C) The Tavmar Velmora developers.\n"
           "License GPL-3.0-or-later: GNU GPL version 3 or later.\n"
           "This is free software: you are free to change and redistribute it.\n"
           "There is NO WARRANTY, to the extent permitted by law.\n";
}

std::string HelpText() {
    return "Usage: tavmar-velmora [OPTION]\n"
           "Open the window that copies an inclusive range of bytes out of one file\n"
           "into another file at a chosen position.\n"
           "\n"
           "      --help     display this help and exit\n"
           "      --version  output version information and exit\n"
           "\n"
           "Any other argument is ignored. The manual page tavmar-velmora(1) describes\n"
           "the fields, the keys, the messages and the settings file.\n";
}

} // namespace

std::optional<std::string> CommandLineAnswer(int argc, const char* const argv[]) {
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--") {
            break;
        }
        if (argument == "--help") {
            return HelpText();
        }
        if (argument == "--version") {
            return VersionText();
        }
    }
    return std::nullopt;
}

bool WriteAnswer(const std::string& text) {
    errno = 0;
    bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    int error = written ? 0 : errno;
    // Closing flushes: a full disk often shows only here.
    if (std::fclose(stdout) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        std::fprintf(stderr, "tavmar-velmora: write error: %s\n",
                     error != 0 ? std::strerror(error) : "output incomplete");
    }
    return written;
}

} // namespace tavmar::window
