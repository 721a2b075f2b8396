// The main window and its dialogs under the offscreen platform: forms,
// start-up sequence, report lifecycle, saving, about box and shut-down.
#include "app/AboutDialog.h"
#include "app/AttrQTextBrowser.h"
#include "app/MainWindow.h"
#include "app/MainWindow_internal.h"
#include "app/MessageBoxConfirm.h"
#include "app/MessageBoxProgress.h"
#include "app/MessageBoxProgress_internal.h"
#include "app/ReportFile_internal.h"
#include "update/RuntimeParams.h"

#include "tests/support/qt/QtTestSupport.h"
#include "tests/support/testkit/testkit.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGraphicsView>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTextCodec>
#include <QThreadPool>
#include <QWindow>

#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::string AppDir()
{
    return QCoreApplication::applicationDirPath().toStdString();
}

using testkit::ReadFile;
using testkit::WriteFile;
using testkit::XmlPlist;

std::string Fixture(const char* name)
{
    return ReadFile(std::string(VD_APP_FIXTURES) + "/" + name);
}

// Every window test starts from an application directory that holds exactly
// the files the test names, and from a zeroed configuration record.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setFiles(nullptr, nullptr);
        memset(&runtimeParams, 0, sizeof runtimeParams);
    }
    void TearDown() override
    {
        setFiles(nullptr, nullptr);
        loadProfileLibrariesCall = LoadProfileLibraries;
        beforeClosingLineCall = nullptr;  // the test's window, and so its report, is gone
    }
    static void setFiles(const std::string* info, const std::string* config)
    {
        const std::string infoPath = AppDir() + "/Info.plist";
        const std::string configPath = AppDir() + "/VantrelonDiagnostic.xml";
        unlink(infoPath.c_str());
        unlink(configPath.c_str());
        if (info != nullptr)
            WriteFile(infoPath, *info);
        if (config != nullptr)
            WriteFile(configPath, *config);
    }
};

struct WidgetRow {
    const char* name;
    const char* className;
    QRect geometry;
    const char* text;  // nullptr: no text to check
};

void CheckWidgets(QWidget& window, const std::vector<WidgetRow>& rows)
{
    for (const WidgetRow& row : rows) {
        QWidget* widget = window.findChild<QWidget*>(QString::fromLatin1(row.name));
        ASSERT_NE(widget, nullptr) << row.name;
        EXPECT_STREQ(widget->metaObject()->className(), row.className) << row.name;
        EXPECT_EQ(widget->geometry(), row.geometry) << row.name;
        if (row.text == nullptr)
            continue;
        QString text;
        if (auto* label = qobject_cast<QLabel*>(widget))
            text = label->text();
        else if (auto* button = qobject_cast<QPushButton*>(widget))
            text = button->text();
        EXPECT_EQ(text, QString::fromUtf8(row.text)) << row.name;
    }
}

// ---------------------------------------------------------------------------
// Forms
// ---------------------------------------------------------------------------

TEST_F(WindowTest, MainWindowForm)
{
    MainWindow window;
    EXPECT_EQ(window.objectName(), "MainWindow");
    EXPECT_EQ(window.windowTitle(), "Vantrelon Diagnostic");
    EXPECT_EQ(window.windowModality(), Qt::ApplicationModal);
    EXPECT_EQ(window.minimumSize(), QSize(508, 400));
    EXPECT_EQ(window.maximumSize(), QSize(508, 400));
    EXPECT_EQ(window.locale().language(), QLocale::Polish);
    EXPECT_EQ(window.locale().country(), QLocale::Poland);
    EXPECT_FALSE(window.windowIcon().isNull());

    CheckWidgets(window, {
        {"tbDiagnostic", "AttrQTextBrowser", QRect(20, 40, 468, 271), nullptr},
        {"lStatus", "QLabel", QRect(20, 10, 351, 16), "Włóż kartę do czytnika i wciśnij 'Generuj raport'"},
        {"bGenerateReport", "QPushButton", QRect(376, 10, 112, 23), "Generuj raport"},
        {"bSaveReport", "QPushButton", QRect(202, 346, 112, 23), "Zapisz raport"},
        {"pbDiagProgress", "QProgressBar", QRect(20, 320, 468, 16), nullptr},
        {"menuBar", "QMenuBar", QRect(0, 0, 508, 20), nullptr},
    });
    auto* bar = Child<QProgressBar>(window, "pbDiagProgress");
    EXPECT_EQ(bar->maximum(), 0);
    EXPECT_TRUE(bar->isHidden());
    EXPECT_FALSE(Child<QPushButton>(window, "bSaveReport")->isEnabled());
    EXPECT_TRUE(Child<QPushButton>(window, "bGenerateReport")->isEnabled());
    EXPECT_EQ(Child<QWidget>(window, "centralWidget"), window.centralWidget());
    EXPECT_EQ(Child<QMenuBar>(window, "menuBar"), window.menuBar());

    auto* menu = Child<QMenu>(window, "menu");
    EXPECT_EQ(menu->title(), "Menu");
    const QList<QAction*> actions = menu->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[0]->objectName(), "actionO_programie");
    EXPECT_EQ(actions[0]->text(), "O programie");
    EXPECT_TRUE(actions[1]->isSeparator());
    EXPECT_EQ(actions[2]->objectName(), "actionZako_cz");
    EXPECT_EQ(actions[2]->text(), QString::fromUtf8("Zakończ"));
    ASSERT_EQ(window.menuBar()->actions().size(), 1);
    EXPECT_EQ(window.menuBar()->actions()[0], menu->menuAction());

    // The tray icon offers the same menu and the application image.
    const QList<QSystemTrayIcon*> trays = window.findChildren<QSystemTrayIcon*>();
    ASSERT_EQ(trays.size(), 1);
    EXPECT_EQ(trays[0]->contextMenu(), menu);
    const QImage application = QPixmap(":/Vantrelon Diagnostic.png").toImage();
    ASSERT_FALSE(application.isNull());
    EXPECT_EQ(trays[0]->icon().pixmap(QSize(256, 256)).toImage().convertToFormat(application.format()), application);
    EXPECT_EQ(window.windowIcon().pixmap(QSize(256, 256)).toImage().convertToFormat(application.format()),
              application);

    EXPECT_EQ(QCoreApplication::organizationName(), "KVT");
    EXPECT_EQ(QCoreApplication::applicationName(), "Vantrelon Diagnostic");
    EXPECT_FALSE(QCoreApplication::organizationDomain().isEmpty());
    EXPECT_EQ(QTextCodec::codecForLocale()->name(), "UTF-8");
}

// Runs on the offscreen platform (800 x 600) and again under an X server
// with a 1920 x 1080 screen; either way the screen must be one of these.
TEST_F(WindowTest, MainWindowIsCentredOnTheScreen)
{
    struct Placement {
        QSize screen;
        QPoint position;
    };
    const Placement placements[] = {{QSize(800, 600), QPoint(146, 100)}, {QSize(1920, 1080), QPoint(706, 340)}};
    MainWindow window;
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    const Placement* expected = nullptr;
    for (const Placement& placement : placements) {
        if (placement.screen == screen)
            expected = &placement;
    }
    ASSERT_NE(expected, nullptr) << "screen " << screen.width() << "x" << screen.height();
    EXPECT_EQ(window.pos(), expected->position);
    EXPECT_EQ(window.size(), QSize(508, 400));
}

