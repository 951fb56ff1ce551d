// SPDX-License-Identifier: GPL-3.0-or-later
// Many random operations through the real copy actions and the real file
// table on real files, each checked against CopyModel: the whole output
// file, the message shown, the window state and the open descriptors. Files
// have holes at times; the run is repeated on tmpfs and XFS (as root).
//
// TAVMAR_MODEL_SEED picks the sequence (default below), and
// TAVMAR_MODEL_OPERATIONS how many operations run. Operations share the
// files and the window, so a failure at index i is reproduced with the same
// seed and at least i + 1 operations.

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>

#include "CopyModel.h"
#include "FieldText.h"
#include "copy/CopyOperation.h"
#include "fakes/FakeWindow.h"
#include "fakes/TempFolder.h"
#include "fakes/TestFiles.h"
#include "runtime/PosixFileTable.h"

namespace {

namespace fs = std::filesystem;
namespace control = tavmar::runtime::control;
using tavmar::model::Bytes;
using tavmar::model::Chance;
using tavmar::model::Draw;
using tavmar::model::kModelBlock;
using tavmar::model::ModelCase;
using tavmar::model::ModelIcon;
using tavmar::model::ModelOutcome;
using tavmar::model::OutputKind;
using tavmar::runtime::MessageIcon;
using tavmar::testfiles::OpenDescriptors;
using tavmar::testfiles::ReadFile;
using tavmar::testfiles::TempFolder;
using tavmar::testfiles::WriteFile;

constexpr std::uint64_t kDefaultSeed = 20240611;
constexpr int kDefaultOperations = 400;
constexpr std::int64_t kMin32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kMax32 = std::numeric_limits<std::int32_t>::max();

std::uint64_t SeedFromEnvironment() {
    const char* text = std::getenv("TAVMAR_MODEL_SEED");
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : kDefaultSeed;
}

int OperationsFromEnvironment() {
    const char* text = std::getenv("TAVMAR_MODEL_OPERATIONS");
    return text != nullptr && *text != '\0' ? std::atoi(text) : kDefaultOperations;
}

Bytes RandomBytes(std::int64_t size, std::mt19937_64& rng) {
    Bytes bytes(static_cast<std::size_t>(size));
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::uint64_t word = rng();
        for (int k = 0; k < 8 && i < bytes.size(); ++k, word >>= 8) {
            bytes[i++] = static_cast<std::uint8_t>(word);
        }
    }
    return bytes;
}

/// Zeroes a few stretches of `bytes` half the time, small ones and ones
/// up to the end, so that written with holes they leave holes anywhere.
void ZeroStretches(Bytes& bytes, std::mt19937_64& rng) {
    const auto size = static_cast<std::int64_t>(bytes.size());
    for (std::int64_t n = Chance(rng, 0.5) ? Draw(rng, 1, 4) : 0; n > 0 && size > 0; --n) {
        const std::int64_t first = Draw(rng, 0, size - 1);
        const std::int64_t last = Chance(rng, 0.5) ? Draw(rng, first, size) : size;
        std::fill(bytes.begin() + first, bytes.begin() + last, 0);
    }
}

/// The whole content of a regular file, or nothing when there is none.
std::optional<Bytes> ReadWhole(const fs::path& path) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) {
        return std::nullopt;
    }
    return ReadFile(path.string());
}

/// Empty when equal, otherwise where and how they first differ.
std::string Difference(const Bytes& got, const Bytes& expected) {
    std::ostringstream text;
    if (got.size() != expected.size()) {
        text << "length " << got.size() << ", expected " << expected.size() << "; ";
    }
    const std::size_t common = std::min(got.size(), expected.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (got[i] != expected[i]) {
            std::size_t count = 0;
            for (std::size_t j = i; j < common; ++j) {
                count += got[j] != expected[j] ? 1 : 0;
            }
            text << count << " differing bytes, first at position " << i + 1 << ": got "
                 << int{got[i]} << ", expected " << int{expected[i]};
            return text.str();
        }
    }
    return text.str();
}

std::int32_t Clamp32(std::int64_t value) {
    return static_cast<std::int32_t>(std::clamp(value, kMin32, kMax32));
}

