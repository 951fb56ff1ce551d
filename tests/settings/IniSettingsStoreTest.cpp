// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/IniSettingsStore.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QLockFile>
#include <gtest/gtest.h>

#include "fakes/TempFolder.h"
#include "fakes/TestFiles.h"
#include "runtime/Failure.h"

namespace tavmar::store {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using runtime::Failure;
using runtime::FailureCode;
using runtime::SettingsEntries;

constexpr const char* kApp = "Tavmar Velmora";

/// One key's stored text, or `defaultValue` when it is absent.
template <class Store>
std::string Stored(Store&& store, const std::string& application, const std::string& section,
                   const std::string& key, const std::string& defaultValue) {
    return store.Load(application, section, {{key, defaultValue}}).front().second;
}

/// A fresh folder per test, removed afterwards; XDG_CONFIG_HOME and HOME are
/// put back as they were.
class IniSettingsStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        savedXdg_ = Env("XDG_CONFIG_HOME");
        savedHome_ = Env("HOME");
    }
    void TearDown() override {
        Restore("XDG_CONFIG_HOME", savedXdg_);
        Restore("HOME", savedHome_);
    }

    fs::path Path(const std::string& name) const { return folder_ / name; }

    /// A store reading a copy of `file` under a new name, so the values come
    /// from parsing the file rather than from anything Qt cached in memory.
    IniSettingsStore Reopened(const fs::path& file) {
        const fs::path copy = Path("copy" + std::to_string(++copies_) + ".ini");
        fs::copy_file(file, copy);
        return IniSettingsStore(copy.string());
    }

    static void Write(const fs::path& file, const std::string& bytes) {
        testfiles::WriteText(file.string(), bytes);
    }
    static std::string Read(const fs::path& file) { return testfiles::ReadText(file.string()); }
    static ino_t Inode(const fs::path& file) {
        struct stat info {};
        EXPECT_EQ(::stat(file.c_str(), &info), 0) << file;
        return info.st_ino;
    }

    const testfiles::TempFolder temp_{{}, "settings"};
    const fs::path folder_ = temp_.Root();

  private:
    static std::optional<std::string> Env(const char* name) {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    }
    static void Restore(const char* name, const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    std::optional<std::string> savedXdg_;
    std::optional<std::string> savedHome_;
    int copies_ = 0;
};

/// Expects `action` to raise a SettingsError whose description names `file`.
template <typename Action> void ExpectSettingsError(Action action, const fs::path& file) {
    try {
        action();
        ADD_FAILURE() << "no failure raised";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.Code(), FailureCode::SettingsError);
        EXPECT_NE(failure.Description().find(file.string()), std::string::npos)
            << failure.Description();
    }
}

TEST_F(IniSettingsStoreTest, OddValuesComeBackExactlyAsSaved) {
    const std::vector<std::string> values = {
        "",
        "  spaces before and after  ",
        " ",
        "a,b",
        "a, b ,c",
        "\"quoted\" and 'single'",
        "\"",
        "key=value",
        "=",
        "@",
        "@at start",
        "@@two",
        R"(@Variant(\0\0\0\x7f))",
        "@ByteArray(abc)",
        "@Invalid()",
        "#not a comment",
        ";not a comment either",
        R"(C:\Windows\path\)",
        R"(\\server\share)",
        "[V0.2]",
        "Grüße, Ærøskøbing, Ελληνικά, 日本語, 😀",
        "tab\there",
        "\ttabs at both ends\t",
        "12345",
        "true",
        "/" + std::string(3999, 'x'),
    };
    const fs::path file = Path("odd.ini");
    IniSettingsStore store(file.string());
    for (std::size_t i = 0; i < values.size(); ++i) {
        store.Save(kApp, "V0.2", {{"Key" + std::to_string(i), values[i]}});
    }
    IniSettingsStore reread = Reopened(file);
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(Stored(reread, kApp, "V0.2", "Key" + std::to_string(i), "DEFAULT"), values[i])
            << "value " << i;
    }
}

