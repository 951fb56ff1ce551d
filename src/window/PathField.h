// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QClipboard>
#include <QLineEdit>

class QAction;
class QContextMenuEvent;
class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;
class QEvent;
class QKeyEvent;
class QMouseEvent;

namespace tavmar::window {

/// A line edit for a file path. A dropped or pasted local file (a URL list,
/// a single file:// URL as text, or a GNOME file manager's copied files)
/// gives its path, exactly; line breaks at the ends of pasted or dropped
/// text are left out, and so are blanks at the ends of an address. A URL
/// list's "#" lines are comments. Otherwise it behaves as a QLineEdit.
///
/// A drop of one local file replaces the whole text and takes the focus.
/// A drag of several files, of a remote URL, of a list with bytes that are
/// not UTF-8, or of a file URL that names no local path as UTF-8 (an encoded
/// "/" or NUL included) is refused and changes nothing; the source is only
/// ever told the file was copied or linked, never moved. A paste of one
/// local file replaces the selection, as a paste does; anything else pastes
/// as text.
///
/// A path holding characters the field cannot show as they are (a line
/// break, a direction control such as U+202E) carries a warning sign; its
/// tip and the field's accessible description show the path as it is.
class PathField : public QLineEdit {
    Q_OBJECT

  public:
    explicit PathField(const QString& text, QWidget* parent = nullptr);

    /// Makes `frame` take the drops this field takes, into this field; text
    /// is not dropped on the frame. The frame outlives this field's use of it.
    void TakeDropsOn(QWidget& frame);

    /// The drag events of the frame given to TakeDropsOn.
    bool eventFilter(QObject* watched, QEvent* event) override;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    /// Inserts what `mode` holds in place of the selection.
    void Paste(QClipboard::Mode mode);
    /// Accepts a drag of one local file and, on `drop`, takes its path;
    /// refuses one that names anything else. False for plain text, which is
    /// left to the line edit.
    bool TakeFileDrag(QDropEvent& event, bool drop);

    /// Shows or hides the warning sign for the text as it is now.
    void MarkHiddenCharacters();

    QWidget* frame_ = nullptr;
    QAction* hiddenMark_ = nullptr;
};

} // namespace tavmar::window
