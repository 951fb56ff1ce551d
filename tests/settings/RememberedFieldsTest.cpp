// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/RememberedFields.h"

#include <array>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/FakeSettingsStore.h"
#include "fakes/FakeWindow.h"
#include "fakes/TempFolder.h"
#include "runtime/Failure.h"
#include "runtime/ProgramVersion.h"
#include "store/IniSettingsStore.h"

namespace tavmar::settings {
namespace {

namespace control = runtime::control;
using runtime::Failure;
using runtime::FailureCode;

constexpr std::array<std::pair<std::string_view, const char*>, 5> kKeys{{
    {control::kInputFile, "InputFile"},
    {control::kInputFileStart, "InputFileStart"},
    {control::kInputFileStop, "InputFileStop"},
    {control::kOutputFile, "OutputFile"},
    {control::kOutputFileStart, "OutputFileStart"},
}};

/// Puts a distinct text in every field.
void FillFields(runtime::WindowControls& controls, const std::string& prefix) {
    for (const auto& [name, key] : kKeys) {
        controls.SetText(name, prefix + key);
    }
}

/// Records the order of calls (a Load or Save with the keys it carries) and
/// fails a Save that carries one chosen key.
class RecordingStore : public fakes::FakeSettingsStore {
  public:
    std::vector<std::string> calls;
    std::string failOnKey;

    runtime::SettingsEntries Load(const std::string& application, const std::string& section,
                                  const runtime::SettingsEntries& defaults) override {
        calls.emplace_back("Load");
        for (const auto& entry : defaults) {
            calls.back() += " " + entry.first;
        }
        return FakeSettingsStore::Load(application, section, defaults);
    }
    void Save(const std::string& application, const std::string& section,
              const runtime::SettingsEntries& entries) override {
        calls.emplace_back("Save");
        for (const auto& [key, text] : entries) {
            calls.back() += " " + key;
            if (key == failOnKey) {
                throw Failure(FailureCode::SettingsError, "cannot save " + key);
            }
        }
        FakeSettingsStore::Save(application, section, entries);
    }
};

TEST(VersionSection, IsMajorDotMinorWithoutRevision) {
    const auto& v = runtime::kProgramVersion;
    EXPECT_EQ(VersionSection(), "V" + std::to_string(v.major) + "." + std::to_string(v.minor));
    EXPECT_EQ(VersionSection(), "V0.2"); // the version this release ships as
}

/// The texts a first start shows: no paths, the whole input, position 1.
void ExpectInitialTexts(const fakes::FakeControls& controls) {
    EXPECT_EQ(controls.Text(control::kInputFile), "");
    EXPECT_EQ(controls.Text(control::kInputFileStart), "1");
    EXPECT_EQ(controls.Text(control::kInputFileStop), "0");
    EXPECT_EQ(controls.Text(control::kOutputFile), "");
    EXPECT_EQ(controls.Text(control::kOutputFileStart), "1");
}

TEST(LoadFields, FirstStartGivesTheInitialTexts) {
    fakes::FakeSettingsStore store;
    fakes::FakeControls controls;
    FillFields(controls, "stale ");

    LoadFields(store, controls);

    ExpectInitialTexts(controls);
}

TEST(LoadFields, ReadsEachKeyFromTheVersionSectionAndKeepsEmptyValues) {
    fakes::FakeSettingsStore store;
    for (const auto& [name, key] : kKeys) {
        store.values[{kApplicationName, "V0.2", key}] = std::string("saved ") + key;
    }
    store.values[{kApplicationName, "V0.2", "InputFileStart"}] = "";
    store.values[{kApplicationName, "V0.2", "InputFileStop"}] = "";
    fakes::FakeControls controls;

    LoadFields(store, controls);

    EXPECT_EQ(controls.Text(control::kInputFile), "saved InputFile");
    EXPECT_EQ(controls.Text(control::kInputFileStart), "");
    EXPECT_EQ(controls.Text(control::kInputFileStop), "");
    EXPECT_EQ(controls.Text(control::kOutputFile), "saved OutputFile");
    EXPECT_EQ(controls.Text(control::kOutputFileStart), "saved OutputFileStart");
}

TEST(LoadFields, OtherVersionsAndApplicationsAreNotSeen) {
    fakes::FakeSettingsStore store;
    for (const auto& [name, key] : kKeys) {
        store.values[{kApplicationName, "V0.3", key}] = "from 0.3";
        store.values[{kApplicationName, "V0.1", key}] = "from 0.1";
        store.values[{kApplicationName, "V0.2.0", key}] = "with revision";
        store.values[{"Another Program", "V0.2", key}] = "other program";
    }
    fakes::FakeControls controls;
    FillFields(controls, "stale ");

    LoadFields(store, controls);

    ExpectInitialTexts(controls);
}

TEST(SaveFields, WritesExactlyTheFiveKeysUnderTheVersionSection) {
    fakes::FakeSettingsStore store;
    fakes::FakeControls controls;
    FillFields(controls, "typed ");

    SaveFields(store, controls);

    std::map<std::tuple<std::string, std::string, std::string>, std::string> expected;
    for (const auto& [name, key] : kKeys) {
        expected[{"Tavmar Velmora", "V0.2", key}] = std::string("typed ") + key;
    }
    EXPECT_EQ(store.values, expected);
}

// One Load and one Save for all five: two programs closing together cannot
// mix them.
TEST(RememberedFieldsOrder, LoadAndSaveGoThroughTheKeysInTheSameOrder) {
    RecordingStore store;
    fakes::FakeControls controls;

    LoadFields(store, controls);
    SaveFields(store, controls);

    EXPECT_EQ(store.calls,
              (std::vector<std::string>{
                  "Load InputFile InputFileStart InputFileStop OutputFile OutputFileStart",
                  "Save InputFile InputFileStart InputFileStop OutputFile OutputFileStart"}));
}

TEST(SaveFields, AFailingSaveRaisesAndStoresNoField) {
    RecordingStore store;
    store.failOnKey = "InputFileStop";
    fakes::FakeControls controls;

    try {
        SaveFields(store, controls);
        FAIL() << "no failure raised";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.Code(), FailureCode::SettingsError);
        EXPECT_EQ(failure.Description(), "cannot save InputFileStop");
    }
    EXPECT_EQ(store.calls.size(), 1u);
    EXPECT_TRUE(store.values.empty());
}

// The whole path the window takes: fields out to a real INI file and back
// in through a second store that reads that file afresh.
TEST(RememberedFieldsOnDisk, FieldsSurviveASaveAndARestart) {
    namespace fs = std::filesystem;
    const testfiles::TempFolder temp({}, "remembered");
    const fs::path& folder = temp.Root();

    fakes::FakeControls typed;
    typed.SetText(control::kInputFile, "/data/ü@1;#=,\\x \"q\" ");
    typed.SetText(control::kInputFileStart, "abc");
    typed.SetText(control::kInputFileStop, "");
    typed.SetText(control::kOutputFile, "@out");
    typed.SetText(control::kOutputFileStart, " 7 ");
    {
        store::IniSettingsStore store((folder / "first.ini").string());
        SaveFields(store, typed);
    }
    // A new name keeps the read away from anything Qt cached for the first.
    fs::copy_file(folder / "first.ini", folder / "restart.ini");
    store::IniSettingsStore store((folder / "restart.ini").string());
    fakes::FakeControls restored;
    FillFields(restored, "stale ");
    LoadFields(store, restored);

    for (const auto& [name, key] : kKeys) {
        EXPECT_EQ(restored.Text(name), typed.Text(name)) << key;
    }
}

} // namespace
} // namespace tavmar::settings
