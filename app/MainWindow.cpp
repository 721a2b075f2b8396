#include "app/MainWindow.h"
#include "app/MainWindow_internal.h"

#include "ui_MainWindow.h"

#include "app/AboutDialog.h"
#include "app/MessageBoxConfirm.h"
#include "app/MessageBoxProgress.h"
#include "app/ReportFile_internal.h"
#include "update/RuntimeParams.h"
#include "update/PanelCheckVersion.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QMessageBox>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTextCodec>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "plist/Plist.h"
#include "token/cardlib.h"

MessageBoxConfirm* messageBoxConfirm = nullptr;
MessageBoxProgress* messageBoxProgress = nullptr;
int (*loadProfileLibrariesCall)(LibraryLoadReport* report) = LoadProfileLibraries;

namespace {

// Handed all zero to the card layer; nothing reads it afterwards.
LibraryLoadReport libraryLoadReport;

// How long closing the window or "Zakończ" waits for a running report.
const int kCloseWaitMs = 2000;

std::string applicationFile(const char* name)
{
    return (QCoreApplication::applicationDirPath() + QString::fromUtf8(name)).toUtf8().toStdString();
}

// Ends the program while a report is still stuck inside a call to the
// PC/SC service, which the worker's thread cannot be taken out of. The
// ordinary way out is closed: the window's destructor waits for the report,
// and the application object's for every thread of the global pool, so both
// for that thread, for good. exit() would still run the static destructors
// and exit handlers (the reader layer's port table, the toolkit's globals)
// under a thread that may wake inside them. So the output buffers are
// flushed and the process ends at once; the daemon drops the process's
// connections when it is gone.
[[noreturn]] void endDuringReport()
{
    std::fflush(nullptr);
    std::quick_exit(0);
}

} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent, Qt::WindowFlags()), ui(new Ui_MainWindow), watcher(nullptr), panelCheckVersion(nullptr),
      startupFailed_(false)
{
    ui->setupUi(this);
    setFixedSize(frameGeometry().width(), frameGeometry().height());

    QCoreApplication::setOrganizationName(QStringLiteral("KVT"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("kvt.example.org"));
    QCoreApplication::setApplicationName(QStringLiteral("Vantrelon Diagnostic"));
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));

    QSystemTrayIcon* trayIcon = new QSystemTrayIcon(this);
    trayIcon->setContextMenu(ui->menu);
    trayIcon->setIcon(QIcon(QStringLiteral(":/Vantrelon Diagnostic.png")));
    trayIcon->setVisible(true);

    appVersion = QStringLiteral("1.x.x");
    readProgramVersion();
    readConfiguration();

    panelCheckVersion = new PanelCheckVersion(this);

    memset(&libraryLoadReport, 0, sizeof libraryLoadReport);
    if (loadProfileLibrariesCall(&libraryLoadReport) != 0) {
        MessageBoxConfirm* box = new MessageBoxConfirm(nullptr);
        box->ShowMessage("Błąd aplikacji", "Błąd inicjalizacji biblioteki obsługi kart.",
                         "Wciśnięcie Ok zakończy aplikację...");
        delete box;
        startupFailed_ = true;
        return;
    }

    // Never shown, only closed after each report: its texts are placeholders.
    messageBoxProgress = new MessageBoxProgress(this, "diag", "aaaa", "bbbb");
    messageBoxConfirm = new MessageBoxConfirm(this);
    watcher = nullptr;

    ui->pbDiagProgress->hide();
    ui->bSaveReport->setEnabled(false);

    centreOnScreen();
    connectReportSignals();

    // Last, before the window is shown: a newer version is offered (and
    // answered) before the window appears.
    panelCheckVersion->CheckVersion(this);
}

MainWindow::~MainWindow()
{
    waitForReport(-1);
    delete watcher;
    delete ui;
    if (messageBoxConfirm != nullptr && messageBoxConfirm->parent() == this)
        messageBoxConfirm = nullptr;
    if (messageBoxProgress != nullptr && messageBoxProgress->parent() == this)
        messageBoxProgress = nullptr;
}

void MainWindow::readProgramVersion()
{
    try {
        Plist::Dictionary info;
        Plist::readDictionaryFromFile(applicationFile("/Info.plist").c_str(), info);
        appVersion = QString::fromStdString(boost::any_cast<std::string>(info.at("CFBundleShortVersionString")));
    } catch (const std::exception&) {
        // No usable version: "1.x.x" stays.
    }
}

void MainWindow::readConfiguration()
{
    Plist::Dictionary configuration;
    try {
        Plist::readDictionaryFromFile(applicationFile("/VantrelonDiagnostic.xml").c_str(), configuration);
    } catch (const std::exception&) {
        return;  // the update check stays off
    }
    ApplyConfiguration(configuration, runtimeParams);
}

void MainWindow::centreOnScreen()
{
    // Inclusive rectangle edges; the screen's own origin does not enter.
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QRect window = geometry();
    move((screen.right() - screen.left()) / 2 - (window.right() - window.left()) / 2,
         (screen.bottom() - screen.top()) / 2 - (window.bottom() - window.top()) / 2);
}

