// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "runtime/Failure.h"
#include "window/QtWindowControls.h"

namespace tavmar::window::test {
namespace {

struct QtWindowControlsTest : testing::Test {
    QtWindowControlsTest() {
        edit->setObjectName("txtField");
        timer->setObjectName("tmrTimer");
        (new QPushButton(&root))->setObjectName("cmdButton");
    }
    QWidget root;
    QLineEdit* edit = new QLineEdit(new QWidget(&root)); // a grandchild is found too
    QTimer* timer = new QTimer(&root);
    QtWindowControls controls{root};
};

TEST_F(QtWindowControlsTest, TextIsUtf8AndWrongNamesRaise) {
    controls.SetText("txtField", "Ärger/файл €");
    EXPECT_EQ(edit->text(), QString::fromUtf8("Ärger/файл €"));
    EXPECT_EQ(controls.Text("txtField"), "Ärger/файл €");
    EXPECT_THROW(controls.IsEnabled("cmdNothing"), runtime::Failure);
    EXPECT_THROW(controls.Text("cmdButton"), runtime::Failure);
    EXPECT_THROW(controls.SetInterval("txtField", 5), runtime::Failure);
}

TEST_F(QtWindowControlsTest, ATimerTicksOnlyWhileEnabledWithAnInterval) {
    int ticks = 0;
    QObject::connect(timer, &QTimer::timeout, [&ticks] { ++ticks; });
    controls.SetEnabled("tmrTimer", true);
    QTest::qWait(30);
    EXPECT_EQ(ticks, 0);
    EXPECT_TRUE(controls.IsEnabled("tmrTimer"));
    controls.SetInterval("tmrTimer", 5);
    EXPECT_TRUE(QTest::qWaitFor([&ticks] { return ticks > 0; }, 2000));
    controls.SetEnabled("tmrTimer", false);
    EXPECT_FALSE(timer->isActive());
}

} // namespace
} // namespace tavmar::window::test
