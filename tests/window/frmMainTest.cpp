// SPDX-License-Identifier: GPL-3.0-or-later
#include <limits>
#include <utility>

#include <QAccessible>
#include <QApplication>
#include <QGroupBox>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionGroupBox>

#include "WindowFixture.h"

namespace tavmar::window::test {
namespace {

using Layout = WindowFixture;

TEST_F(Layout, ControlsSitAtTheirTwipsPositionsWhateverTheWindowSize) {
    struct Place {
        const char* name;
        const char* parent;
        int left, top, width, height;
    };
    const std::initializer_list<Place> places{
        {"fraInputFile", "frmMain", 120, 0, 4455, 975},
        {"txtInputFile", "fraInputFile", 120, 240, 4215, 285},
        {"txtInputFileStart", "fraInputFile", 120, 600, 1215, 285},
        {"txtInputFileStop", "fraInputFile", 3000, 600, 1335, 285},
        {"fraOutputFile", "frmMain", 120, 1080, 4455, 975},
        {"txtOutputFile", "fraOutputFile", 120, 240, 4215, 285},
        {"txtOutputFileStart", "fraOutputFile", 120, 600, 1215, 285},
        {"cmdStart", "frmMain", 120, 2160, 1335, 375},
        {"cmdAbort", "frmMain", 1560, 2160, 1455, 375},
        {"cmdExit", "frmMain", 3120, 2160, 1455, 375}};
    EXPECT_EQ(window->size(), QSize(312, 174));
    // Resizing moves and sizes no control; the window never gets smaller.
    for (const QSize size : {QSize(312, 174), QSize(640, 480), QSize(200, 100)}) {
        window->resize(size);
        QApplication::processEvents();
        EXPECT_EQ(window->size(), size.expandedTo({312, 174}));
        for (const Place& p : places) {
            QWidget* widget = Get(p.name);
            ASSERT_NE(widget, nullptr) << p.name;
            EXPECT_EQ(widget->parentWidget()->objectName(), p.parent) << p.name;
            EXPECT_EQ(widget->geometry(),
                      QRect(p.left / 15, p.top / 15, p.width / 15, p.height / 15))
                << p.name << " at window size " << size.width() << "x" << size.height();
        }
    }
}

/// Whether `field` shows `text` whole: the first character stays where it
/// is when the cursor goes after the last one.
bool ShowsWhole(QLineEdit& field, const QString& text) {
    auto firstCharacterX = [&field](int cursor) {
        field.setCursorPosition(cursor);
        field.grab(); // a line edit scrolls its text to the cursor when it paints
        field.setCursorPosition(0);
        return field.inputMethodQuery(Qt::ImCursorRectangle).toRect().x();
    };
    field.setText(text);
    return firstCharacterX(0) == firstCharacterX(static_cast<int>(text.size()));
}

TEST_F(Layout, ATallerFontWidensTheLayoutSoNoTextIsCovered) {
    for (const auto& [points, grows] : {std::pair(7.0, false), {11.0, true}, {14.0, true}}) {
        SCOPED_TRACE(testing::Message() << points << " pt");
        QFont font = window->font();
        font.setPointSizeF(points);
        window->setFont(font);
        EXPECT_EQ(window->size(), window->minimumSize());
        EXPECT_EQ(window->size().expandedTo({312, 174}), window->size()); // never smaller
        EXPECT_EQ(window->size() != QSize(312, 174), grows);
        for (const std::string_view name :
             {control::kInputFileStart, control::kInputFileStop, control::kOutputFileStart}) {
            EXPECT_TRUE(ShowsWhole(*Field(name), "-2147483648")) << name;
        }
        for (auto* frame : window->findChildren<QGroupBox*>()) {
            QStyleOptionGroupBox option;
            option.initFrom(frame);
            option.text = frame->title();
            option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
            const QRect title = frame->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                               QStyle::SC_GroupBoxLabel, frame);
            for (auto* field : frame->findChildren<QLineEdit*>()) {
                EXPECT_LT(title.bottom(), field->y()) << field->objectName().toStdString();
            }
        }
        for (auto* button : window->findChildren<QPushButton*>()) {
            EXPECT_EQ(button->sizeHint().boundedTo(button->size()), button->sizeHint());
        }
    }
}

TEST_F(Layout, OpensIdleWithCaptionIconAndDescribedFields) {
    EXPECT_EQ(window->windowTitle(), "Tavmar Velmora 0.2.0");
    EXPECT_EQ(window->windowIcon().availableSizes(), (QList<QSize>{{16, 16}, {32, 32}}));
    EXPECT_EQ(States(), "on off on off");
    EXPECT_EQ(QApplication::focusWidget(), Field(control::kInputFile));
    for (auto* field : window->findChildren<QLineEdit*>()) {
        // A screen reader announces a field's own access key only.
        const QString own = field->objectName() == "txtInputFile"    ? "Alt+I"
                            : field->objectName() == "txtOutputFile" ? "Alt+O"
                                                                     : "";
        EXPECT_EQ(QAccessible::queryAccessibleInterface(field)->text(QAccessible::Accelerator), own)
            << field->objectName().toStdString();
        EXPECT_FALSE(field->accessibleName().isEmpty());
        EXPECT_EQ(field->toolTip(), field->accessibleName());
        EXPECT_EQ(field->maxLength(), std::numeric_limits<int>::max());
    }
}

using Keyboard = WindowFixture;

TEST_F(Keyboard, TabVisitsTheEnabledControlsInOrder) {
    for (const char* next : {"txtInputFileStart", "txtInputFileStop", "txtOutputFile",
                             "txtOutputFileStart", "cmdStart", "cmdExit", "txtInputFile"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget()->objectName(), next);
    }
    PrepareCopy(10);
    Button(control::kStart)->click();
    Field(control::kOutputFileStart)->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget()->objectName(), "cmdAbort");
}