/// Input lengths: mostly small, favouring 0, 1 and block edges; a few span
/// several blocks.
std::int64_t DrawLength(std::mt19937_64& rng, double multiBlockChance) {
    if (Chance(rng, multiBlockChance)) {
        return Draw(rng, 1, 3) * kModelBlock + Draw(rng, -1, 1);
    }
    switch (Draw(rng, 0, 9)) {
    case 0:
        return 0;
    case 1:
        return 1;
    case 2:
        return Draw(rng, 2, 16);
    case 3:
    case 4:
    case 5:
    case 6:
        return Draw(rng, 17, 600);
    default:
        return Draw(rng, 601, 70'000);
    }
}

std::int32_t DrawStart(std::mt19937_64& rng, std::int64_t L) {
    switch (Draw(rng, 0, 19)) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
        return 1;
    case 5:
        return 2;
    case 6:
    case 7:
    case 8:
    case 9:
        return Clamp32(Draw(rng, 1, std::max<std::int64_t>(1, L)));
    case 10:
        return Clamp32(std::max<std::int64_t>(1, L));
    case 11:
        return Clamp32(L + Draw(rng, 1, 50));
    case 12:
        return 0;
    case 13:
        return Clamp32(-Draw(rng, 1, 20));
    case 14:
        return Chance(rng, 0.5) ? Clamp32(kMin32) : Clamp32(kMax32 - Draw(rng, 0, 3));
    case 15: // near a block edge of the input
        return Clamp32(std::max<std::int64_t>(1, Draw(rng, 1, 3) * kModelBlock + Draw(rng, -1, 1)));
    case 16: // the last few bytes
        return Clamp32(std::max<std::int64_t>(1, L - Draw(rng, 0, 10)));
    default:
        return Clamp32(Draw(rng, 1, 40));
    }
}

std::int32_t DrawStop(std::mt19937_64& rng, std::int64_t S, std::int64_t L) {
    switch (Draw(rng, 0, 19)) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
        return 0;
    case 6:
    case 7:
        return Clamp32(S + Draw(rng, 0, 40));
    case 8:
        return Clamp32(L);
    case 9:
        return Clamp32(L - 1);
    case 10: // past the input's end
        return Clamp32(L + Draw(rng, 1, Chance(rng, 0.8) ? 100 : 2 * kModelBlock));
    case 11:
    case 12:
        return Clamp32(Draw(rng, S, std::max(S, L)));
    case 13: // backwards
        return Clamp32(S - Draw(rng, 1, 30));
    case 14:
        return Clamp32(kMax32);
    case 15:
        return Clamp32(-Draw(rng, 1, 5));
    case 16: // within the input's last block
        return Clamp32(Draw(rng, std::max<std::int64_t>(1, (L - 1) / kModelBlock * kModelBlock + 1),
                            std::max<std::int64_t>(1, L)));
    case 17: // a range of exactly k blocks, or one byte either side
        return Clamp32(S + Draw(rng, 1, 3) * kModelBlock - 1 + Draw(rng, -1, 1));
    default:
        return Clamp32(S);
    }
}

std::int32_t DrawOutputStart(std::mt19937_64& rng, std::int64_t outputLength) {
    switch (Draw(rng, 0, 19)) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
        return 1;
    case 7:
    case 8:
    case 9:
        return Clamp32(Draw(rng, 1, outputLength + 1));
    case 10:
        return Clamp32(std::max<std::int64_t>(1, outputLength));
    case 11:
        return Clamp32(outputLength + 1);
    case 12:
    case 13: // past the end: a zero-filled gap
        return Clamp32(outputLength + Draw(rng, 2, Chance(rng, 0.9) ? 70'000 : kModelBlock + 5));
    case 14:
        return 0;
    case 15:
        return Clamp32(-Draw(rng, 1, 20));
    case 16:
        return Clamp32(kMin32);
    default:
        return Clamp32(Draw(rng, 1, 300));
    }
}

std::string Quoted(const std::string& text) {
    std::ostringstream out;
    out << '"';
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            out << c;
        } else {
            out << "\\x" << std::hex << int{c} << std::dec;
        }
    }
    out << '"';
    return out.str();
}

const char* KindName(OutputKind kind) {
    switch (kind) {
    case OutputKind::Missing:
        return "missing";
    case OutputKind::Existing:
        return "existing";
    case OutputKind::SameAsInput:
        return "same as input";
    case OutputKind::MissingFolder:
        return "in a missing folder";
    case OutputKind::Directory:
        return "a directory";
    }
    return "?";
}

// Where the files are: the temp folder, "/dev/shm" or "xfs" on a loop image.
class RandomCopyTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (GetParam() == "xfs") {
            loop_.emplace(scratch_, "defaults", false, true);
        }
        const std::string base = loop_ ? scratch_.Path("mnt") : GetParam();
        if ((loop_ && loop_->device.empty()) ||
            (!base.empty() && ::access(base.c_str(), W_OK) != 0)) {
            GTEST_SKIP() << "needs " << GetParam() << " (xfs: root, xfsprogs, a free loop device)";
        }
        folder_.emplace(base, "tavmar-model");
        inputPath_ = folder_->Path("in put.bin");
        outputPath_ = folder_->Path("out-\xc3\xbc.bin");
        directoryPath_ = folder_->Path("a folder");
        missingFolderPath_ = folder_->Root() / "no such folder" / "out.bin";
        fs::create_directory(directoryPath_);
    }

    // In this order: the folder goes before the loop image is unmounted.
    TempFolder scratch_{{}, "tavmar-model-fs"};
    std::optional<tavmar::testfiles::LoopImage> loop_;
    std::optional<TempFolder> folder_;
    fs::path inputPath_, outputPath_, directoryPath_, missingFolderPath_;
};

