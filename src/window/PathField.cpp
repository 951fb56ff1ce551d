// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/PathField.h"

#include <QAction>
#include <QByteArray>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QList>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QString>
#include <QStyle>
#include <QUrl>

#include "window/VisibleText.h"

namespace tavmar::window {

namespace {

/// What a drop or a paste carries.
struct Carried {
    enum Kind {
        File,  ///< one local file
        Other, ///< several files, a remote URL, a file URL naming no local path
        Text,  ///< plain text
    };
    Kind kind;
    /// A File's path; otherwise the text without line breaks at its ends.
    QString text;
};

QString WithoutEndingLineBreaks(const QString& text) {
    static const QRegularExpression kEnds(QStringLiteral("^[\\r\\n]+|[\\r\\n]+$"));
    return QString(text).remove(kEnds);
}

/// `text` without blanks (spaces, tabs) and line breaks at its ends: none
/// belongs to an address.
QString WithoutEndingBlanks(const QString& text) {
    static const QRegularExpression kEnds(QStringLiteral("^[ \\t\\r\\n]+|[ \\t\\r\\n]+$"));
    return QString(text).remove(kEnds);
}

/// Whether `bytes` are UTF-8 throughout: other bytes would be read as
/// replacement characters and so name another file.
bool IsUtf8(const QByteArray& bytes) {
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

/// The local path `url` names, or an empty string. The path is decoded from
/// the URL's bytes, so a name that is not UTF-8 is refused, and so is an
/// encoded NUL or "/": a name holds neither, so either would name another
/// file. QUrl::toLocalFile would turn a host into "//host/…".
QString LocalPath(const QUrl& url) {
    const QString host = url.host();
    if (!url.isValid() || !url.isLocalFile() || url.hasQuery() || url.hasFragment() ||
        (!host.isEmpty() && host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) != 0)) {
        return {};
    }
    const QString encoded = url.path(QUrl::FullyEncoded);
    const QByteArray bytes = QByteArray::fromPercentEncoding(encoded.toLatin1());
    QString path = QString::fromUtf8(bytes);
    if (!path.startsWith(u'/') || bytes.contains('\0') || !IsUtf8(bytes) ||
        encoded.contains(QStringLiteral("%2F"), Qt::CaseInsensitive)) {
        return {};
    }
    return path;
}

Carried Classify(const QMimeData& data) {
    const QString text = WithoutEndingLineBreaks(data.text());
    auto fromUrls = [&text](const QList<QUrl>& urls) {
        const QString path = urls.size() == 1 ? LocalPath(urls.front()) : QString();
        return path.isEmpty() ? Carried{Carried::Other, text} : Carried{Carried::File, path};
    };
    // A URL list, one URL a line, "#" starting a comment line; or a GNOME
    // file manager's copied files: "copy" or "cut", then one URL a line.
    const QString uriList = QStringLiteral("text/uri-list");
    const QString gnome = QStringLiteral("x-special/gnome-copied-files");
    for (const QString& format : {uriList, gnome}) {
        if (!data.hasFormat(format)) {
            continue;
        }
        const QByteArray bytes = data.data(format);
        if (!IsUtf8(bytes)) {
            return {Carried::Other, text};
        }
        static const QRegularExpression kLines(QStringLiteral("[\\r\\n]+"));
        QList<QUrl> urls;
        for (const QString& line : QString::fromUtf8(bytes).split(kLines)) {
            const QString url = WithoutEndingBlanks(line);
            const bool skipped = format == uriList
                                     ? url.startsWith(u'#')
                                     : urls.isEmpty() && (url == u"copy" || url == u"cut");
            if (!url.isEmpty() && !skipped) {
                urls.append(QUrl(url));
            }
        }
        return fromUrls(urls);
    }
    // Text that is one URL, as a terminal or an editor gives it.
    static const QRegularExpression kUrl(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://[^\\r\\n]*$"));
    const QString address = WithoutEndingBlanks(text);
    if (kUrl.match(address).hasMatch()) {
        return fromUrls({QUrl(address)});
    }
    return {Carried::Text, text};
}

/// Accepts a file drag as a copy, or as a link when that is all the source
/// offers: a move would let the source delete its file once dropped.
bool AcceptAsCopy(QDropEvent& event) {
    for (const Qt::DropAction action : {Qt::CopyAction, Qt::LinkAction}) {
        if (event.possibleActions().testFlag(action)) {
            event.setDropAction(action);
            event.accept();
            return true;
        }
    }
    return false;
}

} // namespace

PathField::PathField(const QString& text, QWidget* parent) : QLineEdit(text, parent) {
    connect(this, &QLineEdit::textChanged, this, &PathField::MarkHiddenCharacters);
    MarkHiddenCharacters();
}

void PathField::MarkHiddenCharacters() {
    // A line edit shows a line break as a blank and lets a direction control
    // reorder what follows; it cannot show them otherwise, so it says so.
    const bool hidden = HasHiddenCharacters(text());
    if (hidden && hiddenMark_ == nullptr) {
        hiddenMark_ = addAction(style()->standardIcon(QStyle::SP_MessageBoxWarning),
                                QLineEdit::TrailingPosition);
    }
    if (hiddenMark_ != nullptr) {
        const QString said = QStringLiteral("This path holds characters the field cannot show; "
                                            "as it is: ");
        // A tip does not wrap: a long path is shortened in the middle there.
        hiddenMark_->setVisible(hidden);
        hiddenMark_->setToolTip(hidden ? said + VisibleText(text(), 120) : QString());
        setAccessibleDescription(hidden ? said + VisibleText(text(), 600) : QString());
    }
}

void PathField::TakeDropsOn(QWidget& frame) {
    frame_ = &frame;
    frame.setAcceptDrops(true);
    frame.installEventFilter(this);
}

bool PathField::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (watched == frame_ &&
        (type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop)) {
        auto& drag = *static_cast<QDropEvent*>(event);
        if (!TakeFileDrag(drag, type == QEvent::Drop)) {
            drag.ignore();
        }
        return true;
    }
    return QLineEdit::eventFilter(watched, event);
}

bool PathField::TakeFileDrag(QDropEvent& event, bool drop) {
    const Carried carried = Classify(*event.mimeData());
    if (carried.kind == Carried::Text) {
        return false;
    }
    if (carried.kind == Carried::Other || isReadOnly() || !AcceptAsCopy(event)) {
        event.ignore();
        return true;
    }
    if (drop) {
        // As an edit, so undo brings the previous path back.
        selectAll();
        insert(carried.text);
        activateWindow();
        setFocus(Qt::OtherFocusReason);
    }
    return true;
}

void PathField::dragEnterEvent(QDragEnterEvent* event) {
    if (!TakeFileDrag(*event, false)) {
        QLineEdit::dragEnterEvent(event);
    }
}

void PathField::dragMoveEvent(QDragMoveEvent* event) {
    if (!TakeFileDrag(*event, false)) {
        QLineEdit::dragMoveEvent(event);
    }
}

void PathField::dropEvent(QDropEvent* event) {
    if (TakeFileDrag(*event, true)) {
        return;
    }
    const QString text = WithoutEndingLineBreaks(event->mimeData()->text());
    // Text moved within this field stays as it is: the line edit removes the
    // moved original by the length of what it inserts.
    if (event->source() == this || text == event->mimeData()->text()) {
        QLineEdit::dropEvent(event);
        return;
    }
    QMimeData trimmed;
    trimmed.setText(text);
    QDropEvent same(event->position(), event->possibleActions(), &trimmed, event->buttons(),
                    event->modifiers());
    same.setDropAction(event->dropAction());
    QLineEdit::dropEvent(&same);
    event->setDropAction(same.dropAction());
    event->setAccepted(same.isAccepted());
}

void PathField::Paste(QClipboard::Mode mode) {
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(mode);
    if (isReadOnly() || data == nullptr) {
        return;
    }
    const QString text = Classify(*data).text;
    if (!text.isEmpty() || hasSelectedText()) {
        insert(text);
    }
}

void PathField::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Paste) && !isReadOnly()) {
        // Only KDE's key scheme makes Ctrl+Shift+Insert a paste, of the selection.
        const bool selection = event->key() == Qt::Key_Insert &&
                               event->modifiers() == (Qt::ControlModifier | Qt::ShiftModifier) &&
                               QGuiApplication::clipboard()->supportsSelection();
        Paste(selection ? QClipboard::Selection : QClipboard::Clipboard);
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void PathField::mouseReleaseEvent(QMouseEvent* event) {
    // The middle button pastes the selection where the platform has one.
    if (event->button() == Qt::MiddleButton && !isReadOnly() &&
        QGuiApplication::clipboard()->supportsSelection()) {
        deselect();
        Paste(QClipboard::Selection);
        event->accept();
        return;
    }
    QLineEdit::mouseReleaseEvent(event);
}

void PathField::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = createStandardContextMenu();
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    for (QAction* action : menu->actions()) {
        // Later Qt versions name the menu's Paste; Qt 6.4 only connects it
        // to paste(), so the string form finds it there.
        if (action->objectName() == u"edit-paste" ||
            disconnect(action, SIGNAL(triggered()), this, SLOT(paste()))) {
            disconnect(action, nullptr, this, nullptr);
            connect(action, &QAction::triggered, this, [this] { Paste(QClipboard::Clipboard); });
            action->setEnabled(!isReadOnly() && data != nullptr && !Classify(*data).text.isEmpty());
        }
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

} // namespace tavmar::window
