// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <map>
#include <string>
#include <tuple>

#include "runtime/SettingsStore.h"

namespace tavmar::fakes {

/// Settings in a map keyed by (application, section, key).
class FakeSettingsStore : public runtime::SettingsStore {
  public:
    std::map<std::tuple<std::string, std::string, std::string>, std::string> values;
    /// When set, every Save raises a SettingsError failure and stores nothing.
    bool failSaves = false;

    runtime::SettingsEntries Load(const std::string& application, const std::string& section,
                                  const runtime::SettingsEntries& defaults) override;
    void Save(const std::string& application, const std::string& section,
              const runtime::SettingsEntries& entries) override;
};

} // namespace tavmar::fakes