TEST_F(IniSettingsStoreTest, KeysAndSectionsKeepTheirCase) {
    const fs::path file = Path("case.ini");
    IniSettingsStore store(file.string());
    store.Save(kApp, "V0.2", {{"InputFile", "upper"}});
    store.Save(kApp, "V0.2", {{"inputfile", "lower"}});
    store.Save(kApp, "v0.2", {{"InputFile", "small section"}});

    IniSettingsStore reread = Reopened(file);
    EXPECT_EQ(Stored(reread, kApp, "V0.2", "InputFile", "-"), "upper");
    EXPECT_EQ(Stored(reread, kApp, "V0.2", "inputfile", "-"), "lower");
    EXPECT_EQ(Stored(reread, kApp, "v0.2", "InputFile", "-"), "small section");
    EXPECT_EQ(Stored(reread, kApp, "V0.2", "INPUTFILE", "-"), "-");
}

TEST_F(IniSettingsStoreTest, DefaultOnlyForAnAbsentKey) {
    const fs::path file = Path("absent.ini");
    IniSettingsStore store(file.string());
    EXPECT_EQ(Stored(store, kApp, "V0.2", "InputFile", "first start"), "first start");

    store.Save(kApp, "V0.2", {{"InputFile", ""}});
    store.Save(kApp, "V0.3", {{"InputFileStart", "9"}});
    // Same store and a fresh read of the file must agree.
    IniSettingsStore reread = Reopened(file);
    for (IniSettingsStore* s : {&store, &reread}) {
        EXPECT_EQ(Stored(*s, kApp, "V0.2", "InputFile", "1"), "");
        EXPECT_EQ(Stored(*s, kApp, "V0.2", "InputFileStart", "1"), "1");
        EXPECT_EQ(Stored(*s, kApp, "V0.3", "InputFileStart", "1"), "9");
        EXPECT_EQ(Stored(*s, kApp, "V0.4", "InputFileStart", "1"), "1");
    }
}

TEST_F(IniSettingsStoreTest, PerUserFileIsUnderXdgConfigHomeOnePerApplication) {
    const fs::path config = Path("config");
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    IniSettingsStore store;
    const fs::path expected = config / kApp / (std::string(kApp) + ".ini");
    EXPECT_EQ(store.FileFor(kApp), expected.string());

    store.Save(kApp, "V0.2", {{"InputFile", "/in.bin"}});
    store.Save("Other", "V0.2", {{"InputFile", "other's"}});

    EXPECT_EQ(Read(expected), "[V0.2]\nInputFile=/in.bin\n");
    EXPECT_TRUE(fs::exists(config / "Other" / "Other.ini"));
    EXPECT_EQ(Stored(IniSettingsStore(), kApp, "V0.2", "InputFile", "-"), "/in.bin");
    EXPECT_EQ(Stored(IniSettingsStore(), "Third", "V0.2", "InputFile", "-"), "-");
}

TEST_F(IniSettingsStoreTest, PerUserFileFallsBackToDotConfigInHome) {
    ::setenv("HOME", folder_.c_str(), 1);
    for (const char* xdg : {"", "relative/config"}) {
        ::setenv("XDG_CONFIG_HOME", xdg, 1);
        EXPECT_EQ(IniSettingsStore().FileFor("A"), (folder_ / ".config/A/A.ini").string()) << xdg;
    }
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(IniSettingsStore().FileFor("A"), (folder_ / ".config/A/A.ini").string());
}

// Whatever is in the file, reading never crashes and gives the default for
// anything that cannot be made out, and a save still lands and reads back
// (in the same process, after the read, as the program does it).
TEST_F(IniSettingsStoreTest, BadFilesGiveDefaultsAndStillTakeSaves) {
    std::vector<std::string> contents = {
        "",
        std::string(4096, '\0'),
        "garbage line without equals\n[broken\n=\n",
        "[V0.2]\nInputFile=@Variant(\\0\\0\\0\\x7f\\xff\\xff\\xff\\xff)\n",
        "[V0.2]\nInputFile=@Point(1 2)\n",
        "[V0.2]\nInputFile=@Rect(1 2 3 4)\n",
        "[V0.2]\nInputFile\0=x\n\xff\xfe[\n=\n"s,
    };
    std::mt19937 random(20240611);
    for (int size : {1, 17, 512, 65536}) {
        std::string bytes(size, '\0');
        for (char& byte : bytes) {
            byte = static_cast<char>(random() & 0xff);
        }
        contents.push_back(bytes);
    }

    for (std::size_t i = 0; i < contents.size(); ++i) {
        SCOPED_TRACE("content " + std::to_string(i));
        const fs::path file = Path("bad" + std::to_string(i) + ".ini");
        Write(file, contents[i]);
        IniSettingsStore store(file.string());
        EXPECT_EQ(Stored(store, kApp, "V0.2", "InputFile", "default"), "default");

        ASSERT_NO_THROW(store.Save(kApp, "V0.2", {{"InputFile", "saved"}}));
        ASSERT_NO_THROW(store.Save(kApp, "V0.2", {{"OutputFile", "too"}}));
        IniSettingsStore reread = Reopened(file);
        EXPECT_EQ(Stored(reread, kApp, "V0.2", "InputFile", "default"), "saved");
        EXPECT_EQ(Stored(reread, kApp, "V0.2", "OutputFile", "default"), "too");
    }
}