TEST(DialogForms, MessageBoxConfirm)
{
    MessageBoxConfirm box(nullptr);
    EXPECT_EQ(box.objectName(), "MessageBoxConfirm");
    EXPECT_EQ(box.windowTitle(), "Dialog");
    EXPECT_TRUE(box.isModal());
    EXPECT_EQ(box.windowModality(), Qt::ApplicationModal);
    EXPECT_EQ(box.minimumSize(), QSize(320, 160));
    EXPECT_EQ(box.maximumSize(), QSize(320, 160));
    CheckWidgets(box, {{"lMainText", "QLabel", QRect(10, 20, 301, 36), "TextLabel"},
                       {"lAdditionalText", "QLabel", QRect(6, 60, 311, 36), "TextLabel"},
                       {"bOk", "QPushButton", QRect(120, 120, 80, 23), "Ok"}});
    for (const char* name : {"lMainText", "lAdditionalText"}) {
        EXPECT_EQ(Child<QLabel>(box, name)->alignment(), Qt::AlignCenter) << name;
        EXPECT_TRUE(Child<QLabel>(box, name)->wordWrap()) << name;
    }
}

TEST(DialogForms, MessageBoxProgress)
{
    MessageBoxProgress box(nullptr, "diag", "aaaa", "bbbb");
    EXPECT_EQ(box.objectName(), "MessageBoxProgress");
    EXPECT_EQ(box.windowTitle(), "Dialog");
    EXPECT_TRUE(box.isModal());
    EXPECT_EQ(box.windowModality(), Qt::ApplicationModal);
    EXPECT_EQ(box.minimumSize(), QSize(320, 160));
    EXPECT_EQ(box.maximumSize(), QSize(320, 160));
    CheckWidgets(box, {{"pbProgress", "QProgressBar", QRect(14, 100, 291, 23), nullptr},
                       {"lMainText", "QLabel", QRect(6, 20, 311, 36), "TextLabel"},
                       {"lAdditionalText", "QLabel", QRect(6, 60, 311, 36), "TextLabel"}});
    for (const char* name : {"lMainText", "lAdditionalText"})
        EXPECT_TRUE(Child<QLabel>(box, name)->wordWrap()) << name;
    EXPECT_EQ(Child<QProgressBar>(box, "pbProgress")->maximum(), 0);
    EXPECT_STREQ(MessageBoxProgressTestAccess::Title(box), "diag");
    EXPECT_STREQ(MessageBoxProgressTestAccess::MainText(box), "aaaa");
    EXPECT_STREQ(MessageBoxProgressTestAccess::AdditionalText(box), "bbbb");
    // Closing a box that was never shown shows nothing.
    box.EndDialog();
    EXPECT_FALSE(box.isVisible());
}

