#pragma once

#include <QApplication>
#include <QWidget>
#include <cstdlib>

// The process's one Qt application on the offscreen platform, kept to the end of the
// process: destroying it at exit would run after objects it still uses.
inline QApplication& TestApplication() {
    static int argc = 1;
    static char name[] = "vkt_test";
    static char* argv[] = {name, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// The control of a dialog by its numeric id, or null.
template <typename T = QWidget>
T* ControlById(QWidget& dialog, int id) {
    for (T* child : dialog.findChildren<T*>()) {
        if (child->property("controlId").toInt() == id) return child;
    }
    return nullptr;
}