TEST_F(Keyboard, EnterInAFieldStartsOnlyWhileStartIsEnabled) {
    PrepareCopy(10);
    QTest::keyClick(Field(control::kInputFileStop), Qt::Key_Return);
    EXPECT_EQ(States(), "off on off on");
    QTest::keyClick(Field(control::kOutputFileStart), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(States(), "off on off on");
    EXPECT_EQ(files.OpenCount(), 2);
    EXPECT_TRUE(boxes.seen.empty());
}

// Abort has the focus while a copy started from Start runs; a field keeps it.
TEST_F(Keyboard, TheFocusGoesFromStartToAbortAndBackButStaysInAField) {
    PrepareCopy(10);
    for (QWidget* from : {Get(control::kStart), Get(control::kInputFileStop)}) {
        from->setFocus();
        QTest::keyClick(from, from == Get(control::kStart) ? Qt::Key_Space : Qt::Key_Return);
        EXPECT_EQ(window->focusWidget(),
                  from == Get(control::kStart) ? Get(control::kAbort) : from);
        Tick(); // completes, behind a box
        EXPECT_EQ(window->focusWidget(), from);
    }
}

TEST_F(Keyboard, EscAbortsARunningOperationAndNeverCloses) {
    QTest::keyClick(Field(control::kInputFile), Qt::Key_Escape);
    EXPECT_TRUE(window->isVisible());
    PrepareCopy(10);
    Button(control::kStart)->click();
    QTest::keyClick(Field(control::kInputFile), Qt::Key_Escape);
    EXPECT_EQ(States(), "on off on off");
    EXPECT_EQ(files.OpenCount(), 0);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(boxes.seen.empty());
}

TEST_F(Keyboard, AccessKeysPressButtonsAndReachEachFramesFirstField) {
    Field(control::kInputFileStop)->setFocus();
    QTest::keyClick(window.get(), Qt::Key_I, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), Field(control::kInputFile));
    Field(control::kOutputFileStart)->setFocus();
    QTest::keyClick(window.get(), Qt::Key_O, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), Field(control::kOutputFile));

    PrepareCopy(10);
    QTest::keyClick(window.get(), Qt::Key_S, Qt::AltModifier);
    EXPECT_TRUE(Timer()->isActive()); // at the press, before any later key
    QTest::keyClick(window.get(), Qt::Key_B, Qt::AltModifier);
    EXPECT_FALSE(Timer()->isActive());
    QTest::keyClick(window.get(), Qt::Key_X, Qt::AltModifier);
    EXPECT_TRUE(WaitClosed());
    EXPECT_TRUE(boxes.seen.empty());
}

// An access key clicks its button about 100 ms late; a click arriving after
// the button was disabled must do nothing, and a disabled button's access
// key types nothing into a field either.
TEST_F(Keyboard, TheAccessKeyOfADisabledButtonDoesNothingEvenLate) {
    PrepareCopy(10);
    QTest::keyClick(window.get(), Qt::Key_S, Qt::AltModifier);
    QTest::keyClick(Field(control::kInputFile), Qt::Key_Return);
    QTest::qWait(300);
    EXPECT_EQ(States(), "off on off on");
    EXPECT_EQ(files.OpenCount(), 2);
    QTest::keyClick(window.get(), Qt::Key_B, Qt::AltModifier);
    QTest::keyClick(Field(control::kInputFile), Qt::Key_Escape);
    QTest::qWait(300);
    EXPECT_EQ(States(), "on off on off");
    EXPECT_EQ(files.OpenCount(), 0);
    EXPECT_TRUE(boxes.seen.empty());
    Field(control::kOutputFile)->selectAll();
    QTest::keyClick(Field(control::kOutputFile), Qt::Key_B, Qt::AltModifier);
    QTest::sendKeyEvent(QTest::Click, Field(control::kOutputFile), Qt::Key_B, QStringLiteral("B"),
                        Qt::AltModifier | Qt::ShiftModifier);
    // The same key on a Russian layout: Alt never types, whatever the letter.
    QTest::sendKeyEvent(QTest::Click, Field(control::kOutputFile), Qt::Key(u'И'),
                        QStringLiteral("и"), Qt::AltModifier);
    QTest::sendKeyEvent(QTest::Click, Field(control::kOutputFile), Qt::Key_Q, QStringLiteral("q"),
                        Qt::MetaModifier); // Super, Meta or Hyper
    EXPECT_EQ(Field(control::kOutputFile)->text(), "out.bin");
}