// A stray line, from a hand edit say, costs only itself.
TEST_F(IniSettingsStoreTest, GoodEntriesSurviveBadLinesAroundThem) {
    const fs::path file = Path("damaged.ini");
    Write(file, "[V0.2]\nInputFile=kept\ngarbage line\n\xff\0junk\n[broken\n"
                "[V0.2]\nOutputFile=also kept\n"s);
    IniSettingsStore store(file.string());
    EXPECT_EQ(Stored(store, kApp, "V0.2", "InputFile", "-"), "kept");
    EXPECT_EQ(Stored(store, kApp, "V0.2", "OutputFile", "-"), "also kept");
    EXPECT_EQ(Stored(store, kApp, "V0.2", "InputFileStart", "1"), "1");

    store.Save(kApp, "V0.2", {{"InputFileStart", "5"}});
    IniSettingsStore reread = Reopened(file);
    EXPECT_EQ(Stored(reread, kApp, "V0.2", "InputFile", "-"), "kept");
    EXPECT_EQ(Stored(reread, kApp, "V0.2", "InputFileStart", "1"), "5");
}

TEST_F(IniSettingsStoreTest, BareCommasWrittenByHandReadAsOneText) {
    const fs::path file = Path("hand.ini");
    Write(file, "[V0.2]\nInputFile=a,b , c\n");
    EXPECT_EQ(Stored(IniSettingsStore(file.string()), kApp, "V0.2", "InputFile", "-"), "a, b, c");
}

TEST_F(IniSettingsStoreTest, SaveFailsWhenTheConfigFolderCannotBeMade) {
    const fs::path notAFolder = Path("plain-file");
    Write(notAFolder, "x");
    ::setenv("XDG_CONFIG_HOME", notAFolder.c_str(), 1);
    IniSettingsStore perUser;
    ExpectSettingsError(
        [&] {
            perUser.Save(kApp, "V0.2", {{"InputFile", "x"}});
        },
        perUser.FileFor(kApp));
    EXPECT_EQ(Stored(perUser, kApp, "V0.2", "InputFile", "default"), "default");
    EXPECT_EQ(Read(notAFolder), "x");

    const fs::path below = notAFolder / "deeper" / "s.ini";
    IniSettingsStore explicitPath(below.string());
    ExpectSettingsError([&] { explicitPath.Save(kApp, "V0.2", {{"InputFile", "x"}}); }, below);
}

TEST_F(IniSettingsStoreTest, SaveFailsWhenAFolderStandsWhereTheFileGoes) {
    const fs::path file = Path("folder.ini");
    fs::create_directory(file);
    IniSettingsStore store(file.string());
    EXPECT_EQ(Stored(store, kApp, "V0.2", "InputFile", "default"), "default");
    ExpectSettingsError([&] { store.Save(kApp, "V0.2", {{"InputFile", "x"}}); }, file);
    EXPECT_TRUE(fs::is_directory(file));
}

TEST_F(IniSettingsStoreTest, SaveGivesUpOnALockThatNeverComesFree) {
    const fs::path file = Path("locked.ini");
    const fs::path lock = Path("locked.ini.lock");
    IniSettingsStore store(file.string(), std::chrono::milliseconds(300));
    // A folder can never be taken or removed; a lock file whose flock a
    // live writer holds is waited for, however old it is.
    fs::create_directory(lock);
    ExpectSettingsError([&] { store.Save(kApp, "V0.2", {{"InputFile", "x"}}); }, file);
    fs::remove(lock);
    Write(lock, "");
    fs::last_write_time(lock, fs::file_time_type::clock::now() - std::chrono::seconds(10));
    const int holder = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);

    const auto start = std::chrono::steady_clock::now();
    ExpectSettingsError([&] { store.Save(kApp, "V0.2", {{"InputFile", "x"}}); }, file);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(fs::exists(lock));
    ::close(holder);
}

