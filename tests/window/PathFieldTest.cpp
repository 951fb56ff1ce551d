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

/// One format's bytes as another program sends them (setData parses URL lists).
struct RawMime : QMimeData {
    QString format;
    QByteArray bytes;
    QStringList formats() const override { return {format}; }
    QVariant retrieveData(const QString& wanted, QMetaType) const override {
        return wanted == format ? QVariant(bytes) : QVariant();
    }
};

TEST_F(PathFields, ADroppedLocalFileReplacesTheFieldAndAnythingElseIsRefused) {
    struct Row {
        const char* target; // a field, or the frame around it
        const char* format;
        QByteArray data;
        std::string expected; // "old" when refused
    };
    const std::initializer_list<Row> rows{
        {"txtInputFile", "text/uri-list", kAwkwardUrl + "\r\n", kAwkward},
        {"fraOutputFile", "text/uri-list", kAwkwardUrl + "\r\n", kAwkward},
        {"txtOutputFile", "text/plain", "file:///tmp/x\n", "/tmp/x"},
        {"txtInputFile", "text/uri-list", "file:///tmp/a\r\nfile:///tmp/b\r\n", "old"},
        {"txtOutputFile", "text/uri-list", "sftp://host/tmp/x\r\n", "old"},
        {"fraInputFile", "text/uri-list", "file://otherhost/tmp/x\r\n", "old"},
        {"txtInputFile", "text/uri-list", "file:///tmp/%E9\r\n", "old"}, // not UTF-8
        {"txtInputFile", "text/uri-list", "file:///tmp/\xE9\r\n", "old"},
        {"txtInputFile", "text/uri-list", "file:///etc%2Fshadow\r\n", "old"},
        {"txtOutputFile", "text/uri-list", "# from a file manager\r\nfile:///tmp/x\r\n", "/tmp/x"},
        {"txtInputFile", "text/plain", "https://example.com/x", "old"},
        {"txtInputFile", "text/plain", "/tmp/x\n", "/tmp/xold"}, // text drops at the pointer
    };
    for (const Row& row : rows) {
        QLineEdit* field =
            Field(std::string(row.target).replace(0, 3, "txt")); // frame fraX holds txtX
        field->setText("old");
        Field(control::kInputFileStart)->setFocus();
        auto mime = std::make_unique<RawMime>();
        std::tie(mime->format, mime->bytes) = std::pair(row.format, row.data);
        // Shift proposes a move, which must never reach a file manager.
        const auto actions = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
        QDragEnterEvent enter({1, 1}, actions, mime.get(), Qt::LeftButton, Qt::ShiftModifier);
        QApplication::sendEvent(Get(row.target), &enter);
        QDropEvent drop({1, 1}, actions, mime.get(), Qt::LeftButton, Qt::ShiftModifier);
        QApplication::sendEvent(Get(row.target), &drop);
        SCOPED_TRACE(std::string(row.target) + " " + row.data.constData());
        const bool refused = row.expected == "old";
        EXPECT_EQ(field->text().toStdString(), row.expected);
        EXPECT_EQ(enter.isAccepted(), !refused);
        EXPECT_EQ(drop.isAccepted(), !refused);
        if (!row.expected.ends_with("old")) { // a file: text drops insert
            EXPECT_EQ(drop.dropAction(), Qt::CopyAction);
            EXPECT_EQ(QApplication::focusWidget(), field);
        }
    }
    EXPECT_EQ(States(), "on off on off");
}

TEST_F(PathFields, APastedLocalFileGivesItsPathAndTextLosesItsEndingLineBreaks) {
    struct Row {
        QKeyCombination keys; // none: the context menu's Paste
        const char* format;
        QByteArray data;
        std::string expected;
    };
    const QKeyCombination menu;
    const std::initializer_list<Row> rows{
        {Qt::CTRL | Qt::Key_V, "text/uri-list", kAwkwardUrl + "\r\n", kAwkward},
        {Qt::SHIFT | Qt::Key_Insert, "text/plain", "file:///tmp/a%20b\n", "/tmp/a b"},
        {menu, "x-special/gnome-copied-files", "cut\nfile:///tmp/x", "/tmp/x"},
        {Qt::CTRL | Qt::Key_V, "text/plain", "/some/file\n", "/some/file"},
        {Qt::CTRL | Qt::Key_V, "text/plain", " \tfile:///tmp/x \n", "/tmp/x"},
        {Qt::CTRL | Qt::Key_V, "x-special/gnome-copied-files", "copy\nfile:///tmp/\xE9", ""},
        {menu, "text/plain", "\r\n/some/file\r\n", "/some/file"},
    };
    QLineEdit* field = Field(control::kInputFile);
    for (const Row& row : rows) {
        auto* mime = new RawMime; // the clipboard takes it
        std::tie(mime->format, mime->bytes) = std::pair(row.format, row.data);
        QApplication::clipboard()->setMimeData(mime);
        field->setText("[old]");
        field->setSelection(1, 3);
        if (row.keys != menu) {
            QTest::keyClick(field, row.keys.key(), row.keys.keyboardModifiers());
        } else {
            QContextMenuEvent menuEvent(QContextMenuEvent::Keyboard, {1, 1},
                                        field->mapToGlobal(QPoint(1, 1)));
            QApplication::sendEvent(field, &menuEvent);
            auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            ASSERT_NE(popup, nullptr);
            for (QAction* action : popup->actions()) {
                if (action->text().startsWith("&Paste")) {
                    EXPECT_TRUE(action->isEnabled());
                    action->trigger();
                }
            }
            popup->close();
        }
        EXPECT_EQ(field->text().toStdString(), "[" + row.expected + "]") << row.data.constData();
    }
}

} // namespace
} // namespace tavmar::window::test
