// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/QtMessageBox.h"

#include <algorithm>
#include <utility>
#include <vector>

#include <QLabel>
#include <QMessageBox>
#include <QString>

namespace tavmar::window {

namespace {

/// The most characters of a cause a box shows; the middle of a longer one
/// is left out.
constexpr qsizetype kShownCharacters = 600;

bool IsDirectionControl(char16_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

/// `cause` as a box shows it: left to right in the order of its characters
/// (a name's own letters keep their direction, but no name moves), control
/// characters as their pictures and direction controls by code (U+202E),
/// breakable at any character, and at most kShownCharacters of it, the
/// middle left out ("…").
QString ForDisplay(const QString& cause) {
    QString shown = cause.size() <= kShownCharacters ? cause
                                                     : cause.left(kShownCharacters / 2) + u'…' +
                                                           cause.right(kShownCharacters / 2);
    constexpr char16_t kLeftToRightMark = 0x200E;
    constexpr char16_t kZeroWidthSpace = 0x200B;
    QString display(1, QChar(kLeftToRightMark));
    for (const QChar c : shown) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
            display += QChar(c.unicode() == 0x7F ? 0x2421 : 0x2400 + c.unicode());
        } else if (IsDirectionControl(c.unicode())) {
            display += QStringLiteral("<U+%1>").arg(c.unicode(), 4, 16, QChar(u'0')).toUpper();
        } else {
            display += c;
        }
        // A "/" next to the mark belongs to no name, so the names keep their
        // order; the space lets a long path wrap anywhere.
        display += c == u'/' ? kLeftToRightMark : kZeroWidthSpace;
    }
    return display;
}

} // namespace

QtMessageBox::QtMessageBox(QWidget& window) : window_(window) {}

void QtMessageBox::Show(const std::string& text, runtime::MessageIcon icon,
                        const std::string& caption, const std::string& informative) {
    if (retired_) {
        return;
    }
    const auto qtIcon =
        icon == runtime::MessageIcon::Exclamation ? QMessageBox::Warning : QMessageBox::Information;
    QMessageBox box(qtIcon, QString::fromStdString(caption), QString::fromStdString(text),
                    QMessageBox::Ok, &window_);
    box.setTextFormat(Qt::PlainText);
    if (!informative.empty()) {
        const QString cause = QString::fromStdString(informative);
        const QString shown = ForDisplay(cause);
        box.setInformativeText(shown);
        box.setAccessibleDescription(cause);
        // The text format above reaches only the main text's label.
        for (auto* label : box.findChildren<QLabel*>()) {
            if (label->text() == shown) {
                label->setTextFormat(Qt::PlainText);
            }
        }
    }
    open_.emplace_back(&box);
    box.exec();
    std::erase_if(open_,
                  [&box](const QPointer<QMessageBox>& p) { return p.isNull() || p == &box; });
    if (!IsOpen() && whenNoneOpen_) {
        std::exchange(whenNoneOpen_, nullptr)();
    }
}

bool QtMessageBox::IsOpen() const {
    return std::any_of(open_.begin(), open_.end(), [](const QPointer<QMessageBox>& box) {
        return !box.isNull() && box->isVisible();
    });
}

void QtMessageBox::WhenNoneOpen(std::function<void()> then) {
    whenNoneOpen_ = std::move(then);
}

void QtMessageBox::DismissOpen() {
    for (const auto& box : open_) {
        if (!box.isNull()) {
            box->done(QMessageBox::Ok);
        }
    }
}

void QtMessageBox::Retire() {
    retired_ = true;
    DismissOpen();
}

} // namespace tavmar::window
