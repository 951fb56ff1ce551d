// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/QtMessageBox.h"

#include <algorithm>
#include <utility>
#include <vector>

#include <QLabel>
#include <QMessageBox>
#include <QString>

#include "window/VisibleText.h"

namespace tavmar::window {

namespace {

/// The most characters of a cause a box shows; the middle of a longer one
/// is left out.
constexpr qsizetype kShownCharacters = 600;

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
        const QString shown = VisibleText(cause, kShownCharacters);
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
