// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/QtWindowControls.h"

#include <QLineEdit>
#include <QString>
#include <QTimer>
#include <QVariant>
#include <QWidget>

#include "runtime/Failure.h"

namespace tavmar::window {

namespace {

/// Dynamic property that holds a timer's enabled flag, which QTimer lacks.
constexpr const char* kTimerEnabled = "tavmarEnabled";

runtime::Failure NoSuch(const char* what, std::string_view control) {
    return runtime::Failure(runtime::FailureCode::SystemError,
                            std::string("No ") + what + " named " + std::string(control));
}

bool TimerEnabled(const QTimer& timer) {
    return timer.property(kTimerEnabled).toBool();
}

/// Runs the timer exactly when it is enabled with an interval above 0. A
/// running timer is left running, so enabling it again does not restart it.
void UpdateTimer(QTimer& timer) {
    const bool run = TimerEnabled(timer) && timer.interval() > 0;
    if (run && !timer.isActive()) {
        timer.start();
    } else if (!run) {
        timer.stop();
    }
}

} // namespace

QtWindowControls::QtWindowControls(QObject& root) : root_(root) {}

QObject& QtWindowControls::Find(std::string_view control) const {
    const QString name = QString::fromUtf8(control.data(), static_cast<qsizetype>(control.size()));
    auto* found = root_.findChild<QObject*>(name);
    if (found == nullptr) {
        throw NoSuch("control", control);
    }
    return *found;
}

QTimer& QtWindowControls::FindTimer(std::string_view timer) const {
    auto* found = qobject_cast<QTimer*>(&Find(timer));
    if (found == nullptr) {
        throw NoSuch("timer", timer);
    }
    return *found;
}

bool QtWindowControls::IsEnabled(std::string_view control) const {
    QObject& object = Find(control);
    if (auto* timer = qobject_cast<QTimer*>(&object)) {
        return TimerEnabled(*timer);
    }
    if (auto* widget = qobject_cast<QWidget*>(&object)) {
        return widget->isEnabled();
    }
    throw NoSuch("widget or timer", control);
}

void QtWindowControls::SetEnabled(std::string_view control, bool enabled) {
    QObject& object = Find(control);
    if (auto* timer = qobject_cast<QTimer*>(&object)) {
        timer->setProperty(kTimerEnabled, enabled);
        UpdateTimer(*timer);
        return;
    }
    if (auto* widget = qobject_cast<QWidget*>(&object)) {
        widget->setEnabled(enabled);
        return;
    }
    throw NoSuch("widget or timer", control);
}

std::string QtWindowControls::Text(std::string_view control) const {
    auto* edit = qobject_cast<QLineEdit*>(&Find(control));
    if (edit == nullptr) {
        throw NoSuch("text field", control);
    }
    return edit->text().toStdString();
}

void QtWindowControls::SetText(std::string_view control, const std::string& text) {
    auto* edit = qobject_cast<QLineEdit*>(&Find(control));
    if (edit == nullptr) {
        throw NoSuch("text field", control);
    }
    edit->setText(QString::fromStdString(text));
}

int QtWindowControls::Interval(std::string_view timer) const {
    return FindTimer(timer).interval();
}

void QtWindowControls::SetInterval(std::string_view timer, int milliseconds) {
    QTimer& found = FindTimer(timer);
    found.setInterval(milliseconds < 0 ? 0 : milliseconds);
    UpdateTimer(found);
}

} // namespace tavmar::window
