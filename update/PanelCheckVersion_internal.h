// Internals of the update check for its tests. Nothing here is meant for the
// check's caller.
#ifndef VD_UPDATE_PANELCHECKVERSION_INTERNAL_H
#define VD_UPDATE_PANELCHECKVERSION_INTERNAL_H

#include <QByteArray>
#include <QString>

#include <string>

#include "update/PanelCheckVersion.h"

class QWidget;
class Ui_PanelCheckVersion;

// True when published names a newer version than running: same byte length
// (not zero), and at the first byte where they differ the published one is
// the greater, compared as signed 8-bit values.
bool IsNewerVersion(const QByteArray& running, const std::string& published);

// Starts the browser on address and waits for it to end. The program is
// found on the search path and gets the address as one argument, so nothing
// in the address is ever interpreted as a command; an address that the
// browser would read as an option starts nothing. False when nothing ran.
bool RunBrowser(const QByteArray& address);

struct PanelCheckVersionTestAccess {
    // The form record, whose pointers name the widgets in the form's order.
    static const Ui_PanelCheckVersion* Form(const PanelCheckVersion& dialog) { return dialog.ui; }
    static const QWidget* StoredMainWindow(const PanelCheckVersion& dialog) { return dialog.mainWindow; }
    static QString DownloadUrl(const PanelCheckVersion& dialog) { return dialog.downloadUrl; }
};

#endif  // VD_UPDATE_PANELCHECKVERSION_INTERNAL_H
