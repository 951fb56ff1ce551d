// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <vector>

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>

namespace tavmar::window::test {

/// Watches for modal message boxes as a user sees them: each new one is
/// recorded and, unless `answer` is false, dismissed with Enter. A box open
/// for over five seconds is closed and counted in `forced`, so a test fails
/// instead of hanging.
class ModalBoxes {
  public:
    struct Box {
        QString caption;
        QString text;
        QMessageBox::Icon icon;
        QString informative;
        QString description; // accessible
    };
    std::vector<Box> seen;
    bool answer = true;
    std::function<void()> onBox; // runs once per new box, before it is answered
    int forced = 0;

    ModalBoxes() {
        QObject::connect(&poll_, &QTimer::timeout, [this] { Poll(); });
        poll_.start(5);
    }

  private:
    void Poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) {
            return;
        }
        if (box == current_) {
            if (++openPolls_ > 1000) {
                ++forced;
                box->done(0);
            }
            return;
        }
        current_ = box;
        openPolls_ = 0;
        seen.push_back({box->windowTitle(), box->text(), box->icon(), box->informativeText(),
                        box->accessibleDescription()});
        if (onBox) {
            onBox();
        }
        if (answer) {
            QTest::keyClick(box, Qt::Key_Return);
        }
    }

    QTimer poll_;
    QPointer<QMessageBox> current_;
    int openPolls_ = 0;
};

} // namespace tavmar::window::test
