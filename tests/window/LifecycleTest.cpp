// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <csignal>

#include "WindowFixture.h"
#include "copy/OperationState.h"
#include "runtime/Failure.h"
#include "window/CloseRequests.h"

namespace tavmar::window::test {
namespace {

using Lifecycle = WindowFixture;

TEST_F(Lifecycle, LoadsTheRememberedFields) {
    store.values[{"Tavmar Velmora", "V0.2", "OutputFileStart"}] = "77";
    frmMain other(files, store);
    EXPECT_EQ(other.findChild<QLineEdit*>("txtOutputFileStart")->text(), "77");
}

TEST_F(Lifecycle, ClosingMidOperationKeepsTheWrittenBlocksSilently) {
    PrepareCopy(copy::kBlockSize + 100);
    Button(control::kStart)->click();
    Tick();
    ASSERT_TRUE(window->Operation().Operating);
    Field(control::kOutputFileStart)->setText("as shown");
    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(boxes.seen.empty());
    EXPECT_FALSE(window->Operation().Operating);
    EXPECT_EQ(files.OpenCount(), 0);
    const auto& out = files.files["out.bin"];
    ASSERT_EQ(out.size(), std::size_t{copy::kBlockSize});
    EXPECT_TRUE(std::equal(out.begin(), out.end(), files.files["in.bin"].begin()));
    EXPECT_EQ(Saved("OutputFileStart"), "as shown");
}

TEST_F(Lifecycle, ARefusedStartWarnsAndClosingThenSavesTheFieldsAsTyped) {
    Field(control::kInputFileStop)->setText("not a number");
    QTest::keyClick(Field(control::kInputFileStop), Qt::Key_Return);
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].caption, "Tavmar Velmora 0.2.0 - Error");
    EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Warning);
    const QString cause = R"(Last byte to copy: "not a number" is not a whole number from )";
    EXPECT_EQ(boxes.seen[0].description, cause + "-2147483648 to 2147483647");
    EXPECT_EQ(QString(boxes.seen[0].informative).remove(QChar(0x200B)).remove(QChar(0x200E)),
              boxes.seen[0].description); // marks to keep it left to right and wrap it
    EXPECT_EQ(States(), "on off on off");
    EXPECT_EQ(States(), "on off on off");
    window->reject(); // the dialog's own way out is a close too
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(Saved("InputFileStop"), "not a number");
}

TEST_F(Lifecycle, TheUnloadRunsOnceAndASaveFailureDoesNotStopIt) {
    store.failSaves = true;
    testing::internal::CaptureStderr();
    Button(control::kExit)->click();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tavmar-velmora: could not save settings: " +
                  runtime::Failure(runtime::FailureCode::SettingsError).Description() + "\n");
    EXPECT_FALSE(window->isVisible());
    store.failSaves = false;
    window->show();
    window->close();
    EXPECT_EQ(Saved("InputFile"), "<absent>");
}

TEST_F(Lifecycle, NothingOpensAFileOnceTheWindowIsClosing) {
    PrepareCopy(10);
    window->close();
    Button(control::kStart)->click();
    EXPECT_EQ(files.OpenCount(), 0);
    EXPECT_FALSE(files.files.contains("out.bin"));
}

// Whole percents rounded down, never 100; the program's title before any box.
TEST_F(Lifecycle, TheTitleShowsTheShareCopiedUntilEachEnd) {
    const std::string idle = "Tavmar Velmora 0.2.0";
    const auto title = [this] { return window->windowTitle().toStdString(); };
    boxes.onBox = [&] { EXPECT_EQ(title(), idle); };
    const auto copyABlock = [&](const std::string& share) {
        Button(control::kStart)->click();
        EXPECT_EQ(title(), "0 % – " + idle);
        Tick();
        EXPECT_EQ(title(), share + " – " + idle);
    };
    PrepareCopy(copy::kBlockSize * 2 + 10);
    copyABlock("49 %");
    Button(control::kAbort)->click();
    EXPECT_EQ(title(), idle);
    Field(control::kInputFileStop)->setText(QString::number(copy::kBlockSize));
    copyABlock("99 %");
    Tick(); // complete
    EXPECT_EQ(title(), idle);
    copyABlock("99 %");
    files.files.erase("out.bin"); // the flush at the end finds no output: an error
    Tick();
    EXPECT_EQ(title(), idle);
    EXPECT_EQ(boxes.seen.size(), 2u);
    copyABlock("99 %");
    window->close();
    EXPECT_EQ(title(), idle);
}

class CloseSignal : public WindowFixture, public testing::WithParamInterface<int> {};

TEST_P(CloseSignal, DuringAnOperationClosesThroughTheUnload) {
    CloseRequests requests(*window);
    PrepareCopy(10);
    Button(control::kStart)->click();
    Field(control::kInputFileStart)->setText("2");
    ASSERT_EQ(std::raise(GetParam()), 0);
    ASSERT_TRUE(WaitClosed());
    EXPECT_TRUE(boxes.seen.empty());
    EXPECT_EQ(files.OpenCount(), 0);
    EXPECT_EQ(Saved("InputFileStart"), "2");
}

INSTANTIATE_TEST_SUITE_P(TermIntHup, CloseSignal, testing::Values(SIGTERM, SIGINT, SIGHUP));

// Closing files fails from here on; every box raises SIGTERM and stays open.
class SignalDuringABox : public WindowFixture {
  protected:
    SignalDuringABox() {
        PrepareCopy(10);
        Button(control::kStart)->click();
        files.beforeEach = [](std::string_view op, runtime::FileNumber, std::int32_t) {
            if (op == "Close") {
                throw runtime::Failure(runtime::FailureCode::DeviceError);
            }
        };
        boxes.answer = false;
        boxes.onBox = [] { std::raise(SIGTERM); };
    }
    CloseRequests requests{*window};
};

// The unload's own teardown box is shown, and a signal does not wait for it.
TEST_F(SignalDuringABox, ClosesTheUnloadsFailureBox) {
    window->close();
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_TRUE(boxes.seen[0].text.startsWith("Error #57 "));
    EXPECT_EQ(boxes.forced, 0);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(Saved("InputFile"), "in.bin");
}

// A failed teardown at the end of a copy shows its box and no "Operation
// complete"; the signal closes that box and then the window.
TEST_F(SignalDuringABox, ClosesABoxAndNoOtherFollows) {
    Tick();
    EXPECT_EQ(boxes.forced, 0);
    EXPECT_EQ(boxes.seen.size(), 1u);
    EXPECT_TRUE(WaitClosed());
    EXPECT_EQ(files.OpenCount(), 0);
}

} // namespace
} // namespace tavmar::window::test
