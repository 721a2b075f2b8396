// The start-up update check and its dialog, which offers the download page
// when the update server publishes a newer version than the running one.
#ifndef VD_UPDATE_PANELCHECKVERSION_H
#define VD_UPDATE_PANELCHECKVERSION_H

#include <QDialog>
#include <QString>

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

private slots:
    void on_buttonNo_clicked();
    void on_buttonYes_clicked();

private:
    friend struct PanelCheckVersionTestAccess;

    Ui_PanelCheckVersion* ui;
    QWidget* mainWindow;
    QString downloadUrl;  // the page "Tak" opens; kept from the last version file that named one
};

#endif