TEST(DialogForms, AboutDialog)
{
    AboutDialog about(nullptr, QStringLiteral("1.x.x"));
    EXPECT_EQ(about.objectName(), "AboutDialog");
    EXPECT_EQ(about.windowTitle(), "O programie");
    EXPECT_TRUE(about.isModal());
    EXPECT_EQ(about.windowModality(), Qt::ApplicationModal);
    EXPECT_EQ(about.minimumSize(), QSize(260, 241));
    EXPECT_EQ(about.maximumSize(), QSize(260, 241));
    // ":/cm.ico" is not among the resources: the box has no icon of its own.
    EXPECT_TRUE(about.windowIcon().pixmap(QSize(16, 16)).isNull());
    CheckWidgets(about, {{"graphicsView", "QGraphicsView", QRect(100, 10, 60, 60), nullptr},
                         {"lAppName", "QLabel", QRect(0, 80, 261, 21), "Vantrelon Diagnostic"},
                         {"lAppVersion", "QLabel", QRect(0, 100, 261, 20), "1.x.x"},
                         {"pushButton", "QPushButton", QRect(90, 206, 80, 23), "Ok"},
                         {"lCopyright1", "QLabel", QRect(0, 150, 261, 16), nullptr},
                         {"lCopyRight3", "QLabel", QRect(0, 170, 261, 16), "All rights reserved"}});
    auto* name = Child<QLabel>(about, "lAppName");
    EXPECT_EQ(name->font().pointSize(), 12);
    EXPECT_EQ(name->font().weight(), QFont::Bold);
    EXPECT_EQ(name->font().family(), "Sans Serif");
    EXPECT_EQ(Child<QLabel>(about, "lAppVersion")->alignment(), Qt::AlignCenter);
    EXPECT_EQ(Child<QLabel>(about, "lCopyright1")->font().pointSize(), 8);
    EXPECT_EQ(Child<QLabel>(about, "lCopyRight3")->font().pointSize(), 8);
    EXPECT_FALSE(Child<QLabel>(about, "lCopyright1")->text().isEmpty());
    EXPECT_TRUE(Child<QPushButton>(about, "pushButton")->isDefault());

    auto* view = Child<QGraphicsView>(about, "graphicsView");
    EXPECT_EQ(view->frameShape(), QFrame::NoFrame);
    EXPECT_EQ(view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(view->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_TRUE(view->autoFillBackground());
    EXPECT_EQ(view->layoutDirection(), Qt::LeftToRight);
    EXPECT_EQ(view->styleSheet(), "QGraphicsView { border-style: none; background: transparent}");
    ASSERT_NE(view->scene(), nullptr);
    // The 256 x 256 image is in the scene, fitted and then scaled by 1.8.
    EXPECT_EQ(view->scene()->itemsBoundingRect().size(), QSizeF(256, 256));
    const qreal scale = view->transform().m11();
    EXPECT_GT(scale, 0.0);
    EXPECT_NEAR(view->transform().m22(), scale, 1e-9);
    // Before the 1.8 scaling the image fitted inside the 60 x 60 view.
    EXPECT_LE(scale * 256 / 1.8, 60.0 + 1e-6);
}

TEST(Resources, ImagesArePresentAndIconsAbsent)
{
    EXPECT_EQ(QPixmap(":/cm.png").size(), QSize(32, 32));
    EXPECT_EQ(QPixmap(":/Vantrelon Diagnostic.png").size(), QSize(256, 256));
    EXPECT_FALSE(QFile::exists(":/cm.ico"));
    EXPECT_FALSE(QFile::exists(":/icon_64x64.ico"));
}

// ---------------------------------------------------------------------------
// Message boxes
// ---------------------------------------------------------------------------

// Text fits are measured in what a desktop user sees, a 9-point face; the
// offscreen platform's own default is 12 points.
class DesktopFont {
public:
    DesktopFont() : saved_(QApplication::font()) { QApplication::setFont(QFont("DejaVu Sans", 9)); }
    ~DesktopFont() { QApplication::setFont(saved_); }

private:
    QFont saved_;
};

// Both lines of a shown message box hold their whole text: laid out the way
// the label lays it out, the text needs no more room than the label has.
void ExpectLinesFit(QWidget* box)
{
    for (const char* name : {"lMainText", "lAdditionalText"}) {
        auto* label = box->findChild<QLabel*>(name);
        ASSERT_NE(label, nullptr) << name;
        EXPECT_EQ(QFontInfo(label->font()).pointSize(), 9) << name;
        const QRect room = label->contentsRect();
        const int flags = static_cast<int>(label->alignment()) | (label->wordWrap() ? Qt::TextWordWrap : 0);
        const QRect needed = QFontMetrics(label->font()).boundingRect(room, flags, label->text());
        EXPECT_TRUE(room.contains(needed))
            << name << " \"" << label->text().toStdString() << "\" needs " << needed.width() << "x"
            << needed.height() << " in " << room.width() << "x" << room.height();
    }
}

// Under an X server the test that shows the save-error box also leaves a
// picture of it, as the server drew it, where VD_APP_BOX_SCREENSHOT says.
void SaveScreenshot(QWidget* box)
{
    const char* path = getenv("VD_APP_BOX_SCREENSHOT");
    if (path == nullptr)
        return;
    QWindow* window = box->windowHandle();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(WaitUntil([window] { return window->isExposed(); }, 10000));
    box->repaint();
    QCoreApplication::processEvents();
    const QPixmap shot = window->screen()->grabWindow(box->winId());
    EXPECT_EQ(shot.size(), QSize(320, 160));
    EXPECT_TRUE(shot.save(QString::fromUtf8(path), "PNG")) << path;
}

struct MessageCase {
    const char* name;
    const char* title;
    const char* main;
    const char* additional;
};
void PrintTo(const MessageCase& c, std::ostream* os)
{
    *os << c.name;
}


class ConfirmTexts : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ConfirmTexts, ShowsTextsOnTopWithoutCloseButton)
{
    const MessageCase& c = GetParam();
    MessageBoxConfirm box(nullptr);
    QString title, main, additional;
    Qt::WindowFlags flags;
    ModalDriver driver([&](QWidget* modal) {
        title = modal->windowTitle();
        main = modal->findChild<QLabel*>("lMainText")->text();
        additional = modal->findChild<QLabel*>("lAdditionalText")->text();
        flags = modal->windowFlags();
        modal->findChild<QPushButton*>("bOk")->click();
    });
    box.ShowMessage(c.title, c.main, c.additional);
    ASSERT_TRUE(driver.handled());
    EXPECT_EQ(title, QString::fromUtf8(c.title));
    EXPECT_EQ(main, QString::fromUtf8(c.main));
    EXPECT_EQ(additional, QString::fromUtf8(c.additional));
    EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(box.isVisible());
}

INSTANTIATE_TEST_SUITE_P(Texts, ConfirmTexts,
                         ::testing::Values(MessageCase{"polish", "Błąd operacji",
                                                       "Błąd utworzenia pliku z raportem diagnostycznym.", ""},
                                           MessageCase{"nulls", nullptr, nullptr, nullptr},
                                           MessageCase{"mixed", "T", nullptr, "Wciśnięcie Ok zakończy aplikację..."}),
                         [](const ::testing::TestParamInfo<MessageCase>& info) { return std::string(info.param.name); });

TEST(ProgressBox, MessageShowsStoredTextsAndEndDialogCloses)
{
    QWidget parent;
    MessageBoxProgress box(&parent, "diag", "aaaa", "bbbb");
    box.SetMessage("Tytuł", "Pierwsza", nullptr);
    QString title, main, additional;
    ModalDriver driver([&](QWidget* modal) {
        title = modal->windowTitle();
        main = modal->findChild<QLabel*>("lMainText")->text();
        additional = modal->findChild<QLabel*>("lAdditionalText")->text();
        QMetaObject::invokeMethod(modal, "EndDialog");
    });
    box.Message();
    ASSERT_TRUE(driver.handled());
    EXPECT_EQ(title, QString::fromUtf8("Tytuł"));
    EXPECT_EQ(main, "Pierwsza");
    EXPECT_EQ(additional, "");
    EXPECT_EQ(box.parentWidget(), &parent);
    EXPECT_FALSE(box.isVisible());
}

TEST(ProgressBox, LongTextsAreCutToWholeCharacters)
{
    std::string longText;
    for (int i = 0; i < 100; ++i)
        longText += "ż";
    MessageBoxProgress box(nullptr, longText.c_str(), std::string(300, 'x').c_str(), nullptr);
    const char* title = MessageBoxProgressTestAccess::Title(box);
    EXPECT_EQ(strlen(title), 126u);
    EXPECT_TRUE(QString::fromUtf8(title).toUtf8() == QByteArray(title));
    EXPECT_EQ(strlen(MessageBoxProgressTestAccess::MainText(box)), 127u);
    EXPECT_STREQ(MessageBoxProgressTestAccess::AdditionalText(box), "");
}

// ---------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------

struct StartupCase {
    const char* name;
    std::string info;     // "" = no file
    std::string config;   // "" = no file
    QString version;
    bool check;
    std::string url;
};
void PrintTo(const StartupCase& c, std::ostream* os)
{
    *os << c.name;
}


class Startup : public WindowTest, public ::testing::WithParamInterface<StartupCase> {};

TEST_P(Startup, VersionAndConfiguration)
{
    const StartupCase& c = GetParam();
    setFiles(c.info.empty() ? nullptr : &c.info, c.config.empty() ? nullptr : &c.config);
    MainWindow window;
    EXPECT_FALSE(window.startupFailed());
    EXPECT_EQ(window.appVersion, c.version);
    EXPECT_EQ(runtimeParams.checkLatestVersion, c.check);
    EXPECT_EQ(std::string(runtimeParams.versionFileUrl), c.url);
}

const std::string kUrl = "http://127.0.0.1:9/wersja.plist";

std::vector<StartupCase> StartupCases()
{
    const std::string infoXml = XmlPlist("<key>CFBundleShortVersionString</key><string>4.2.0</string>\n");
    const std::string on = "<key>CheckLatestVersion</key><true/>\n";
    const std::string off = "<key>CheckLatestVersion</key><false/>\n";
    const std::string url = "<key>VersionFileUrl</key><string>" + kUrl + "</string>\n";
    return {
        {"nothing", "", "", "1.x.x", false, ""},
        {"xml_info_and_config", infoXml, XmlPlist(on + url), "4.2.0", true, kUrl},
        {"binary_info_and_config", Fixture("info-binary.plist"), Fixture("config-binary.plist"), "2.5.1", true,
         "http://127.0.0.1:9/wersja.plist"},
        {"version_not_a_string", XmlPlist("<key>CFBundleShortVersionString</key><integer>5</integer>\n"), "",
         "1.x.x", false, ""},
        {"version_key_missing", XmlPlist("<key>CFBundleName</key><string>x</string>\n"), "", "1.x.x", false, ""},
        {"info_not_a_plist", "this is not a property list", "", "1.x.x", false, ""},
        {"check_on_without_address", infoXml, XmlPlist(on), "4.2.0", true, ""},
        {"check_off_with_address", infoXml, XmlPlist(off + url), "4.2.0", false, ""},
        {"check_as_string", infoXml, XmlPlist("<key>CheckLatestVersion</key><string>true</string>\n" + url),
         "4.2.0", false, ""},
        {"address_of_wrong_type", infoXml, XmlPlist(on + "<key>VersionFileUrl</key><integer>1</integer>\n"),
         "4.2.0", true, ""},
        {"address_too_long", infoXml,
         XmlPlist(on + "<key>VersionFileUrl</key><string>" + std::string(256, 'u') + "</string>\n"), "4.2.0", false,
         ""},
        {"config_broken", infoXml, "<plist><dict><key>CheckLatestVersion</key><true/>", "4.2.0", false, ""},
        {"config_root_array", infoXml,
         "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><true/></array></plist>", "4.2.0", false, ""},
    };
}

INSTANTIATE_TEST_SUITE_P(Files, Startup, ::testing::ValuesIn(StartupCases()),
                         [](const ::testing::TestParamInfo<StartupCase>& info) { return std::string(info.param.name); });

int FailingLoad(LibraryLoadReport*)
{
    return -1;
}

TEST_F(WindowTest, CardLayerFailureStopsStartUpAfterTheBox)
{
    loadProfileLibrariesCall = FailingLoad;
    DesktopFont font;
    QString title, main, additional;
    ModalDriver driver([&](QWidget* modal) {
        title = modal->windowTitle();
        main = modal->findChild<QLabel*>("lMainText")->text();
        additional = modal->findChild<QLabel*>("lAdditionalText")->text();
        EXPECT_EQ(modal->parentWidget(), nullptr);
        ExpectLinesFit(modal);
        modal->findChild<QPushButton*>("bOk")->click();
    });
    MainWindow window;
    ASSERT_TRUE(driver.handled());
    EXPECT_TRUE(window.startupFailed());
    EXPECT_EQ(title, QString::fromUtf8("Błąd aplikacji"));
    EXPECT_EQ(main, QString::fromUtf8("Błąd inicjalizacji biblioteki obsługi kart."));
    EXPECT_EQ(additional, QString::fromUtf8("Wciśnięcie Ok zakończy aplikację..."));
    // The rest of start-up did not run, and the box is gone.
    EXPECT_TRUE(window.findChildren<MessageBoxConfirm*>().isEmpty());
    EXPECT_TRUE(window.findChildren<MessageBoxProgress*>().isEmpty());
    EXPECT_FALSE(window.isVisible());
    for (QWidget* top : QApplication::topLevelWidgets())
        EXPECT_EQ(qobject_cast<MessageBoxConfirm*>(top), nullptr);
}

// ---------------------------------------------------------------------------
// Report signals and lifecycle
// ---------------------------------------------------------------------------

TEST_F(WindowTest, SignalsFromAnotherThreadArriveInOrderByValue)
{
    MainWindow window;
    auto* view = Child<AttrQTextBrowser>(window, "tbDiagnostic");
    std::thread worker([&window]() {
        char buffer[32];
        strcpy(buffer, "raz ");
        emit window.signalGUI_setCurrentColor(QColor("black"));
        emit window.signalGUI_append(QByteArray(buffer));
        strcpy(buffer, "XXXX");  // reused at once
        emit window.signalGUI_append(QString("dwa "), true);
        strcpy(buffer, "trzy ");
        emit window.signalGUI_append(QByteArray(buffer), false);
        strcpy(buffer, "ZZZZZ");
        emit window.signalGUI_append(QString("cztery "), QByteArray(), -1, QColor("blue"), true);
        strcpy(buffer, "pięć ");
        emit window.signalGUI_append(QByteArray(buffer), QByteArray(), -1, QColor("red"), false);
        memset(buffer, 0, sizeof buffer);
        emit window.signalGUI_append(QString("sześć"));
    });
    worker.join();
    EXPECT_TRUE(view->toPlainText().isEmpty());  // nothing arrives before the GUI thread runs
    ASSERT_TRUE(WaitUntil([&] { return view->toPlainText().endsWith(QString::fromUtf8("sześć")); }));
    const std::vector<Fragment> expected = {{"raz ", "#000000", QFont::Normal},
                                            {"dwa ", "#000000", QFont::Bold},
                                            {"trzy ", "#000000", QFont::Normal},
                                            {"cztery ", "#0000ff", QFont::Bold},
                                            {"pięć ", "#ff0000", QFont::Normal},
                                            {"sześć", "#0000ff", QFont::Normal}};
    EXPECT_EQ(Describe(Fragments(view)), Describe(expected));
}

TEST_F(WindowTest, ReportLifecycle)
{
    MainWindow window;
    window.show();
    auto* generate = Child<QPushButton>(window, "bGenerateReport");
    auto* save = Child<QPushButton>(window, "bSaveReport");
    auto* bar = Child<QProgressBar>(window, "pbDiagProgress");
    auto* status = Child<QLabel>(window, "lStatus");
    auto* view = Child<AttrQTextBrowser>(window, "tbDiagnostic");
    EXPECT_FALSE(save->isEnabled());
    view->setPlainText("stale text");

    for (int round = 0; round < 2; ++round) {
        generate->click();
        // At once: both buttons off, busy bar and status, view cleared.
        EXPECT_FALSE(generate->isEnabled());
        EXPECT_FALSE(save->isEnabled());
        EXPECT_TRUE(bar->isVisible());
        EXPECT_EQ(status->text(), "Trwa generacja raportu. Czekaj...");
        EXPECT_TRUE(view->toPlainText().isEmpty()) << "round " << round;

        bool sawTitleWhileBusy = false;
        ASSERT_TRUE(WaitUntil([&] {
            if (!generate->isEnabled())
                sawTitleWhileBusy = sawTitleWhileBusy || !view->toPlainText().isEmpty();
            return generate->isEnabled();
        }, 60000));
        EXPECT_TRUE(sawTitleWhileBusy);
        EXPECT_TRUE(save->isEnabled());
        EXPECT_FALSE(bar->isVisible());
        EXPECT_EQ(status->text(), QString::fromUtf8("Włóż kartę do czytnika i wciśnij 'Generuj raport'"));
        const QString text = view->toPlainText();
        EXPECT_TRUE(text.startsWith("Raport programu diagnostycznego Vantrelon Diagnostic 1.x.x\n\n")) << text.toStdString();
        EXPECT_TRUE(text.endsWith("Koniec raportu diagnostycznego")) << text.toStdString();
        EXPECT_EQ(text.count("Koniec raportu diagnostycznego"), 1);
        view->append(QString("\nDOPISEK"));
    }
}

// Records, in the worker's own thread, the last text the worker emitted. The
// record is shared with the connection, so a worker still running when a
// failed test goes writes into it rather than into freed memory.
class LastEmission {
public:
    explicit LastEmission(MainWindow& window) : record_(std::make_shared<Record>())
    {
        std::shared_ptr<Record> record = record_;
        QObject::connect(&window, qOverload<QString, QByteArray, int, QColor, bool>(&MainWindow::signalGUI_append),
                         &window, [record](QString text, QByteArray, int, QColor, bool) {
                             std::lock_guard<std::mutex> lock(record->mutex);
                             record->last = text.toStdString();
                         }, Qt::DirectConnection);
    }
    std::string last() const
    {
        std::lock_guard<std::mutex> lock(record_->mutex);
        return record_->last;
    }

private:
    struct Record {
        std::mutex mutex;
        std::string last;
    };
    std::shared_ptr<Record> record_;
};

const char* const kClosingLine = "Koniec raportu diagnostycznego";

// Holds the report's worker just before the report's last line until the
// test opens the gate, so that what a close waits for is that line alone,
// however slow the machine is. Made before the report starts; it opens at
// the latest when it goes. The fixture takes the hook away once the test's
// window, and so its report, is gone.
class ClosingLineGate {
public:
    ClosingLineGate()
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        state().held = false;
        state().opened = false;
        beforeClosingLineCall = &ClosingLineGate::hold;
    }
    ~ClosingLineGate() { open(); }
    bool waitUntilHeld()
    {
        return WaitUntil([] {
            std::lock_guard<std::mutex> lock(state().mutex);
            return state().held;
        }, 60000);
    }
    void open()
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        state().opened = true;
        state().change.notify_all();
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable change;
        bool held = false;
        bool opened = false;
    };
    static State& state()
    {
        static State shared;
        return shared;
    }
    static void hold()
    {
        std::unique_lock<std::mutex> lock(state().mutex);
        state().held = true;
        state().change.wait(lock, [] { return state().opened; });
    }
};

