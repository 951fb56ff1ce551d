// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "runtime/SettingsStore.h"

namespace tavmar::store {

/// Settings kept in INI files in the format QSettings reads and writes (see
/// IniText.h), written by this class itself rather than through QSettings
/// (in Qt 6.4 its save can leave an empty file on a full disk and report no
/// error); no QCoreApplication needed.
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
/// cannot be made out of it, and a Save still works on it.
///
/// Each Save writes every one of its entries at once: the whole new file goes
/// to the temporary file "A.ini.tmp" beside the old one (made anew each time),
/// is flushed to disk and renamed into place, and the folder is synced, all
/// under the lock file "A.ini.lock" that QSettings uses as well (holding the
/// saving process's id as QLockFile writes it). So the file always holds one
/// whole save, old or new, whatever is killed when, and two programs saving
/// at once take turns. The temporary file's name is fixed so that it can be
/// named among the program's own files (OwnFiles) and so that a save killed
/// half-way leaves nothing behind that the next one does not clear.
///
/// Nothing here waits on a file that is not a regular file: a FIFO, device,
/// socket or folder at the file's path reads as no settings, and a save
/// fails when one stands at the file's or the lock's path; nothing is ever
/// written into one.
class IniSettingsStore : public runtime::SettingsStore {
  public:
    /// How long a save waits for the file's lock. A lock file that no process
    /// holds and that is more than a second old was left behind by a writer
    /// that died, and is cleared.
    static constexpr std::chrono::milliseconds kDefaultLockWait{5000};

    /// The per-user store. The config folder is taken from the environment
    /// now, when the store is made.
    IniSettingsStore();

    /// A store that keeps every application's settings in the one INI file
    /// at `filePath` (its folder is created on the first save).
    explicit IniSettingsStore(std::string filePath,
                              std::chrono::milliseconds lockWait = kDefaultLockWait);

    /// The file that holds `application`'s settings.
    std::string FileFor(const std::string& application) const;

    /// Every file a save of `application`'s settings writes: the settings
    /// file, its lock file and its temporary file (beside the file a
    /// symbolic link at the settings path leads to, as of now). Nothing else
    /// may write them: the file table refuses them as outputs.
    std::vector<std::string> OwnFiles(const std::string& application) const;

    /// Reads the file once for all the keys.
    runtime::SettingsEntries Load(const std::string& application, const std::string& section,
                                  const runtime::SettingsEntries& defaults) override;

    /// Raises Failure(SettingsError), naming the file, when the folder cannot
    /// be made, the lock cannot be taken within the lock wait (or something
    /// other than a regular file stands at its path), the file is not a
    /// regular file or cannot be read, or the new file cannot be written,
    /// flushed or renamed into place (the old file is then left as it was),
    /// or the folder cannot be synced after the rename.
    void Save(const std::string& application, const std::string& section,
              const runtime::SettingsEntries& entries) override;

  private:
    std::string configFolder_; // per-user store: the XDG config folder
    std::string filePath_;     // single-file store: the file
    std::chrono::milliseconds lockWait_;
};

} // namespace tavmar::store
