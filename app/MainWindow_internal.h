// Internals of the main window for its tests. Nothing here is meant for the
// window's users.
#ifndef VD_APP_MAINWINDOW_INTERNAL_H
#define VD_APP_MAINWINDOW_INTERNAL_H

#include <QString>

#include "app/MainWindow.h"
#include "token/cardlib.h"

// The card-layer initialisation that start-up runs. It is a pointer so that
// the start-up failure path, which the real layer never takes, can be tried.
extern int (*loadProfileLibrariesCall)(LibraryLoadReport* report);

// Called, when set, by the report worker on its own thread just before the
// report's last line, so that a test can hold a running report there for as
// long as it needs. Null in the program; set only while no report runs.
extern void (*beforeClosingLineCall)();

// Writes text to path as UTF-8. A regular file (or a new one) is replaced
// only once the whole text is written, keeping its permissions; a device or
// pipe is written in place. False when the file cannot be opened, or when
// writing, flushing or replacing it fails; a failure leaves a regular file as
// it was and creates none.
bool WriteReportFile(const QString& path, const QString& text);

#endif  // VD_APP_MAINWINDOW_INTERNAL_H
