// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tavmar::runtime {

/// Keys and the texts to store under them, in the order given.
using SettingsEntries = std::vector<std::pair<std::string, std::string>>;

/// The per-user settings store: text values addressed by application,
/// section and key.
class SettingsStore {
  public:
    virtual ~SettingsStore() = default;

    /// The stored texts of several keys, all read at one moment, so that they
    /// come from one save: each entry of `defaults` with its text replaced by
    /// the stored one when the key is there, in the same order.
    virtual SettingsEntries Load(const std::string& application, const std::string& section,
                                 const SettingsEntries& defaults) = 0;

    /// Stores every text of `entries` under its key in one step: afterwards
    /// the store holds all of them, or, when it raises runtime::Failure, none
    /// (the values stored before stay as they were).
    virtual void Save(const std::string& application, const std::string& section,
                      const SettingsEntries& entries) = 0;
};

} // namespace tavmar::runtime