// The program's window with its close and its destruction seen from inside:
// each opens the gate as it starts, before the window's own wait, and the
// close takes the last emission as soon as the window's own handler returns,
// so a close that did not wait has nearly no time to be saved by the worker.
class GatedWindow : public MainWindow {
public:
    explicit GatedWindow(ClosingLineGate& gate) : gate_(gate), probe_(*this) {}
    ~GatedWindow() override { gate_.open(); }
    std::string lastAtClose() const { return lastAtClose_; }

protected:
    void closeEvent(QCloseEvent* event) override
    {
        gate_.open();
        MainWindow::closeEvent(event);
        lastAtClose_ = probe_.last();
    }

private:
    ClosingLineGate& gate_;
    LastEmission probe_;
    std::string lastAtClose_;
};

void PressGenerate(MainWindow& window)
{
    Child<QPushButton>(window, "bGenerateReport")->click();
}

TEST_F(WindowTest, ClosingWaitsForTheRunningReport)
{
    ClosingLineGate gate;
    GatedWindow window(gate);
    window.show();
    PressGenerate(window);
    ASSERT_TRUE(gate.waitUntilHeld());
    window.close();
    EXPECT_EQ(window.lastAtClose(), kClosingLine);
    EXPECT_FALSE(window.isVisible());
}

