// korvcfg in tests: one QApplication, widgets by object name, and message
// boxes that answer from a list (then No) and log each box as a line: "? "
// a question, "! " a warning, "x " a stop sign; "*" first when owned.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <deque>

#include "setup/setup_sheet.h"

namespace quorvexia::test {

struct ScriptedBoxes : setup::MessageBoxes {
    std::deque<bool> answers;
    std::string shown;
    bool show(setup::MessageKind kind, const std::string& text, void* owner) override {
        shown += "?!x"[static_cast<int>(kind)] + std::string(owner ? "* " : " ") + text + "\n";
        bool yes = kind != setup::MessageKind::Question || (!answers.empty() && answers.front());
        if (kind == setup::MessageKind::Question && !answers.empty()) answers.pop_front();
        return yes;
    }
};

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
inline std::string Text(QWidget* root, const char* name) { return Find<QLineEdit>(root, name)->text().toStdString(); }

inline void Show(setup::SetupSheet& sheet, int tab) {
    sheet.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&sheet));
    sheet.tabs()->setCurrentIndex(tab);
    QApplication::processEvents();
}

// By the mouse near the left edge, where a check or radio box has its mark.
inline void Click(QWidget* root, const char* name) {
    auto* b = Find<QAbstractButton>(root, name);
    QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(std::min(8, b->width() / 2), b->height() / 2));
}

// As a user presses a key: in the active window, on `w` with the focus.
inline void Press(QWidget* w, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    w->window()->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(w->window()));
    if (QApplication::focusWidget() != w) w->setFocus(Qt::OtherFocusReason);
    QTest::keyClick(w, key, modifiers);
}

// Runs `act` on the modal dialog named `name` once its exec() has shown it.
inline void WhenModalShows(const char* name, std::function<void(QWidget*)> act, int tries = 500) {
    QTimer::singleShot(10, qApp, [=] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal->objectName() == QLatin1String(name)) return act(modal);
        if (tries > 0) return WhenModalShows(name, act, tries - 1);
        ADD_FAILURE() << "no modal dialog " << name;
    });
}

}  // namespace quorvexia::test
