// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/RememberedFields.h"

#include <array>
#include <string_view>

#include "runtime/ProgramVersion.h"

namespace tavmar::settings {

namespace {

namespace control = runtime::control;

/// One remembered field: its key in the store, its control, and the text it
/// gets when nothing has been saved yet.
struct Field {
    const char* key;
    std::string_view control;
    const char* initial;
};

/// Loaded and saved in this order.
constexpr std::array<Field, 5> kFields{{
    {"InputFile", control::kInputFile, ""},
    {"InputFileStart", control::kInputFileStart, "1"},
    {"InputFileStop", control::kInputFileStop, "0"},
    {"OutputFile", control::kOutputFile, ""},
    {"OutputFileStart", control::kOutputFileStart, "1"},
}};

} // namespace

std::string VersionSection() {
    return "V" + std::to_string(runtime::kProgramVersion.major) + "." +
           std::to_string(runtime::kProgramVersion.minor);
}

// One read for all five, for the same reason as one save: another program
// saving meanwhile cannot give this one its input and an older output.
void LoadFields(runtime::SettingsStore& store, runtime::WindowControls& controls) {
    runtime::SettingsEntries initial;
    for (const Field& field : kFields) {
        initial.emplace_back(field.key, field.initial);
    }
    const runtime::SettingsEntries loaded = store.Load(kApplicationName, VersionSection(), initial);
    for (std::size_t i = 0; i < kFields.size(); ++i) {
        controls.SetText(kFields[i].control, loaded.at(i).second);
    }
}

// Text goes out as it stands, checked or not: the fields are restored exactly
// as the user left them. One save for all five, so that the store never
// holds one program's input with another's output.
void SaveFields(runtime::SettingsStore& store, const runtime::WindowControls& controls) {
    runtime::SettingsEntries entries;
    for (const Field& field : kFields) {
        entries.emplace_back(field.key, controls.Text(field.control));
    }
    store.Save(kApplicationName, VersionSection(), entries);
}

} // namespace tavmar::settings
