// Helpers for tests of korvcfg's windows: one QApplication (offscreen unless
// QT_QPA_PLATFORM says otherwise), and widgets found and worked by object name.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <functional>

#include "setup/setup_sheet.h"
#include "setup_scripted_boxes.h"

namespace quorvexia::test {

inline void EnsureApp() {
    static int argc = 1;
    static char name[] = "setup_gui_test", *argv[] = {name, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
}

template <typename W = QWidget>
W* Find(QWidget* root, const char* name) {
    W* w = root->findChild<W*>(QString::fromLatin1(name));
    EXPECT_TRUE(w) << "no widget named " << name;
    return w;
}

// Shows the sheet laid out as a user first sees it, on tab `tab`.
inline void Show(setup::SetupSheet& sheet, int tab) {
    sheet.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&sheet));
    sheet.tabs()->setCurrentIndex(tab);
    QApplication::processEvents();
}

// A mouse click near the left edge, where a check or radio box has its mark.
inline void Click(QWidget* root, const char* name) {
    auto* b = Find<QAbstractButton>(root, name);
    QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(std::min(8, b->width() / 2), b->height() / 2));
}

// A key pressed as a user presses it: in the active window, on `w` with the focus.
inline void Press(QWidget* w, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    w->window()->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(w->window()));
    if (QApplication::focusWidget() != w) w->setFocus(Qt::OtherFocusReason);
    EXPECT_EQ(QApplication::focusWidget(), w);
    QTest::keyClick(w, key, modifiers);
}

// Runs `act` on the modal dialog named `name` once it is up (its exec() blocks).
inline void WhenModalShows(const char* name, std::function<void(QWidget*)> act) {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, timer, [=, tries = 0]() mutable {
        QWidget* modal = QApplication::activeModalWidget();
        bool found = modal && modal->objectName() == QLatin1String(name);
        if (!found && ++tries < 500) return;
        timer->stop();
        timer->deleteLater();
        EXPECT_TRUE(found) << "no modal dialog " << name;
        if (found) act(modal);
    });
    timer->start(10);
}

}  // namespace quorvexia::test