TEST_F(IniSettingsStoreTest, SaveReplacesTheFileByRenameAndLeavesNothingElse) {
    const fs::path file = Path("atomic.ini");
    IniSettingsStore store(file.string());
    store.Save(kApp, "V0.2", {{"InputFile", "one"}});
    const ino_t first = Inode(file);
    store.Save(kApp, "V0.2", {{"InputFile", "two"}});

    EXPECT_NE(Inode(file), first);
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_)) {
        names.insert(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::set<std::string>{"atomic.ini"});
}

// Two writers saving two keys at once, killed at random moments mid-save,
// must leave a file that holds one whole save: never one writer's input
// with the other's output.
TEST_F(IniSettingsStoreTest, AKilledSaveLeavesTheOldOrTheNewFileWhole) {
    const fs::path file = Path("killed.ini");
    const std::string a(100000, 'a');
    const std::string b(100000, 'b');
    const auto both = [](const std::string& text) {
        return SettingsEntries{{"InputFile", text}, {"OutputFile", text}};
    };
    IniSettingsStore(file.string()).Save(kApp, "V0.2", both(a));

    int changes = 0;
    int heldLocks = 0;
    std::string previous = a;
    for (int round = 0; round < 40 && changes < 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<pid_t> writers;
        for (int w = 0; w < 2; ++w) {
            writers.push_back(::fork());
            ASSERT_GE(writers.back(), 0);
            if (writers.back() == 0) {
                IniSettingsStore writer(file.string());
                for (int i = w;; ++i) {
                    writer.Save(kApp, "V0.2", both(i % 2 ? a : b));
                }
            }
        }
        ::usleep(5000 + 15000 * (round % 16)); // mid-first-save to several saves in
        for (const pid_t writer : writers) {
            ::kill(writer, SIGKILL);
            ::waitpid(writer, nullptr, 0);
        }
        // A release that saved through QSettings waits on the lock with
        // QLockFile, which must see at once that the killed holder is gone.
        QLockFile older(QString::fromStdString(file.string() + ".lock"));
        qint64 holder = 0;
        const bool held = older.getLockInfo(&holder, nullptr, nullptr);
        EXPECT_TRUE(!held || ((holder == writers[0] || holder == writers[1]) && older.tryLock(0)));
        heldLocks += held;
        // A writer killed holding the lock leaves its file, which would hold
        // up the next round's saves until it is old enough to clear.
        fs::remove(file.string() + ".lock");

        IniSettingsStore reread = Reopened(file);
        const std::string value = Stored(reread, kApp, "V0.2", "InputFile", "missing");
        EXPECT_TRUE(value == a || value == b) << "got " << value.size() << " characters";
        EXPECT_EQ(Stored(reread, kApp, "V0.2", "OutputFile", "missing"), value)
            << "two saves mixed";
        changes += value != previous;
        previous = value;
    }
    EXPECT_GT(changes, 0) << "no writer finished a save: nothing was tested";
    EXPECT_GT(heldLocks, 0) << "no writer was stopped holding the lock";
}

// A writer killed right after creating its lock file leaves it empty, with
// no process id in it to show the writer is gone; only its age does.
TEST_F(IniSettingsStoreTest, AnOldEmptyLockFileDoesNotBlockSaving) {
    const fs::path file = Path("stale.ini");
    const fs::path lock = Path("stale.ini.lock");
    Write(lock, "");
    fs::last_write_time(lock, fs::file_time_type::clock::now() - std::chrono::seconds(10));
    IniSettingsStore store(file.string());

    const auto start = std::chrono::steady_clock::now();
    ASSERT_NO_THROW(store.Save(kApp, "V0.2", {{"InputFile", "saved"}}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(Stored(Reopened(file), kApp, "V0.2", "InputFile", "-"), "saved");
    EXPECT_FALSE(fs::exists(lock));
}

} // namespace
} // namespace tavmar::store
