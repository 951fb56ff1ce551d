// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <string>

namespace tavmar::testfiles {

/// A fresh folder named `prefix`-XXXXXX under `base`, or else $TMPDIR or
/// /tmp, removed with everything in it.
class TempFolder {
  public:
    explicit TempFolder(std::string base = {}, const std::string& prefix = "tavmar-files");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    /// `name` inside the folder.
    std::string Path(const std::string& name) const { return (path_ / name).string(); }
    /// The folder itself.
    const std::filesystem::path& Root() const { return path_; }

  private:
    std::filesystem::path path_;
};

} // namespace tavmar::testfiles