TEST_F(WindowTest, QuitFromTheMenuWaitsForTheRunningReport)
{
    ClosingLineGate gate;
    MainWindow window;
    LastEmission probe(window);
    window.show();
    PressGenerate(window);
    ASSERT_TRUE(gate.waitUntilHeld());
    std::string lastAtQuit;
    QTimer::singleShot(0, [&] {
        gate.open();
        Child<QAction>(window, "actionZako_cz")->trigger();
        lastAtQuit = probe.last();
    });
    QApplication::exec();  // ends through the menu entry
    EXPECT_EQ(lastAtQuit, kClosingLine);
}

TEST_F(WindowTest, DestroyingTheWindowWaitsForTheRunningReport)
{
    ClosingLineGate gate;
    std::unique_ptr<LastEmission> probe;
    std::string lastAtDestruction;
    {
        GatedWindow window(gate);
        probe.reset(new LastEmission(window));
        // The base widget's destructor says so just after the window's own.
        QObject::connect(&window, &QObject::destroyed, [&] { lastAtDestruction = probe->last(); });
        PressGenerate(window);
        ASSERT_TRUE(gate.waitUntilHeld());
    }
    EXPECT_EQ(lastAtDestruction, kClosingLine);
}

void CloseTheWindow(MainWindow& window)
{
    window.close();
}

// From the running event loop, as a user's choice comes.
void QuitFromTheMenu(MainWindow& window)
{
    QTimer::singleShot(0, [&window] { Child<QAction>(window, "actionZako_cz")->trigger(); });
    QApplication::exec();
}

// The child's word on what the report emitted, written as the process ends.
const LastEmission* heldProbe = nullptr;

void SayWhetherTheLastLineCame()
{
    const char* said = heldProbe->last() == kClosingLine ? "the report's last line came\n"
                                                         : "the report's last line never came\n";
    if (write(STDERR_FILENO, said, strlen(said)) < 0) {
        // The parent then misses the line and fails.
    }
}

// A report that never reaches its end: the close waits its bound and then
// ends the program with status 0 through the quick exit, the report's last
// line never emitted. Each case ends the process it runs in, so it runs in a
// child: this program once more, started afresh (a fork would carry over the
// report pool's threads only in part). Destroying the window alone has no
// bound: the program destroys it only after a close, which has already
// waited for the report or ended the program.
TEST_F(WindowTest, ClosingEndsTheProgramWhenTheReportOutlivesTheWait)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string expected = std::string("the report's last line never came\n") + kEndedDuringReportMark;
    for (void (*close)(MainWindow&) : {CloseTheWindow, QuitFromTheMenu}) {
        EXPECT_EXIT(
            {
                alarm(120);  // a close that never ends the program fails rather than hangs
                ExpectEndDuringReport();
                MainWindow window;
                LastEmission probe(window);
                ClosingLineGate gate;
                window.show();
                PressGenerate(window);
                if (!gate.waitUntilHeld())
                    _exit(2);
                heldProbe = &probe;
                std::at_quick_exit(SayWhetherTheLastLineCame);
                close(window);
            },
            ::testing::ExitedWithCode(0), expected)
            << (close == CloseTheWindow ? "closing the window" : "quitting from the menu");
    }
}

// ---------------------------------------------------------------------------
// Saving
// ---------------------------------------------------------------------------

// A small ext2 file system with 1 KiB blocks and none kept back for root,
// mounted from an image file in a mount namespace of its own that lives as
// long as this object. The test reaches it through /proc/PID/root of the
// process holding that namespace, so nothing is ever mounted on the host and
// the mount goes with that process. (On tmpfs an overwrite that is not
// longer than the old file always fits the page it frees.)
class SmallDisk {
public:
    explicit SmallDisk(const std::string& dir)
    {
        const QString image = QString::fromStdString(dir + "/disk.img");
        const QString folder = QString::fromStdString(dir + "/disk");
        QFile file(image);
        if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly) || !file.resize(256 * 1024))
            return;
        file.close();
        const QString mkfs = QStandardPaths::findExecutable("mkfs.ext2", {"/usr/sbin", "/sbin"});
        if (mkfs.isEmpty() || QProcess::execute(mkfs, {"-q", "-F", "-b", "1024", "-m", "0", image}) != 0)
            return;
        holder_.start("unshare", {"--mount", "--propagation", "private", "--", "sh", "-c",
                                  "mount -o loop \"$0\" \"$1\" && echo mounted && exec cat >/dev/null", image,
                                  folder});
        if (!holder_.waitForReadyRead(20000) || !holder_.readAllStandardOutput().startsWith("mounted"))
            return;
        path_ = "/proc/" + std::to_string(holder_.processId()) + "/root" + folder.toStdString();
    }
    ~SmallDisk()
    {
        holder_.closeWriteChannel();
        if (!holder_.waitForFinished(10000)) {
            holder_.kill();
            holder_.waitForFinished(10000);
        }
    }
    // The mounted folder as seen from here; empty when it could not be made.
    const std::string& path() const { return path_; }
    // Takes every block that is left; true once the disk said it is full.
    bool fill() const
    {
        const int fd = open((path_ + "/wypelnienie").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            return false;
        const std::string chunk(4096, 'w');
        ssize_t written;
        while ((written = write(fd, chunk.data(), chunk.size())) > 0) {
        }
        const bool full = written < 0 && errno == ENOSPC;
        close(fd);
        return full;
    }

private:
    QProcess holder_;
    std::string path_;
};

const uid_t kNobody = 65534;

// A link at name to target that belongs to another user, owner (and their
// group of the same number).
bool PlantLink(const std::string& target, const std::string& name, uid_t owner)
{
    return symlink(target.c_str(), name.c_str()) == 0 && lchown(name.c_str(), owner, owner) == 0;
}

// What a save may change about a name: a link there (its owner and text),
// the kind, owner, group and mode of what the name leads to, its bytes if
// that is a regular file, and the entries whose names start with its own
// (as a temporary copy's would) beside the name and beside what a link
// there names.
std::string TargetState(const std::string& name)
{
    std::ostringstream state;
    std::vector<std::string> places{name};
    struct stat info;
    if (lstat(name.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        places.push_back(QFile::symLinkTarget(QString::fromStdString(name)).toStdString());
        state << "link of " << info.st_uid << " to " << places.back() << ": ";
    }
    if (stat(name.c_str(), &info) != 0)
        state << "absent";
    else
        state << std::oct << info.st_mode << std::dec << " " << info.st_uid << ":" << info.st_gid
              << (S_ISREG(info.st_mode) ? " " + ReadFile(name) : std::string());
    for (const std::string& place : places) {
        const QFileInfo file(QString::fromStdString(place));
        for (const QString& entry :
             file.dir().entryList({file.fileName() + "*"}, QDir::AllEntries | QDir::Hidden | QDir::System))
            state << " [" << entry.toStdString() << "]";
    }
    return state.str();
}

// Frees a save stuck on the pipe at path, in its open or in its writes, once
// a generous minute has passed: it opens the pipe for reading and takes all
// that comes, so that a save that would hang fails its test instead.
class PipeWatchdog {
public:
    explicit PipeWatchdog(const std::string& path) : path_(path), thread_([this] { watch(); }) {}
    ~PipeWatchdog() { stop(); }
    // Ends the watch; true when the save had to be freed.
    bool stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        woken_.notify_all();
        if (thread_.joinable())
            thread_.join();
        return freed_;
    }

private:
    void watch()
    {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (woken_.wait_for(lock, std::chrono::seconds(60), [this] { return stopped_; }))
                return;
        }
        freed_ = true;
        const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
        char buffer[65536];
        // Until the writer has gone (the end of the pipe) or a minute more.
        for (int idle = 0; fd >= 0 && idle < 60;) {
            struct pollfd ready = {fd, POLLIN, 0};
            if (poll(&ready, 1, 1000) == 0) {
                ++idle;
                continue;
            }
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
                break;
        }
        if (fd >= 0)
            close(fd);
    }

    std::string path_;
    std::mutex mutex_;
    std::condition_variable woken_;
    bool stopped_ = false;
    bool freed_ = false;
    std::thread thread_;
};

