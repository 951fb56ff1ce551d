// SPDX-License-Identifier: GPL-3.0-or-later
#include "fakes/TempFolder.h"

#include <stdlib.h> // NOLINT(modernize-deprecated-headers): POSIX declares mkdtemp here

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace tavmar::testfiles {

TempFolder::TempFolder(std::string base, const std::string& prefix) {
    if (base.empty()) {
        const char* tmpdir = std::getenv("TMPDIR");
        base = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    }
    std::string pattern = base + "/" + prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

} // namespace tavmar::testfiles
