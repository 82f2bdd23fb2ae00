#pragma once

#include "platform/qt/qt_alert_dialog.h"
#include "platform/qt/qt_application.h"

#include <QApplication>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace ferrolatch::testing {

// Every test gets a fresh application on Qt's offscreen platform, so no
// window ever reaches a real display.
inline void runInOffscreenQt(const std::function<void(QtSession&)>& body)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    runInQtApplication(body);
}

// The family of the system's fixed-pitch font, which monospaced text asks
// for. Whether the font found for it is really fixed-pitch is the machine's
// business (Noto Sans Mono, for one, does not say so).
inline QString systemFixedFamily() { return QFontDatabase::systemFont(QFontDatabase::FixedFont).family(); }

inline AlertDialog* shownAlert() { return dynamic_cast<AlertDialog*>(QApplication::activeModalWidget()); }

// Acts on the next alert once it is up. A watchdog ends the alert should the
// action never get to it, so a broken test fails instead of hanging.
inline void whenAlertShows(QtSession& session, std::function<void(AlertDialog&)> action, double watchdogSeconds = 10)
{
    auto watchdog = session.loop.postAfter(watchdogSeconds, [&session] {
        ADD_FAILURE() << "the alert was still up when the watchdog fired";
        session.ui.abortModal();
    });
    session.loop.post([action = std::move(action), watchdog] {
        AlertDialog* dialog = shownAlert();
        if (!dialog) {
            ADD_FAILURE() << "no alert is showing";
            return;
        }
        action(*dialog);
        watchdog->cancel();
    });
}

// A key press where the keyboard would deliver it: the focused control, which
// passes keys it does not handle on to the dialog.
inline void pressKey(AlertDialog& dialog, Qt::Key key)
{
    QWidget* target = dialog.focusWidget() ? dialog.focusWidget() : &dialog;
    QTest::keyClick(target, key);
}

}