class Saving : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        dir = scratch.path();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override
    {
        reportWrittenHook = nullptr;
        setfsuid(geteuid());
        setfsgid(getegid());
        if (watchdog) {
            EXPECT_FALSE(watchdog->stop()) << "the save hung on the pipe until the test freed it";
        }
        watchdog.reset();
        disk.reset();
        WindowTest::TearDown();
    }

public:
    // Answers the save dialog with answer (an empty one cancels it) and a
    // replace question, if one comes, with reply; after "No" the dialog,
    // still open, is cancelled. An error box fails the test (and is closed).
    // Gives the question's text, empty when none was asked.
    QString saveAs(MainWindow& window, const QString& answer, QMessageBox::StandardButton reply = QMessageBox::Yes)
    {
        QString dialogTitle, question;
        std::unique_ptr<ModalDriver> errorDriver;
        ModalDriver driver([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            dialogTitle = dialog->windowTitle();
            filters = dialog->nameFilters();
            if (answer.isEmpty()) {
                dialog->reject();
                return;
            }
            {
                ModalDriver replace([&](QWidget* box) {
                    auto* asked = qobject_cast<QMessageBox*>(box);
                    ASSERT_NE(asked, nullptr);
                    question = asked->text();
                    asked->button(reply)->click();
                }, 2000);
                dialog->findChild<QLineEdit*>("fileNameEdit")->setText(answer);
                QMetaObject::invokeMethod(dialog, "accept");
            }
            if (dialog->isVisible()) {
                dialog->reject();
                return;
            }
            errorDriver.reset(new ModalDriver([](QWidget* box) {
                ADD_FAILURE() << "the save failed";
                box->findChild<QPushButton*>("bOk")->click();
            }));
        });
        Child<QPushButton>(window, "bSaveReport")->click();
        EXPECT_TRUE(driver.handled());
        EXPECT_EQ(dialogTitle, "Zapis raportu diagnostycznego do pliku");
        return question;
    }

    // Mounts a small disk, puts a short file named existing on it (unless
    // null) and takes every block left. Gives the disk's folder; empty when
    // this process may not mount one (not root).
    std::string fullDisk(const char* existing)
    {
        if (geteuid() != 0)
            return std::string();
        disk.reset(new SmallDisk(dir));
        const std::string folder = disk->path();
        EXPECT_FALSE(folder.empty()) << "no disk could be mounted";
        if (folder.empty())
            return folder;
        if (existing != nullptr) {
            WriteFile(folder + "/" + existing, "stary raport\n");
            EXPECT_EQ(chmod((folder + "/" + existing).c_str(), 0604), 0);
        }
        EXPECT_TRUE(disk->fill());
        return folder;
    }

    // Lets everyone through the test's folder; false unless this process is
    // root (only root can give files to another user).
    bool openToAll()
    {
        return geteuid() == 0 && chmod(dir.c_str(), 0755) == 0;
    }
    // Makes folder in the open test's folder, with mode; gives its path,
    // empty unless this process is root.
    std::string folderForAll(const char* folder, mode_t mode)
    {
        if (!openToAll())
            return std::string();
        const std::string path = dir + "/" + folder;
        EXPECT_TRUE(mkdir(path.c_str(), 0700) == 0 && chmod(path.c_str(), mode) == 0) << path;
        return path;
    }
    // A sticky folder anyone may write in, as /tmp, beside root's own
    // folder, which no one else may enter; gives the shared one.
    std::string sharedFolders()
    {
        const std::string shared = folderForAll("wspolny", 01777);
        if (!shared.empty()) {
            EXPECT_EQ(mkdir(secret().c_str(), 0700), 0);
        }
        return shared;
    }
    std::string secret() const { return dir + "/tajny"; }

    testkit::TempDir scratch;
    std::string dir;
    QStringList filters;
    std::unique_ptr<SmallDisk> disk;
    std::unique_ptr<PipeWatchdog> watchdog;
    // What the name must hold after a failed save when that is not what it
    // held before: a link planted while the report was being written.
    std::string expectedState;
};

enum class Layout {
    file,         // a file of the user saving, at the name
    ownLink,      // the user's own link at the name, to such a file in a folder beside
    nobodysFile,  // another user's file, which only they may read, at the name
};

struct SaveCase {
    const char* name;
    const char* answer;
    const char* fileName;
    QMessageBox::StandardButton reply;  // to the question about replacing it
    Layout layout;
};
void PrintTo(const SaveCase& c, std::ostream* os)
{
    *os << c.name;
}


class SaveNames : public Saving, public ::testing::WithParamInterface<SaveCase> {};

const QString kReport = QString::fromUtf8("Raport programu diagnostycznego Vantrelon Diagnostic 1.x.x\n\n"
                                          "Nazwa użytkownika : żółw\nKoniec raportu diagnostycznego");

TEST_P(SaveNames, AskAboutTheFileWrittenAndReplaceItInUtf8)
{
    const SaveCase& c = GetParam();
    MainWindow window;
    window.show();
    Child<QPushButton>(window, "bSaveReport")->setEnabled(true);
    Child<AttrQTextBrowser>(window, "tbDiagnostic")->setPlainText(kReport);
    const std::string name = dir + "/" + c.fileName;
    std::string target = name;
    // Modes that neither the umask nor a temporary file's own 0600 gives,
    // and for another user's file the one that keeps everyone else out.
    mode_t mode = 0604;
    uid_t owner = geteuid();
    gid_t group = getegid();
    if (c.layout == Layout::ownLink) {
        target = dir + "/cel/" + c.fileName;
        ASSERT_EQ(mkdir((dir + "/cel").c_str(), 0700), 0);
        ASSERT_EQ(symlink(target.c_str(), name.c_str()), 0);
    } else if (c.layout == Layout::nobodysFile) {
        if (!openToAll())
            GTEST_SKIP() << "only root can save over another user's file";
        mode = 0600;
        owner = group = kNobody;
    }
    const std::string old(10000, '#');  // longer old content goes
    WriteFile(target, old);
    ASSERT_TRUE(chmod(target.c_str(), mode) == 0 && chown(target.c_str(), owner, group) == 0);
    const QString question = saveAs(window, QString::fromStdString(dir + "/" + c.answer), c.reply);
    EXPECT_TRUE(question.startsWith(QString::fromUtf8(c.fileName) + " ")) << question.toStdString();
    EXPECT_EQ(filters, QStringList{"Vantrelon Diagnostic (*.rtf *.RTF)"});
    const std::string expected = c.reply == QMessageBox::Yes ? kReport.toUtf8().toStdString() : old;
    EXPECT_EQ(ReadFile(target), expected);
    struct stat info;
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, mode);
    EXPECT_EQ(info.st_uid, owner);
    EXPECT_EQ(info.st_gid, group);
    ASSERT_EQ(lstat(name.c_str(), &info), 0);
    EXPECT_EQ(S_ISLNK(info.st_mode), c.layout == Layout::ownLink);
    for (const std::string& file : {name, target}) {
        const QFileInfo entry(QString::fromStdString(file));
        EXPECT_EQ(entry.dir().entryList(QDir::Files | QDir::Hidden), QStringList{entry.fileName()});
    }
    if (c.layout == Layout::nobodysFile) {
        // Its owner still reads it.
        QProcess reader;
        reader.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "cat",
                                 QString::fromStdString(target)});
        ASSERT_TRUE(reader.waitForFinished(60000));
        EXPECT_EQ(reader.exitCode(), 0) << reader.readAllStandardError().toStdString();
        EXPECT_EQ(reader.readAllStandardOutput().toStdString(), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, SaveNames,
    ::testing::Values(SaveCase{"no_suffix", "raport", "raport.rtf", QMessageBox::Yes, Layout::file},
                      SaveCase{"txt_kept", "raport.txt", "raport.txt", QMessageBox::Yes, Layout::file},
                      SaveCase{"upper_rtf_kept", "raport.RTF", "raport.RTF", QMessageBox::Yes, Layout::file},
                      SaveCase{"trailing_dot", "raport.", "raport..rtf", QMessageBox::Yes, Layout::file},
                      SaveCase{"polish_name", "raport-żółć", "raport-żółć.rtf", QMessageBox::Yes, Layout::file},
                      SaveCase{"no_suffix_declined", "raport", "raport.rtf", QMessageBox::No, Layout::file},
                      SaveCase{"trailing_dot_declined", "raport.", "raport..rtf", QMessageBox::No, Layout::file},
                      SaveCase{"own_link", "raport", "raport.rtf", QMessageBox::Yes, Layout::ownLink},
                      SaveCase{"nobodys_report", "raport", "raport.rtf", QMessageBox::Yes, Layout::nobodysFile}),
    [](const ::testing::TestParamInfo<SaveCase>& info) { return std::string(info.param.name); });

