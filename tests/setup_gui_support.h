// Helpers for tests of korvcfg's pages: one QApplication on the offscreen
// platform, widgets found by object name, and a sheet over settings.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>

#include "setup/setup_sheet.h"

namespace quorvexia::test {

inline QApplication& EnsureApp() {
    static int argc = 1;
    static char name[] = "setup_gui_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return new QApplication(argc, argv);
    }();
    return *app;
}

template <typename W = QWidget>
W* Find(QWidget* root, const char* name) {
    W* w = root->findChild<W*>(QString::fromLatin1(name));
    if (!w) ADD_FAILURE() << "no widget named " << name;
    return w;
}

inline std::string Text(const QLineEdit* edit) { return edit ? edit->text().toStdString() : "(none)"; }

// Shows the sheet (or a tab of it) and lets it lay itself out, as it would
// be before a user could click anything.
inline void ShowSheet(setup::SetupSheet& sheet) {
    sheet.show();
    if (!QTest::qWaitForWindowExposed(&sheet)) ADD_FAILURE() << "the sheet was not shown";
}
inline void ShowTab(setup::SetupSheet& sheet, int index) {
    sheet.tabs()->setCurrentIndex(index);
    QApplication::processEvents();
}

// A click by the mouse near the button's left edge, where a check box or
// radio button has its indicator (its middle may lie beyond its text).
inline void Click(QAbstractButton* button) {
    if (!button) return ADD_FAILURE() << "no button to click", void();
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(std::min(8, button->width() / 2), button->height() / 2));
}

// A key pressed as a user presses it: the sheet's window is active and the
// key goes to the widget that has the focus, `widget`, which must hold it.
inline void PressOn(QWidget* widget, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    if (!widget) return ADD_FAILURE() << "no widget to press a key on", void();
    QWidget* window = widget->window();
    window->activateWindow();
    if (!QTest::qWaitForWindowActive(window)) ADD_FAILURE() << "the window did not become active";
    if (QApplication::focusWidget() != widget) widget->setFocus(Qt::OtherFocusReason);
    if (QApplication::focusWidget() != widget)
        return ADD_FAILURE() << widget->objectName().toStdString() << " does not take the focus", void();
    QTest::keyClick(widget, key, modifiers);
}

// Types `text` into `widget` one character at a time, as a keyboard layout
// delivers letters that QTest's own typing (ASCII only) cannot.
inline void TypeText(QWidget* widget, const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        qsizetype length = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        QString character = text.mid(i, length);
        i += length - 1;
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, character);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, character);
        QApplication::sendEvent(widget, &press);
        QApplication::sendEvent(widget, &release);
    }
}

// Runs `act` on the modal dialog named `name` once it is up (the exec() that
// shows it blocks until it ends).
inline void WhenModalShows(const char* name, std::function<void(QWidget*)> act) {
    auto* timer = new QTimer(&EnsureApp());
    auto tries = std::make_shared<int>(0);
    QString wanted = QString::fromLatin1(name);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, act, tries, wanted] {
        QWidget* modal = QApplication::activeModalWidget();
        bool found = modal && modal->objectName() == wanted;
        if (!found && ++*tries < 500) return;
        timer->stop();
        timer->deleteLater();
        if (found) {
            act(modal);
        } else {
            ADD_FAILURE() << "no modal dialog " << wanted.toStdString() << " appeared";
        }
    });
    timer->start(10);
}

}  // namespace quorvexia::test
