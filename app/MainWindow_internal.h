// Internals of the main window for its tests. Nothing here is meant for the
// window's users.
#ifndef VD_APP_MAINWINDOW_INTERNAL_H
#define VD_APP_MAINWINDOW_INTERNAL_H

#include "app/MainWindow.h"
#include "token/cardlib.h"

// The card-layer initialisation that start-up runs. It is a pointer so that
// the start-up failure path, which the real layer never takes, can be tried.
extern int (*loadProfileLibrariesCall)(LibraryLoadReport* report);

// Called, when set, by the report worker on its own thread just before the
// report's last line, so that a test can hold a running report there for as
// long as it needs. Null in the program; set only while no report runs.
extern void (*beforeClosingLineCall)();

#endif  // VD_APP_MAINWINDOW_INTERNAL_H