TEST_F(Saving, SavingIsOffUntilTheFirstReportHasFinished)
{
    MainWindow window;
    window.show();
    auto* save = Child<QPushButton>(window, "bSaveReport");
    EXPECT_FALSE(save->isEnabled());
    Child<QPushButton>(window, "bGenerateReport")->click();
    EXPECT_FALSE(save->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return save->isEnabled(); }, 60000));
    const QString text = Child<AttrQTextBrowser>(window, "tbDiagnostic")->toPlainText();
    EXPECT_EQ(saveAs(window, QString::fromStdString(dir + "/pelny")), QString());  // a new name: nothing to ask
    EXPECT_EQ(ReadFile(dir + "/pelny.rtf"), text.toUtf8().toStdString());
}

TEST_F(Saving, CancelledDialogWritesNothing)
{
    MainWindow window;
    window.show();
    Child<QPushButton>(window, "bSaveReport")->setEnabled(true);
    saveAs(window, QString());
    EXPECT_TRUE(QDir(QString::fromStdString(dir)).entryList(QDir::Files | QDir::NoDotAndDotDot).isEmpty());
}

struct FailureCase {
    const char* name;
    // Lays out the target; gives the name to type, empty where only root can
    // lay it out.
    std::function<std::string(Saving& test)> prepare;
};
void PrintTo(const FailureCase& c, std::ostream* os)
{
    *os << c.name;
}


class SaveFailures : public Saving, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SaveFailures, ShowTheOperationErrorBox)
{
    DesktopFont font;
    MainWindow window;
    window.show();
    Child<QPushButton>(window, "bSaveReport")->setEnabled(true);
    // Longer than what a full disk gets back by emptying a short old file.
    const QString report = QString(kReport + "\n").repeated(40) + kReport;
    Child<AttrQTextBrowser>(window, "tbDiagnostic")->setPlainText(report);
    const std::string answer = GetParam().prepare(*this);
    ASSERT_FALSE(HasFailure());
    if (answer.empty())
        GTEST_SKIP() << "only root can lay this target out";
    const std::string before = expectedState.empty() ? TargetState(answer) : expectedState;

    QString title, main, additional;
    Qt::WindowFlags flags;
    QWidget* errorBox = nullptr;
    // The second modal widget is the error box, which appears after the file
    // dialog has gone.
    std::unique_ptr<ModalDriver> errorDriver;
    ModalDriver fileDriver([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        {
            ModalDriver overwrite([](QWidget* box) {
                auto* question = qobject_cast<QMessageBox*>(box);
                ASSERT_NE(question, nullptr);
                question->button(QMessageBox::Yes)->click();
            }, 2000);
            dialog->findChild<QLineEdit*>("fileNameEdit")->setText(QString::fromStdString(answer));
            QMetaObject::invokeMethod(dialog, "accept");
        }
        // The error box comes once the file dialog has returned its answer.
        errorDriver.reset(new ModalDriver([&](QWidget* box) {
            errorBox = box;
            title = box->windowTitle();
            main = box->findChild<QLabel*>("lMainText")->text();
            additional = box->findChild<QLabel*>("lAdditionalText")->text();
            flags = box->windowFlags();
            ExpectLinesFit(box);
            SaveScreenshot(box);
            box->findChild<QPushButton*>("bOk")->click();
        }));
    });
    Child<QPushButton>(window, "bSaveReport")->click();
    ASSERT_TRUE(fileDriver.handled());
    ASSERT_TRUE(errorDriver && errorDriver->handled());
    EXPECT_EQ(errorBox, messageBoxConfirm);
    EXPECT_EQ(title, QString::fromUtf8("Błąd operacji"));
    EXPECT_EQ(main, QString::fromUtf8("Błąd utworzenia pliku z raportem diagnostycznym."));
    EXPECT_EQ(additional, "");
    EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowCloseButtonHint));
    // The report stays in the view, and the target as it was.
    EXPECT_EQ(Child<AttrQTextBrowser>(window, "tbDiagnostic")->toPlainText(), report);
    EXPECT_EQ(TargetState(answer), before);
}

// A character device like the system's /dev/NAME (major 1) at path. Root
// gets a node of its own, so that a save putting a file in its place would
// take only that copy; anyone else a link to the system's, which they cannot
// replace.
bool MakeDevice(const std::string& path, const char* name, unsigned minor)
{
    if (geteuid() == 0)
        return mknod(path.c_str(), S_IFCHR | 0666, makedev(1, minor)) == 0;
    return symlink((std::string("/dev/") + name).c_str(), path.c_str()) == 0;
}

// Another user's link named raport.rtf in the shared folder, to that name in
// root's own folder, where a file holding old (unless null) waits.
std::string OthersLink(Saving& t, const char* old)
{
    const std::string shared = t.sharedFolders();
    if (shared.empty())
        return shared;
    const std::string target = t.secret() + "/raport.rtf";
    if (old != nullptr) {
        EXPECT_TRUE(WriteFile(target, old) && chmod(target.c_str(), 0600) == 0);
    }
    EXPECT_TRUE(PlantLink(target, shared + "/raport.rtf", kNobody));
    return shared + "/raport.rtf";
}

