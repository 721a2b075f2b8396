// The program's one top-level window: start-up, report generation, saving,
// about box and shut-down.
#ifndef VD_APP_MAINWINDOW_H
#define VD_APP_MAINWINDOW_H

#include <QByteArray>
#include <QColor>
#include <QFutureWatcher>
#include <QMainWindow>
#include <QString>

class Ui_MainWindow;
class QCloseEvent;
class MessageBoxConfirm;
class MessageBoxProgress;
class PanelCheckVersion;

// The window's general message box and the (never shown) progress box, both
// children of the window; null while no window exists.
extern MessageBoxConfirm* messageBoxConfirm;
extern MessageBoxProgress* messageBoxProgress;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // True when the card layer could not be initialised: the user has been
    // told, and the program must end with status 1 without showing the window.
    bool startupFailed() const { return startupFailed_; }

    // The report worker: builds one whole report on a thread-pool thread and
    // sends every piece of it through the signals below.
    void DoDiagnosticConcurrent();
    void DoShowProgressBarConcurrent();

    QString appVersion;

signals:
    // The byte-array overloads carry UTF-8 text by value; a null array reads
    // as empty. Text emitted from the worker can never change afterwards.
    void signalGUI_append(QString text);
    void signalGUI_append(QByteArray text);
    void signalGUI_append(QString text, bool bold);
    void signalGUI_append(QByteArray text, bool bold);
    void signalGUI_append(QString text, QByteArray fontName, int fontSize, QColor color, bool bold);
    void signalGUI_append(QByteArray text, QByteArray fontName, int fontSize, QColor color, bool bold);
    void signalGUI_setCurrentColor(QColor color);

public slots:
    void CompleteDoDiagnosticConcurrent();
    void CompleteDoShowProgressBarConcurrent();

private slots:
    void on_bGenerateReport_clicked();
    void on_bSaveReport_clicked();
    void on_actionO_programie_triggered();
    void on_actionZako_cz_triggered();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void readProgramVersion();
    void readConfiguration();
    void centreOnScreen();
    void connectReportSignals();
    // Waits until a running report has returned, so that nothing the worker
    // uses (the card layer's port, this window) goes away under it: for
    // good with a negative timeoutMs, otherwise for at most timeoutMs. False
    // when the report was still running at the end.
    bool waitForReport(int timeoutMs);

    Ui_MainWindow* ui;
    QFutureWatcher<void>* watcher;
    PanelCheckVersion* panelCheckVersion;  // the start-up update dialog, a child of the window
    bool startupFailed_;
};

#endif
