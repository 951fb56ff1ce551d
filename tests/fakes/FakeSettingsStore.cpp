// SPDX-License-Identifier: GPL-3.0-or-later
#include "fakes/FakeSettingsStore.h"

#include "runtime/Failure.h"

namespace tavmar::fakes {

runtime::SettingsEntries FakeSettingsStore::Load(const std::string& application,
                                                 const std::string& section,
                                                 const runtime::SettingsEntries& defaults) {
    runtime::SettingsEntries entries = defaults;
    for (auto& [key, text] : entries) {
        if (auto it = values.find({application, section, key}); it != values.end()) {
            text = it->second;
        }
    }
    return entries;
}

void FakeSettingsStore::Save(const std::string& application, const std::string& section,
                             const runtime::SettingsEntries& entries) {
    if (failSaves) {
        throw runtime::Failure(runtime::FailureCode::SettingsError);
    }
    for (const auto& [key, text] : entries) {
        values[{application, section, key}] = text;
    }
}

} // namespace tavmar::fakes