INSTANTIATE_TEST_SUITE_P(FileSystems, RandomCopyTest, ::testing::Values("", "/dev/shm", "xfs"));

TEST_P(RandomCopyTest, RealFilesAgreeWithTheModel) {
    const std::uint64_t seed = SeedFromEnvironment();
    const int operations = OperationsFromEnvironment();
    std::cout << "TAVMAR_MODEL_SEED=" << seed << " TAVMAR_MODEL_OPERATIONS=" << operations
              << std::endl;
    RecordProperty("seed", std::to_string(seed));
    std::mt19937_64 rng(seed);

    tavmar::runtime::PosixFileTable files;
    tavmar::fakes::FakeControls controls;
    tavmar::fakes::FakeMessageBox messages;
    tavmar::copy::CopyOperation op(files, controls, messages);

    std::optional<Bytes> input;  // the input file's content, when there is one
    std::optional<Bytes> output; // the output file's content, when there is one
    std::map<std::string, int> outcomes;
    int multiBlock = 0;
    const auto began = std::chrono::steady_clock::now();

    for (int index = 0; index < operations && !HasFailure(); ++index) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", operation " + std::to_string(index));
        ModelCase c;
        std::string inputText = inputPath_.string();
        std::string outputText = outputPath_.string();

        // The input: missing, a folder, kept from before, or new content.
        const std::int64_t inputDraw = Draw(rng, 0, 99);
        if (inputDraw < 4) {
            fs::remove(inputPath_);
            input.reset();
            c.inputExists = false;
        } else if (inputDraw < 6) {
            inputText = directoryPath_.string();
            c.inputExists = false;
        } else {
            if (!input || inputDraw >= 55) {
                input = RandomBytes(DrawLength(rng, 0.06), rng);
                ZeroStretches(*input, rng);
                WriteFile(inputPath_.string(), *input, Chance(rng, 0.5));
            }
            c.input = *input;
        }
        const std::int64_t L = c.inputExists ? static_cast<std::int64_t>(c.input.size()) : 0;

        // The output: fresh, kept from before, new content, or unopenable.
        const std::int64_t outputDraw = Draw(rng, 0, 99);
        if (outputDraw < 32 || (outputDraw < 60 && !output)) {
            fs::remove(outputPath_);
            output.reset();
            c.outputKind = OutputKind::Missing;
        } else if (outputDraw < 60) {
            c.outputKind = OutputKind::Existing;
        } else if (outputDraw < 94) {
            output = RandomBytes(DrawLength(rng, 0.01), rng);
            ZeroStretches(*output, rng);
            WriteFile(outputPath_.string(), *output, Chance(rng, 0.5));
            c.outputKind = OutputKind::Existing;
        } else if (outputDraw < 96) {
            outputText = inputText;
            c.outputKind = OutputKind::SameAsInput;
        } else if (outputDraw < 98) {
            outputText = missingFolderPath_.string();
            c.outputKind = OutputKind::MissingFolder;
        } else {
            outputText = directoryPath_.string();
            c.outputKind = OutputKind::Directory;
        }
        if (c.outputKind == OutputKind::Existing) {
            c.output = *output;
        }

        // The three position fields, sometimes not numbers at all.
        const std::int32_t S = DrawStart(rng, L);
        const std::int32_t E = DrawStop(rng, S, L);
        const std::int32_t O = DrawOutputStart(rng, static_cast<std::int64_t>(c.output.size()));
        std::string texts[3];
        const std::int32_t values[3] = {S, E, O};
        std::optional<std::int32_t>* fields[3] = {&c.start, &c.stop, &c.outputStart};
        for (int k = 0; k < 3; ++k) {
            if (Chance(rng, 0.03)) {
                texts[k] = tavmar::model::NotANumber(rng);
            } else {
                texts[k] = tavmar::model::TextFor(values[k], rng);
                *fields[k] = values[k];
            }
        }
        c.abortAfter = !Chance(rng, 0.2)  ? -1
                       : Chance(rng, 0.5) ? 0
                                          : static_cast<int>(Draw(rng, 1, 3));

        SCOPED_TRACE("input " + (c.inputExists ? std::to_string(L) + " bytes" : "unopenable") +
                     ", output " + KindName(c.outputKind) + " (" + std::to_string(c.output.size()) +
                     " bytes), start " + Quoted(texts[0]) + ", stop " + Quoted(texts[1]) +
                     ", output start " + Quoted(texts[2]) + ", abort after " +
                     std::to_string(c.abortAfter) + " ticks");
        const ModelOutcome expected = tavmar::model::Predict(c);

        // Run it the way the window would: a tick while the timer is
        // enabled, Abort while Abort is enabled and the time has come.
        controls.SetText(control::kInputFile, inputText);
        controls.SetText(control::kInputFileStart, texts[0]);
        controls.SetText(control::kInputFileStop, texts[1]);
        controls.SetText(control::kOutputFile, outputText);
        controls.SetText(control::kOutputFileStart, texts[2]);
        messages.shown.clear();
        const int descriptorsBefore = OpenDescriptors();

        op.StartOperation();
        int ticks = 0;
        bool abortedNow = false;
        while (controls.IsEnabled(control::kOperateTimer)) {
            if (c.abortAfter >= 0 && ticks == c.abortAfter) {
                EXPECT_TRUE(controls.IsEnabled(control::kAbort));
                op.AbortOperation();
                abortedNow = true;
                break;
            }
            if (ticks == 10) {
                ADD_FAILURE() << "still running after " << ticks << " ticks";
                op.AbortOperation();
                break;
            }
            op.OperateTick();
            ++ticks;
        }
        // A tick already queued when the operation ended must do nothing.
        op.OperateTick();

        // The window is idle and nothing is left open.
        EXPECT_TRUE(controls.IsEnabled(control::kStart));
        EXPECT_TRUE(controls.IsEnabled(control::kExit));
        EXPECT_FALSE(controls.IsEnabled(control::kAbort));
        EXPECT_FALSE(controls.IsEnabled(control::kOperateTimer));
        EXPECT_EQ(controls.Interval(control::kOperateTimer), 0);
        EXPECT_FALSE(op.State().Operating);
        EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
        EXPECT_EQ(files.NextFreeNumber(), 1);

        EXPECT_EQ(ticks, expected.ticks);
        EXPECT_EQ(abortedNow, expected.aborted);
        if (expected.message.empty()) {
            EXPECT_TRUE(messages.shown.empty())
                // cppcheck-suppress containerOutOfBounds ; streamed only when not empty
                << "unexpected message: " << messages.shown.front().text;
        } else if (messages.shown.size() != 1) {
            ADD_FAILURE() << messages.shown.size()
                          << " messages, expected one: " << expected.message;
        } else {
            const auto& shown = messages.shown.front();
            EXPECT_EQ(shown.text, expected.message);
            const bool error = expected.icon == ModelIcon::Error;
            EXPECT_EQ(shown.icon, error ? MessageIcon::Exclamation : MessageIcon::Information);
            const std::string suffix = error ? " - Error" : " - Information";
            EXPECT_TRUE(shown.caption.size() > suffix.size() && shown.caption.ends_with(suffix))
                << "caption " << shown.caption;
        }

        // The input is never touched.
        if (input) {
            const auto inputNow = ReadWhole(inputPath_);
            ASSERT_TRUE(inputNow.has_value()) << "input file is gone";
            EXPECT_EQ(Difference(*inputNow, *input), "") << "input file changed";
        } else {
            EXPECT_FALSE(fs::exists(inputPath_)) << "missing input was created";
        }
        // The output: the whole file as the model has it, or untouched.
        const auto outputNow = ReadWhole(outputPath_);
        if (expected.outputOpened) {
            ASSERT_TRUE(outputNow.has_value()) << "output file does not exist";
            EXPECT_EQ(Difference(*outputNow, expected.output), "") << "output file content";
        } else if (output) {
            ASSERT_TRUE(outputNow.has_value()) << "output file is gone";
            EXPECT_EQ(Difference(*outputNow, *output), "") << "refused operation changed output";
        } else {
            EXPECT_FALSE(outputNow.has_value()) << "refused operation created the output";
        }
        EXPECT_FALSE(fs::exists(missingFolderPath_.parent_path()));
        EXPECT_TRUE(fs::is_directory(directoryPath_));
        EXPECT_TRUE(fs::is_empty(directoryPath_));
        output = outputNow;

        ++outcomes[expected.aborted ? "(aborted)" : expected.message];
        multiBlock += L > kModelBlock ? 1 : 0;
    }

    const auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::cout << operations << " operations in " << seconds << " s, " << multiBlock
              << " on inputs over one block:\n";
    for (const auto& [outcome, count] : outcomes) {
        std::cout << "  " << count << "  " << outcome << '\n';
    }
    std::cout << std::flush;
}

} // namespace
