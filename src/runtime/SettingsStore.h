// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace tavmar::runtime {

/// The per-user settings store: text values addressed by application,
/// section and key.
class SettingsStore {
  public:
    virtual ~SettingsStore() = default;

    /// The stored text, or `defaultValue` when the key is absent (an empty
    /// stored value is returned as it is).
    virtual std::string Get(const std::string& application, const std::string& section,
                            const std::string& key, const std::string& defaultValue) = 0;

    /// Stores `text` under the key; raises runtime::Failure when it cannot.
    virtual void Save(const std::string& application, const std::string& section,
                      const std::string& key, const std::string& text) = 0;
};

} // namespace tavmar::runtime
