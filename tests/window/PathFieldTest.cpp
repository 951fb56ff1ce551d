// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QMenu>
#include <QMimeData>

#include "WindowFixture.h"

namespace tavmar::window::test {
namespace {

using PathFields = WindowFixture;

// A name a file manager escapes: spaces, "#", "%" and a non-ASCII letter.
const std::string kAwkward = "/tmp/my disk #2 100% \xC3\xA9.img";
const QByteArray kAwkwardUrl = "file:///tmp/my%20disk%20%232%20100%25%20%C3%A9.img";

TEST_F(PathFields, ADroppedLocalFileReplacesTheFieldAndAnythingElseIsRefused) {
    struct Row {
        const char* target; // a field, or the frame around it
        std::string_view field;
        const char* format;
        QByteArray data;
        std::string expected; // "old" when refused
    };
    const auto in = control::kInputFile;
    const auto out = control::kOutputFile;
    const std::initializer_list<Row> rows{
        {"txtInputFile", in, "text/uri-list", kAwkwardUrl + "\r\n", kAwkward},
        {"fraOutputFile", out, "text/uri-list", kAwkwardUrl + "\r\n", kAwkward},
        {"txtOutputFile", out, "text/plain", "file:///tmp/x\n", "/tmp/x"},
        {"txtInputFile", in, "text/uri-list", "file:///tmp/a\r\nfile:///tmp/b\r\n", "old"},
        {"txtOutputFile", out, "text/uri-list", "sftp://host/tmp/x\r\n", "old"},
        {"fraInputFile", in, "text/uri-list", "file://otherhost/tmp/x\r\n", "old"},
        {"txtInputFile", in, "text/uri-list", "file:///tmp/%E9\r\n", "old"}, // not UTF-8
        {"txtInputFile", in, "text/plain", "https://example.com/x", "old"},
        {"txtInputFile", in, "text/plain", "/tmp/x\n", "/tmp/xold"}, // text drops at the pointer
    };
    for (const Row& row : rows) {
        QLineEdit* field = Field(row.field);
        field->setText("old");
        Field(control::kInputFileStart)->setFocus();
        auto mime = std::make_unique<QMimeData>();
        mime->setData(row.format, row.data);
        // Shift proposes a move, which must never reach a file manager.
        const auto actions = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
        QDragEnterEvent enter({1, 1}, actions, mime.get(), Qt::LeftButton, Qt::ShiftModifier);
        QApplication::sendEvent(Get(row.target), &enter);
        QDropEvent drop({1, 1}, actions, mime.get(), Qt::LeftButton, Qt::ShiftModifier);
        QApplication::sendEvent(Get(row.target), &drop);

        const bool refused = row.expected == "old";
        const bool file = !row.expected.ends_with("old"); // text drops insert
        EXPECT_EQ(field->text().toStdString(), row.expected)
            << row.target << " " << row.data.constData();
        EXPECT_EQ(enter.isAccepted(), !refused) << row.data.constData();
        EXPECT_EQ(drop.isAccepted(), !refused) << row.data.constData();
        if (file) {
            EXPECT_EQ(drop.dropAction(), Qt::CopyAction) << row.data.constData();
            EXPECT_EQ(QApplication::focusWidget(), field) << row.target;
        }
    }
    EXPECT_EQ(States(), "on off on off");
}

TEST_F(PathFields, APastedLocalFileGivesItsPathAndTextLosesItsEndingLineBreaks) {
    enum class Route { CtrlV, ShiftInsert, Menu };
    struct Row {
        Route route;
        const char* format;
        QByteArray data;
        std::string expected;
    };
    const std::initializer_list<Row> rows{
        {Route::CtrlV, "text/uri-list", kAwkwardUrl + "\r\n", kAwkward},
        {Route::ShiftInsert, "text/plain", "file:///tmp/a%20b\n", "/tmp/a b"},
        {Route::Menu, "x-special/gnome-copied-files", "cut\nfile:///tmp/x", "/tmp/x"},
        {Route::CtrlV, "text/plain", "/some/file\n", "/some/file"},
        {Route::Menu, "text/plain", "\r\n/some/file\r\n", "/some/file"},
    };
    QLineEdit* field = Field(control::kInputFile);
    for (const Row& row : rows) {
        auto* mime = new QMimeData; // the clipboard takes it
        mime->setData(row.format, row.data);
        QApplication::clipboard()->setMimeData(mime);
        field->setText("[old]");
        field->setSelection(1, 3);
        if (row.route == Route::CtrlV) {
            QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
        } else if (row.route == Route::ShiftInsert) {
            QTest::keyClick(field, Qt::Key_Insert, Qt::ShiftModifier);
        } else {
            QContextMenuEvent menuEvent(QContextMenuEvent::Keyboard, {1, 1},
                                        field->mapToGlobal(QPoint(1, 1)));
            QApplication::sendEvent(field, &menuEvent);
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            ASSERT_NE(menu, nullptr);
            for (QAction* action : menu->actions()) {
                if (action->text().startsWith("&Paste")) {
                    EXPECT_TRUE(action->isEnabled());
                    action->trigger();
                }
            }
            menu->close();
        }
        EXPECT_EQ(field->text().toStdString(), "[" + row.expected + "]") << row.data.constData();
    }
}

} // namespace
} // namespace tavmar::window::test