INSTANTIATE_TEST_SUITE_P(
    Targets, SaveFailures,
    ::testing::Values(
        FailureCase{"missing_directory", [](Saving& t) { return t.dir + "/brak/raport.rtf"; }},
        FailureCase{"unwritable_directory", [](Saving&) { return std::string("/proc/raport.rtf"); }},
        FailureCase{"full_device",
                    [](Saving& t) {
                        const std::string node = t.dir + "/pelne.rtf";
                        EXPECT_TRUE(MakeDevice(node, "full", 7));
                        return node;
                    }},
        FailureCase{"full_disk_existing_file",
                    [](Saving& t) {
                        const std::string folder = t.fullDisk("raport.rtf");
                        return folder.empty() ? folder : folder + "/raport.rtf";
                    }},
        FailureCase{"full_disk_new_name",
                    [](Saving& t) {
                        const std::string folder = t.fullDisk(nullptr);
                        return folder.empty() ? folder : folder + "/nowy.rtf";
                    }},
        FailureCase{"others_link_to_nothing", [](Saving& t) { return OthersLink(t, nullptr); }},
        FailureCase{"others_link_to_root_file", [](Saving& t) { return OthersLink(t, "tajny raport\n"); }},
        FailureCase{"others_link_planted_while_writing",
                    [](Saving& t) {
                        const std::string name = OthersLink(t, nullptr);
                        if (name.empty())
                            return name;
                        t.expectedState = TargetState(name);
                        EXPECT_EQ(unlink(name.c_str()), 0);
                        const std::string target = t.secret() + "/raport.rtf";
                        reportWrittenHook = [target, name] { EXPECT_TRUE(PlantLink(target, name, kNobody)); };
                        return name;
                    }},
        // An ordinary user (this thread's identity for files) may write in
        // the folder and to root's file, but cannot give a file to root.
        FailureCase{"others_file_as_ordinary_user",
                    [](Saving& t) {
                        const std::string folder = t.folderForAll("otwarty", 0777);
                        if (folder.empty())
                            return folder;
                        const std::string name = folder + "/raport.rtf";
                        EXPECT_TRUE(WriteFile(name, "raport roota\n") && chmod(name.c_str(), 0666) == 0);
                        setfsgid(kNobody);
                        setfsuid(kNobody);
                        return name;
                    }},
        FailureCase{"pipe_without_reader",
                    [](Saving& t) {
                        const std::string pipe = t.dir + "/potok.rtf";
                        EXPECT_EQ(mkfifo(pipe.c_str(), 0644), 0);
                        t.watchdog.reset(new PipeWatchdog(pipe));
                        return pipe;
                    }}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(Saving, DevicesAreWrittenInPlaceWithWriteAndFlushChecked)
{
    const std::string full = dir + "/full", null = dir + "/null";
    ASSERT_TRUE(MakeDevice(full, "full", 7));
    ASSERT_TRUE(MakeDevice(null, "null", 3));
    const QString big = QString(200000, QChar('x'));
    EXPECT_FALSE(WriteReportFile(QString::fromStdString(full), QStringLiteral("a")));
    EXPECT_FALSE(WriteReportFile(QString::fromStdString(full), big));
    EXPECT_FALSE(WriteReportFile(QString::fromStdString(dir + "/brak/x.rtf"), QStringLiteral("a")));
    EXPECT_TRUE(WriteReportFile(QString::fromStdString(null), big));
    // Both are still the devices they were, with nothing beside them.
    for (const std::string& node : {full, null}) {
        struct stat info;
        EXPECT_TRUE(stat(node.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) << node;
    }
    EXPECT_EQ(QDir(QString::fromStdString(dir)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
              QStringList({"full", "null"}));
}

// A process's root in /proc leads into that process's mount namespace, where
// the full-disk rows find their disk; the link's text ("/") would name this
// namespace's root instead.
TEST_F(Saving, ProcessRootsLeadWhereTheKernelSays)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can mount a disk";
    disk.reset(new SmallDisk(dir));
    ASSERT_FALSE(disk->path().empty());
    EXPECT_TRUE(WriteReportFile(QString::fromStdString(disk->path() + "/raport.rtf"), kReport));
    EXPECT_EQ(ReadFile(disk->path() + "/raport.rtf"), kReport.toUtf8().toStdString());
    EXPECT_TRUE(QDir(QString::fromStdString(dir + "/disk")).isEmpty());
}

struct PipeCase {
    const char* name;
    // What the reader does with the read end, opened before the save starts
    // (without blocking); it may close it and set it to -1.
    std::function<void(int& fd, std::string& got)> read;
    bool saved;
};
void PrintTo(const PipeCase& c, std::ostream* os)
{
    *os << c.name;
}

class SavePipes : public Saving, public ::testing::WithParamInterface<PipeCase> {};

TEST_P(SavePipes, AreWrittenInPlaceWithoutWaitingForGood)
{
    const std::string pipe = dir + "/potok";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    int fd = open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    watchdog.reset(new PipeWatchdog(pipe));
    const QString report(200000, QChar('x'));  // more than the pipe holds
    std::string got;
    std::thread reader([&] { GetParam().read(fd, got); });
    const bool saved = WriteReportFile(QString::fromStdString(pipe), report);
    reader.join();
    if (fd >= 0)
        close(fd);
    EXPECT_EQ(saved, GetParam().saved);
    if (GetParam().saved) {
        EXPECT_EQ(got, report.toStdString());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Readers, SavePipes,
    ::testing::Values(
        // Lets the save fill the pipe, takes nothing for two seconds, then
        // reads to the end: a reader that pauses gets the whole report.
        PipeCase{"pausing_reader",
                 [](int& fd, std::string& got) {
                     testkit::WaitUntil([fd] {
                         int queued = 0;
                         return ioctl(fd, FIONREAD, &queued) == 0 && queued >= fcntl(fd, F_GETPIPE_SZ);
                     }, std::chrono::seconds(60));
                     std::this_thread::sleep_for(std::chrono::seconds(2));
                     fcntl(fd, F_SETFL, 0);
                     char buffer[65536];
                     ssize_t length;
                     while ((length = read(fd, buffer, sizeof buffer)) > 0)
                         got.append(buffer, static_cast<size_t>(length));
                 },
                 true},
        // Keeps the pipe open and never reads.
        PipeCase{"stalled_reader", [](int&, std::string&) {}, false},
        // Goes away once the first bytes have come.
        PipeCase{"leaving_reader",
                 [](int& fd, std::string&) {
                     testkit::WaitUntil([fd] {
                         int queued = 0;
                         return ioctl(fd, FIONREAD, &queued) == 0 && queued > 0;
                     }, std::chrono::seconds(60));
                     close(fd);
                     fd = -1;
                 },
                 false}),
    [](const ::testing::TestParamInfo<PipeCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// About box
// ---------------------------------------------------------------------------

struct AboutCase {
    const char* name;
    std::string info;
    QString version;
};
void PrintTo(const AboutCase& c, std::ostream* os)
{
    *os << c.name;
}


class AboutBox : public WindowTest, public ::testing::WithParamInterface<AboutCase> {};

TEST_P(AboutBox, ShowsTheRunningVersionAndIsFreedAfterwards)
{
    setFiles(GetParam().info.empty() ? nullptr : &GetParam().info, nullptr);
    MainWindow window;
    window.show();
    QString version;
    Qt::WindowFlags flags;
    QWidget* parent = nullptr;
    ModalDriver driver([&](QWidget* modal) {
        EXPECT_STREQ(modal->metaObject()->className(), "AboutDialog");
        version = modal->findChild<QLabel*>("lAppVersion")->text();
        flags = modal->windowFlags();
        parent = modal->parentWidget();
        // A picture of the box beside the test program, for people to look at.
        EXPECT_TRUE(modal->grab().save(QCoreApplication::applicationDirPath() + "/about-box-" +
                                       QString::fromLatin1(GetParam().name) + ".png"));
        modal->findChild<QPushButton*>("pushButton")->click();
    });
    Child<QAction>(window, "actionO_programie")->trigger();
    ASSERT_TRUE(driver.handled());
    EXPECT_EQ(version, GetParam().version);
    EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_EQ(parent, &window);
    EXPECT_TRUE(window.findChildren<AboutDialog*>().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Versions, AboutBox,
    ::testing::Values(AboutCase{"no_info", "", "1.x.x"},
                      AboutCase{"info", XmlPlist("<key>CFBundleShortVersionString</key><string>7.1.2</string>\n"),
                                "7.1.2"}),
    [](const ::testing::TestParamInfo<AboutCase>& info) { return std::string(info.param.name); });

} // namespace
