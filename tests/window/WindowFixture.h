// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "ModalBoxes.h"
#include "fakes/FakeFileTable.h"
#include "fakes/FakeSettingsStore.h"
#include "window/frmMain.h"

namespace tavmar::window::test {

namespace control = runtime::control;

/// A shown, active window over a fake file table and store, its message
/// boxes watched.
class WindowFixture : public ::testing::Test {
  protected:
    WindowFixture() : window(std::make_unique<frmMain>(files, store)) {
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }

    template <typename T = QWidget> T* Get(std::string_view name) const {
        return window->findChild<T*>(QString::fromUtf8(name.data(), qsizetype(name.size())));
    }
    QLineEdit* Field(std::string_view name) const { return Get<QLineEdit>(name); }
    QPushButton* Button(std::string_view name) const { return Get<QPushButton>(name); }
    QTimer* Timer() const { return Get<QTimer>(control::kOperateTimer); }

    /// Start, Abort, Exit and the timer as on/off, for one readable check.
    std::string States() const {
        auto onOff = [](bool on) { return std::string(on ? "on" : "off"); };
        return onOff(Button(control::kStart)->isEnabled()) + " " +
               onOff(Button(control::kAbort)->isEnabled()) + " " +
               onOff(Button(control::kExit)->isEnabled()) + " " + onOff(Timer()->isActive());
    }

    /// An input of `bytes` distinct-ish bytes, named with an output in the fields.
    void PrepareCopy(std::size_t bytes) {
        auto& input = files.files["in.bin"];
        for (std::size_t i = 0; i < bytes; ++i) {
            input.push_back(static_cast<std::uint8_t>(i * 7));
        }
        Field(control::kInputFile)->setText("in.bin");
        Field(control::kOutputFile)->setText("out.bin");
    }

    /// One tick of the operation timer, which must be running.
    void Tick() {
        ASSERT_TRUE(Timer()->isActive());
        QMetaObject::invokeMethod(Timer(), "timeout");
    }

    bool WaitClosed() {
        return QTest::qWaitFor([this] { return !window->isVisible(); }, 5000);
    }

    std::string Saved(const std::string& key) const {
        auto it = store.values.find({"Tavmar Velmora", "V0.2", key});
        return it == store.values.end() ? "<absent>" : it->second;
    }

    ModalBoxes boxes;
    fakes::FakeFileTable files;
    fakes::FakeSettingsStore store;
    std::unique_ptr<frmMain> window;
};

} // namespace tavmar::window::test
