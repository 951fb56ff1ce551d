// SPDX-License-Identifier: GPL-3.0-or-later
// The remembered fields with a damaged per-user settings file or folder:
// loading gives the defaults and never fails; saving either works or raises
// a Failure (which the window prints on its way out).

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "FaultRig.h"
#include "settings/RememberedFields.h"
#include "store/IniSettingsStore.h"

namespace tavmar::faults {
namespace {

using testfiles::Pattern;
using testfiles::TempFolder;
using testfiles::WriteFile;

/// Sets XDG_CONFIG_HOME for one scope.
class ConfigHome {
  public:
    explicit ConfigHome(const std::string& path) {
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) {
            saved_ = old;
        }
        ::setenv("XDG_CONFIG_HOME", path.c_str(), 1);
    }
    ~ConfigHome() {
        if (saved_) {
            ::setenv("XDG_CONFIG_HOME", saved_->c_str(), 1);
        } else {
            ::unsetenv("XDG_CONFIG_HOME");
        }
    }
    ConfigHome(const ConfigHome&) = delete;
    ConfigHome& operator=(const ConfigHome&) = delete;

  private:
    std::optional<std::string> saved_;
};

TEST(SettingsFaultTest, DamagedSettingsGiveDefaultsAndSavesWorkOrFailCleanly) {
    enum class Damage {
        FileIsADirectory,
        Malformed,
        MalformedAndDiskFull,
        Binary,
        FolderIsAFile,
        FileIsAFifo,
        LockIsAFifo
    };
    struct Case {
        const char* name;
        Damage damage;
        bool saveWorks;
    };
    const Case cases[] = {
        {"a directory where the file goes", Damage::FileIsADirectory, false},
        {"malformed text", Damage::Malformed, true},
        {"malformed text, and no room for the new file", Damage::MalformedAndDiskFull, false},
        {"binary bytes", Damage::Binary, true},
        {"a regular file where the folder goes", Damage::FolderIsAFile, false},
        {"a FIFO where the file goes", Damage::FileIsAFifo, false},
        {"a FIFO where the lock file goes", Damage::LockIsAFifo, false},
    };
    const std::string app = settings::kApplicationName;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TempFolder config;
        const ConfigHome home(config.Path(""));
        const std::string folder = config.Path(app);
        const std::string file = (std::filesystem::path(folder) / (app + ".ini")).string();
        if (c.damage == Damage::FolderIsAFile) {
            WriteFile(folder, Pattern(10));
        } else {
            ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
        }
        switch (c.damage) {
        case Damage::FileIsADirectory:
            ASSERT_EQ(::mkdir(file.c_str(), 0700), 0);
            break;
        case Damage::Malformed:
        case Damage::MalformedAndDiskFull: {
            const std::string text = "[V0.2\nInputFile\n==\n[[V0.2]]]\nOutputFile=\"unclosed\n";
            testfiles::WriteText(file, text);
            break;
        }
        case Damage::Binary:
            WriteFile(file, Pattern(3000, 42));
            break;
        case Damage::FolderIsAFile:
            break;
        case Damage::FileIsAFifo:
        case Damage::LockIsAFifo: // opened for good, it would wait for a writer
            ASSERT_EQ(
                ::mkfifo((file + (c.damage == Damage::LockIsAFifo ? ".lock" : "")).c_str(), 0600),
                0);
            break;
        }
        const auto start = std::chrono::steady_clock::now();

        store::IniSettingsStore store;
        fakes::FakeControls controls;
        for (auto name : {control::kInputFile, control::kInputFileStart, control::kInputFileStop,
                          control::kOutputFile, control::kOutputFileStart}) {
            controls.SetText(name, "before");
        }
        ASSERT_NO_THROW(settings::LoadFields(store, controls));
        EXPECT_EQ(controls.Text(control::kInputFile), "");
        EXPECT_EQ(controls.Text(control::kInputFileStart), "1");
        EXPECT_EQ(controls.Text(control::kInputFileStop), "0");
        EXPECT_EQ(controls.Text(control::kOutputFile), "");
        EXPECT_EQ(controls.Text(control::kOutputFileStart), "1");

        controls.SetText(control::kInputFile, "/saved/input");
        if (c.saveWorks) {
            ASSERT_NO_THROW(settings::SaveFields(store, controls));
            const Bytes saved = testfiles::ReadFile(file); // on disk, not in Qt's cache
            EXPECT_NE(std::string(saved.begin(), saved.end()).find("InputFile=/saved/input"),
                      std::string::npos);
        } else {
            rlimit saved{};
            ::getrlimit(RLIMIT_FSIZE, &saved);
            // A file size limit of 0 lets no byte be written, as a full disk.
            if (c.damage == Damage::MalformedAndDiskFull) {
                std::signal(SIGXFSZ, SIG_IGN); // as the program ignores it
                const rlimit none{0, saved.rlim_max};
                ::setrlimit(RLIMIT_FSIZE, &none);
            }
            try {
                settings::SaveFields(store, controls);
                ::setrlimit(RLIMIT_FSIZE, &saved);
                ADD_FAILURE() << "saving raised nothing";
            } catch (const runtime::Failure& failure) {
                ::setrlimit(RLIMIT_FSIZE, &saved);
                EXPECT_EQ(failure.Code(), runtime::FailureCode::SettingsError);
            }
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    }
}

// A copy into the settings lock file would be cleared as a lock left behind
// by the next save; one into the save's temporary file, overwritten by it.
TEST(SettingsFaultTest, NoFileOfTheStoreIsACopysOutputByAnyName) {
    const TempFolder config;
    const store::IniSettingsStore store(config.Path("s.ini"));
    runtime::PosixFileTable files;
    files.SetOwnFiles(store.OwnFiles(settings::kApplicationName));
    for (const char* own : {"s.ini", "s.ini.lock", "s.ini.tmp"}) {
        WriteFile(config.Path(own), Pattern(10));
        std::filesystem::create_hard_link(config.Path(own), config.Path("link"));
        try {
            files.Open(1, config.Path("link"), runtime::FileAccess::Write);
            ADD_FAILURE() << own << " opened for writing";
        } catch (const runtime::Failure& failure) {
            EXPECT_EQ(failure.Code(), runtime::FailureCode::ProgramFile) << own;
        }
        std::filesystem::remove(config.Path("link"));
    }
}

} // namespace
} // namespace tavmar::faults
