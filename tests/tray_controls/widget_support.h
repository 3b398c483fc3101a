// Helpers for the widget tests: a shown, active top-level window and a
// counter for the system beep.
#pragma once

#include "HvCommon.h"

#include <QApplication>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>

struct ShownWindow {
    std::unique_ptr<QWidget> window = std::make_unique<QWidget>();
    ShownWindow() { window->resize(300, 200); }
    void show() {
        window->show();
        QApplication::setActiveWindow(window.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }
};

struct BeepCounter {
    int count = 0;
    BeepCounter() {
        hv::SetBeepHandler([this] { ++count; });
    }
    ~BeepCounter() { hv::SetBeepHandler(nullptr); }
};
