// The start-up update check and its dialog, which offers the download page
// when the update server publishes a newer version than the running one.
#ifndef VD_UPDATE_PANELCHECKVERSION_H
#define VD_UPDATE_PANELCHECKVERSION_H

#include <QByteArray>
#include <QDialog>
#include <QString>

#include <string>

class Ui_PanelCheckVersion;
class MainWindow;

class PanelCheckVersion : public QDialog {
    Q_OBJECT
public:
    explicit PanelCheckVersion(QWidget* parent);
    ~PanelCheckVersion() override;

    // Fetches the version file named by the configuration and, when it
    // publishes a newer version than window's, shows the dialog modally and
    // returns once it is closed. Every failure ends the check silently.
    void CheckVersion(MainWindow* window);

    // Hiding is all that closing the window or Escape does.
    void reject() override;

    Ui_PanelCheckVersion* ui;
    QWidget* mainWindow;
    QString downloadUrl;

private slots:
    void on_buttonNo_clicked();
    void on_buttonYes_clicked();
};

// True when published names a newer version than running: same byte length
// (not zero), and at the first byte where they differ the published one is
// the greater, compared as signed 8-bit values.
bool IsNewerVersion(const QByteArray& running, const std::string& published);

// Starts the browser on address and waits for it to end. The program is
// found on the search path and gets the address as one argument, so nothing
// in the address is ever interpreted as a command; an address that the
// browser would read as an option starts nothing. False when nothing ran.
bool RunBrowser(const QByteArray& address);

#endif