void MainWindow::connectReportSignals()
{
    AttrQTextBrowser* view = ui->tbDiagnostic;
    connect(this, qOverload<QString>(&MainWindow::signalGUI_append), view,
            qOverload<QString>(&AttrQTextBrowser::append));
    connect(this, qOverload<QByteArray>(&MainWindow::signalGUI_append), view,
            qOverload<QByteArray>(&AttrQTextBrowser::append));
    connect(this, qOverload<QString, bool>(&MainWindow::signalGUI_append), view,
            qOverload<QString, bool>(&AttrQTextBrowser::append));
    connect(this, qOverload<QByteArray, bool>(&MainWindow::signalGUI_append), view,
            qOverload<QByteArray, bool>(&AttrQTextBrowser::append));
    connect(this, qOverload<QString, QByteArray, int, QColor, bool>(&MainWindow::signalGUI_append), view,
            qOverload<QString, QByteArray, int, QColor, bool>(&AttrQTextBrowser::append));
    connect(this, qOverload<QByteArray, QByteArray, int, QColor, bool>(&MainWindow::signalGUI_append), view,
            qOverload<QByteArray, QByteArray, int, QColor, bool>(&AttrQTextBrowser::append));
    connect(this, &MainWindow::signalGUI_setCurrentColor, view, &AttrQTextBrowser::setCurrentColor);
}

bool MainWindow::waitForReport(int timeoutMs)
{
    if (watcher == nullptr)
        return true;
    if (timeoutMs < 0) {
        watcher->waitForFinished();
        return true;
    }
    // The future's own state: the watcher learns of the end only through
    // an event, and none is handled here.
    const QFuture<void> report = watcher->future();
    QElapsedTimer clock;
    clock.start();
    while (!report.isFinished()) {
        if (clock.elapsed() >= timeoutMs)
            return false;
        QThread::msleep(5);
    }
    return true;
}

void MainWindow::CompleteDoDiagnosticConcurrent()
{
    ui->tbDiagnostic->update();
    ui->tbDiagnostic->viewport()->repaint();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QThread::msleep(1);
    ui->pbDiagProgress->hide();
    ui->lStatus->setText(QStringLiteral("Włóż kartę do czytnika i wciśnij 'Generuj raport'"));
    ui->bSaveReport->setEnabled(true);
    ui->bGenerateReport->setEnabled(true);
}

void MainWindow::CompleteDoShowProgressBarConcurrent()
{
}

// Uncalled on purpose: the busy bar (maximum 0) runs by itself, and this
// loop would hold a thread of the report's pool for good.
void MainWindow::DoShowProgressBarConcurrent()
{
    ui->pbDiagProgress->show();
    for (;;)
        QThread::msleep(100);
}

void MainWindow::on_bGenerateReport_clicked()
{
    if (watcher != nullptr) {
        waitForReport(-1);
        delete watcher;
        watcher = nullptr;
    }
    watcher = new QFutureWatcher<void>();
    connect(watcher, &QFutureWatcher<void>::finished, messageBoxProgress, &MessageBoxProgress::EndDialog);
    connect(watcher, &QFutureWatcher<void>::finished, this, &MainWindow::CompleteDoDiagnosticConcurrent);

    ui->pbDiagProgress->show();
    ui->bSaveReport->setEnabled(false);
    ui->bGenerateReport->setEnabled(false);
    ui->lStatus->setText(QStringLiteral("Trwa generacja raportu. Czekaj..."));
    ui->tbDiagnostic->clear();

    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), this, &MainWindow::DoDiagnosticConcurrent));
}

namespace {

// The name the report is written under: one without a suffix gets ".rtf".
QString reportFileName(const QString& chosen)
{
    if (QFileInfo(chosen).suffix().isEmpty())
        return chosen + QCoreApplication::translate("MainWindow", ".rtf");
    return chosen;
}

// The toolkit's dialog adds its default suffix only to a typed name without
// any dot, and asks its replace question about the name it returns. A name
// that still has no suffix ("raport.") is written with ".rtf" after it, so the
// question about that name is asked here, in the same words, and "No" leaves
// the dialog open as the toolkit's own "No" does.
class ReportFileDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    void accept() override
    {
        const QString chosen = selectedFiles().value(0);
        const QString written = reportFileName(chosen);
        const bool renamed = written != chosen && !QFileInfo(chosen).isDir();
        if (renamed && QFileInfo::exists(written) &&
            QMessageBox::warning(this, windowTitle(),
                                 QFileDialog::tr("%1 already exists.\nDo you want to replace it?")
                                     .arg(QFileInfo(written).fileName()),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
            return;
        setOption(QFileDialog::DontConfirmOverwrite, renamed);
        QFileDialog::accept();
    }
};

} // namespace

void MainWindow::on_bSaveReport_clicked()
{
    // The toolkit's own dialog everywhere: a desktop's native dialog asks
    // its replace question before the suffix is added.
    ReportFileDialog dialog(this, tr("Zapis raportu diagnostycznego do pliku"), QStringLiteral("."),
                            tr("Vantrelon Diagnostic (*.rtf *.RTF)"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(tr(".rtf"));  // the toolkit drops the dot
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QString name = reportFileName(dialog.selectedFiles().value(0));
    if (!WriteReportFile(name, ui->tbDiagnostic->document()->toPlainText()))
        messageBoxConfirm->ShowMessage("Błąd operacji", "Błąd utworzenia pliku z raportem diagnostycznym.", "");
}

void MainWindow::on_actionO_programie_triggered()
{
    // A box of its own per use, gone as soon as it has been closed.
    AboutDialog about(this, appVersion);
    about.setWindowFlags(about.windowFlags() | Qt::WindowStaysOnTopHint);
    about.exec();
}

void MainWindow::on_actionZako_cz_triggered()
{
    if (!waitForReport(kCloseWaitMs))
        endDuringReport();
    CloseReaderPort();
    QCoreApplication::quit();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!waitForReport(kCloseWaitMs))
        endDuringReport();
    CloseReaderPort();
    event->accept();
}
