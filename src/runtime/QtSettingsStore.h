// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <string>

#include "runtime/SettingsStore.h"

namespace tavmar::runtime {

/// Settings kept in INI files through QSettings; no QCoreApplication needed.
///
/// Per user, application A keeps its settings in the file
///     $XDG_CONFIG_HOME/A/A.ini
/// or ~/.config/A/A.ini when XDG_CONFIG_HOME is unset, empty or not an
/// absolute path. This program's fields are therefore in
/// "~/.config/Tavmar Velmora/Tavmar Velmora.ini", under one INI group per
/// section ("[V0.2]") with one line per key (key case kept).
///
/// Values are UTF-8 text and come back exactly as they were saved, empty
/// text included. A settings file that cannot be read gives every default;
/// a damaged one (binary, garbage lines) gives the defaults for whatever
/// Qt cannot make out, and a Save still works on it.
///
/// Each Save rewrites the whole file beside the old one and renames it into
/// place, so an interrupted save leaves either the old file or the new one,
/// never a mix.
class QtSettingsStore : public SettingsStore {
  public:
    /// How long a save waits for the file's lock. A lock file more than a
    /// second old counts as left behind by a dead writer and is cleared.
    static constexpr std::chrono::milliseconds kDefaultLockWait{5000};

    /// The per-user store. The config folder is taken from the environment
    /// now, when the store is made.
    QtSettingsStore();

    /// A store that keeps every application's settings in the one INI file
    /// at `filePath` (its folder is created on the first save).
    explicit QtSettingsStore(std::string filePath,
                             std::chrono::milliseconds lockWait = kDefaultLockWait);

    /// The file that holds `application`'s settings.
    std::string FileFor(const std::string& application) const;

    std::string Get(const std::string& application, const std::string& section,
                    const std::string& key, const std::string& defaultValue) override;

    /// Raises Failure(SettingsError), naming the file, when the folder cannot
    /// be made, the file's lock cannot be taken within the lock wait, or the
    /// file cannot be written.
    void Save(const std::string& application, const std::string& section, const std::string& key,
              const std::string& text) override;

  private:
    std::string configFolder_; // per-user store: the XDG config folder
    std::string filePath_;     // single-file store: the file
    std::chrono::milliseconds lockWait_;
};

} // namespace tavmar::runtime