// An input method composed "ŝ" from a dead key and Alt+S, letting only its release through.
TEST_F(Keyboard, AChordAnInputMethodTookTypesNothingAndActsAsItsAccessKey) {
    PrepareCopy(10);
    QLineEdit* path = Field(control::kOutputFile);
    QTest::keyPress(path, Qt::Key_Alt, Qt::AltModifier);
    QInputMethodEvent composed;
    composed.setCommitString(QStringLiteral("ŝ"));
    QApplication::sendEvent(path, &composed);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_S, Qt::AltModifier, 39, 0, 0x8, "s");
    QApplication::sendEvent(path, &release);
    EXPECT_EQ(path->text(), "out.bin");
    EXPECT_EQ(States(), "off on off on");
}

TEST_F(Keyboard, EnterPressesTheFocusedExitButton) {
    Button(control::kExit)->setFocus();
    QTest::keyClick(Button(control::kExit), Qt::Key_Return);
    EXPECT_TRUE(WaitClosed());
    EXPECT_TRUE(files.files.empty()); // not a Start
}

using Operation = WindowFixture;

// A path shows left to right, in a box with what would reorder it visible, the box on screen.
TEST_F(Operation, APathShowsLeftToRightAndWholeInABoxThatFits) {
    QLineEdit* path = Field(control::kInputFile);
    path->setText(QStringLiteral("مرحبا/missing"));
    auto cursorX = [path](int position) {
        path->setCursorPosition(position);
        path->grab();
        return path->inputMethodQuery(Qt::ImCursorRectangle).toRect().x();
    };
    EXPECT_LT(cursorX(0), cursorX(13)); // left to right: the last name at the right
    const QString awkward = QStringLiteral("مرحبا/\u202Enib.exe\n") + QString(4000, u'x');
    EXPECT_TRUE(path->accessibleDescription().isEmpty());
    path->setText(awkward); // the field cannot show it as it is, so it says so
    EXPECT_TRUE(path->accessibleDescription().contains(QStringLiteral("<U+202E>")));
    QSize box;
    boxes.onBox = [&box] { box = QApplication::activeModalWidget()->frameGeometry().size(); };
    Button(control::kStart)->click();
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_TRUE(boxes.seen[0].description.contains(awkward));
    for (const QString& shown :
         QStringList{QStringLiteral("\u200EI"), QStringLiteral("/\u200E<U+202E>"),
                     QStringLiteral("␊"), QStringLiteral("…")}) {
        EXPECT_TRUE(boxes.seen[0].informative.contains(shown)) << shown.toStdString();
    }
    EXPECT_TRUE(QRect(QPoint(), window->screen()->availableSize()).contains(QRect({}, box)));
}

TEST_F(Operation, RunsToCompletionAndReportsItInAnInformationBox) {
    PrepareCopy(300);
    Field(control::kInputFileStart)->setText("11");
    Field(control::kInputFileStop)->setText("13");
    Field(control::kOutputFileStart)->setText("2");
    Button(control::kStart)->click();
    EXPECT_EQ(States(), "off on off on");
    boxes.onBox = [this] { // a held Enter's repeats neither dismiss the box nor start again
        for (QWidget* target : {QApplication::activeModalWidget(), Get(control::kInputFile)}) {
            QKeyEvent held(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), true);
            QApplication::sendEvent(target, &held);
        }
        EXPECT_NE(QApplication::activeModalWidget(), nullptr);
    };
    Tick();
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].caption, "Tavmar Velmora 0.2.0 - Information");
    EXPECT_EQ(boxes.seen[0].text, "Operation complete");
    EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Information);
    EXPECT_EQ(States(), "on off on off");
    EXPECT_EQ(files.files["out.bin"], (std::vector<std::uint8_t>{0, 70, 77, 84}));
}

} // namespace
} // namespace tavmar::window::test
