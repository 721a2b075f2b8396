// The update check against a loopback update server of our own, and its
// dialog under the offscreen platform: the form, which answers show it,
// how it is dismissed and how "Tak" starts the browser.
#include "update/DownloadBuffers_internal.h"
#include "update/PanelCheckVersion.h"
#include "update/PanelCheckVersion_internal.h"

#include "app/MainWindow.h"
#include "update/RuntimeParams.h"

#include "tests/support/qt/QtTestSupport.h"
#include "UpdateTestSupport.h"
#include "ui_PanelCheckVersion.h"

#include <QAccessible>
#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// ---------------------------------------------------------------------------
// The dialog's form
// ---------------------------------------------------------------------------

struct FormRow {
    const char* name;
    const char* className;
    QRect geometry;
    const char* text;
    bool dejaVu10;  // font family "DejaVu Sans", 10 points
    bool centred;
};

TEST(PanelForm, DialogAndWidgets)
{
    QWidget parent;
    PanelCheckVersion dialog(&parent);
    EXPECT_EQ(dialog.objectName(), "PanelCheckVersion");
    EXPECT_EQ(dialog.windowTitle(), "Sprawdzanie wersji oprogramowania...");
    EXPECT_EQ(dialog.windowModality(), Qt::ApplicationModal);
    EXPECT_TRUE(dialog.isModal());
    EXPECT_EQ(dialog.minimumSize(), QSize(344, 260));
    EXPECT_EQ(dialog.maximumSize(), QSize(344, 260));
    // ":/icon_64x64.ico" is not among the resources: no icon of its own.
    EXPECT_FALSE(QFile::exists(":/icon_64x64.ico"));
    EXPECT_TRUE(dialog.windowIcon().pixmap(QSize(16, 16)).isNull());
    EXPECT_TRUE(dialog.isHidden());
    EXPECT_EQ(dialog.parentWidget(), &parent);
    EXPECT_EQ(PanelCheckVersionTestAccess::StoredMainWindow(dialog), &parent);
    EXPECT_TRUE(PanelCheckVersionTestAccess::DownloadUrl(dialog).isEmpty());

    const FormRow rows[] = {
        {"lNewAppVersionInfo", "QLabel", QRect(0, 100, 344, 20), "a", false, true},
        {"buttonYes", "QPushButton", QRect(244, 220, 80, 23), "Tak", false, false},
        {"lNewAppVersion", "QLabel", QRect(0, 140, 344, 17), "b", true, true},
        {"lCurrentVersion", "QLabel", QRect(0, 162, 344, 17), "c", true, true},
        {"label", "QLabel", QRect(120, 10, 101, 91), "", false, false},
        {"buttonNo", "QPushButton", QRect(20, 220, 80, 23), "Nie", false, false},
    };
    const Ui_PanelCheckVersion* form = PanelCheckVersionTestAccess::Form(dialog);
    const QWidget* inOrder[] = {form->lNewAppVersionInfo, form->buttonYes, form->lNewAppVersion,
                                form->lCurrentVersion,    form->label,     form->buttonNo};
    const QObjectList children = dialog.children();
    int previous = -1;
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const FormRow& row = rows[i];
        QWidget* widget = dialog.findChild<QWidget*>(QString::fromLatin1(row.name));
        ASSERT_NE(widget, nullptr) << row.name;
        EXPECT_EQ(widget, inOrder[i]) << row.name;
        EXPECT_EQ(widget->parentWidget(), &dialog) << row.name;
        EXPECT_STREQ(widget->metaObject()->className(), row.className) << row.name;
        EXPECT_EQ(widget->geometry(), row.geometry) << row.name;
        // Created in the form's order.
        const int index = children.indexOf(widget);
        EXPECT_GT(index, previous) << row.name;
        previous = index;
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            EXPECT_EQ(label->text(), QString::fromUtf8(row.text)) << row.name;
            if (row.centred) {
                EXPECT_EQ(label->alignment(), Qt::AlignCenter) << row.name;
            }
        } else {
            EXPECT_EQ(qobject_cast<QPushButton*>(widget)->text(), QString::fromUtf8(row.text)) << row.name;
        }
        if (row.dejaVu10) {
            EXPECT_EQ(widget->font().family(), "DejaVu Sans") << row.name;
            EXPECT_EQ(widget->font().pointSize(), 10) << row.name;
        } else {
            EXPECT_EQ(widget->font(), dialog.font()) << row.name;
        }
    }
    EXPECT_TRUE(Child<QPushButton>(dialog, "buttonYes")->isDefault());
    EXPECT_FALSE(Child<QPushButton>(dialog, "buttonNo")->isDefault());

    // The application image, scaled into the label.
    QLabel* image = Child<QLabel>(dialog, "label");
    EXPECT_TRUE(image->hasScaledContents());
    const QPixmap pixmap = image->pixmap(Qt::ReturnByValue);
    ASSERT_FALSE(pixmap.isNull());
    const QImage application = QPixmap(":/Vantrelon Diagnostic.png").toImage();
    ASSERT_FALSE(application.isNull());
    EXPECT_EQ(pixmap.toImage().convertToFormat(application.format()), application);
}

TEST(PanelForm, MainWindowHoldsOneHiddenDialog)
{
    MainWindow window;
    const QList<PanelCheckVersion*> dialogs = window.findChildren<PanelCheckVersion*>();
    ASSERT_EQ(dialogs.size(), 1);
    EXPECT_EQ(dialogs[0]->parentWidget(), &window);
    EXPECT_EQ(PanelCheckVersionTestAccess::StoredMainWindow(*dialogs[0]), &window);
    EXPECT_TRUE(dialogs[0]->isHidden());
}

// ---------------------------------------------------------------------------
// The transfer callbacks
// ---------------------------------------------------------------------------

struct BodyCase {
    const char* name;
    std::vector<std::pair<size_t, size_t>> pieces;  // size, nmemb
    size_t refusedAt;                               // index of the refused piece; SIZE_MAX: none
};

class BodyCallback : public ::testing::TestWithParam<BodyCase> {};

TEST_P(BodyCallback, GrowsOrRefuses)
{
    const BodyCase& c = GetParam();
    DownloadBuffer body{static_cast<char*>(calloc(8, 1)), 0};
    std::string expected;
    for (size_t i = 0; i < c.pieces.size(); ++i) {
        const size_t size = c.pieces[i].first, nmemb = c.pieces[i].second;
        const bool refused = i == c.refusedAt;
        // The source holds only what an accepted piece reads.
        std::string piece = refused ? std::string() : std::string(size * nmemb, static_cast<char>('a' + i % 26));
        const size_t result = WriteBodyCallback(piece.data(), size, nmemb, &body);
        if (refused) {
            EXPECT_NE(result, size * nmemb) << "piece " << i;
            EXPECT_EQ(body.data, nullptr);
            EXPECT_EQ(body.size, 0u);
            // Once refused, the transfer ends: nothing further arrives.
            FreeDownloadBuffers(&body.data, nullptr);
            return;
        }
        ASSERT_EQ(result, size * nmemb) << "piece " << i;
        expected += piece;
        ASSERT_NE(body.data, nullptr);
        ASSERT_EQ(body.size, expected.size());
        ASSERT_EQ(std::string(body.data, body.size), expected);
        ASSERT_EQ(body.data[body.size], '\0');
    }
    EXPECT_EQ(c.refusedAt, SIZE_MAX) << "the refused piece was accepted";
    FreeDownloadBuffers(&body.data, nullptr);
    EXPECT_EQ(body.data, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, BodyCallback,
    ::testing::Values(BodyCase{"one_piece", {{1, 5}}, SIZE_MAX},
                      BodyCase{"several_pieces_and_an_empty_one", {{1, 3}, {1, 0}, {3, 4}, {0, 9}, {1, 1}}, SIZE_MAX},
                      BodyCase{"exactly_the_limit", {{1, kMaxDownloadBody - 10}, {2, 5}}, SIZE_MAX},
                      BodyCase{"one_byte_past_the_limit", {{1, kMaxDownloadBody}, {1, 1}}, 1},
                      BodyCase{"one_piece_past_the_limit", {{1, 10}, {1, kMaxDownloadBody}}, 1},
                      BodyCase{"length_product_overflows", {{1, 4}, {2, SIZE_MAX / 2 + 1}}, 1},
                      BodyCase{"length_near_the_address_space", {{1, SIZE_MAX}}, 0}),
    [](const ::testing::TestParamInfo<BodyCase>& info) { return std::string(info.param.name); });

struct HeaderCase {
    const char* name;
    int lines;
    int stored;
};

class HeaderCallback : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderCallback, StoresAtMost128Lines)
{
    const HeaderCase& c = GetParam();
    HeaderLines lines;
    lines.count = 0;
    for (int i = 0; i < c.lines; ++i) {
        const std::string line = "X-Line-" + std::to_string(i) + ": v\r\n";
        ASSERT_EQ(HeaderLineCallback(line.data(), 1, line.size(), &lines), line.size()) << i;
    }
    ASSERT_EQ(lines.count, c.stored);
    for (int i = 0; i < c.stored; ++i)
        EXPECT_STREQ(lines.line[i], ("X-Line-" + std::to_string(i) + ": v\r\n").c_str());
    FreeDownloadBuffers(nullptr, &lines);
    EXPECT_EQ(lines.count, c.stored);  // the count keeps its value
    for (int i = 0; i < c.stored; ++i)
        EXPECT_EQ(lines.line[i], nullptr) << i;
    FreeDownloadBuffers(nullptr, &lines);  // freeing twice is harmless
}

INSTANTIATE_TEST_SUITE_P(Lines, HeaderCallback,
                         ::testing::Values(HeaderCase{"none", 0, 0}, HeaderCase{"a_few", 5, 5},
                                           HeaderCase{"exactly_full", 128, 128},
                                           HeaderCase{"past_the_array", 400, 128}),
                         [](const ::testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.name); });

TEST(HeaderCallbackLimits, EmptyLineAndOverflowingLength)
{
    HeaderLines lines;
    lines.count = 0;
    EXPECT_EQ(HeaderLineCallback("", 1, 0, &lines), 0u);
    ASSERT_EQ(lines.count, 1);
    EXPECT_STREQ(lines.line[0], "");
    EXPECT_NE(HeaderLineCallback("x", 2, SIZE_MAX / 2 + 1, &lines), 0u);
    EXPECT_EQ(lines.count, 1);
    // A length the copy could not hold with its NUL is refused, and the
    // refusal must not read as the length itself.
    EXPECT_NE(HeaderLineCallback("x", 1, SIZE_MAX, &lines), SIZE_MAX);
    EXPECT_EQ(lines.count, 1);
    FreeDownloadBuffers(nullptr, &lines);
    char* none = nullptr;
    FreeDownloadBuffers(&none, nullptr);
    FreeDownloadBuffers(nullptr, nullptr);
}

// ---------------------------------------------------------------------------
// The check
// ---------------------------------------------------------------------------

// What one run of the check showed.
struct Shown {
    bool shown = false;
    bool windowVisible = false;
    QString info, line1, line2, title;
    QString infoAsShown;  // the version line as its label presents it
    QRect geometry;
};

void SetCheck(bool on, const std::string& url)
{
    memset(&runtimeParams, 0, sizeof runtimeParams);
    runtimeParams.checkLatestVersion = on;
    ASSERT_LT(url.size(), sizeof runtimeParams.versionFileUrl);
    memcpy(runtimeParams.versionFileUrl, url.c_str(), url.size() + 1);
}

enum class Answer { No, Yes, Escape, Close };

// A window running the given version, and an update dialog of its own.
struct Checked {
    explicit Checked(const QString& running) : dialog(&window) { window.appVersion = running; }
    MainWindow window;
    PanelCheckVersion dialog;
};

// Runs the check of the window's dialog and answers the dialog, if shown.
Shown RunCheck(Checked& app, Answer answer = Answer::No)
{
    MainWindow& window = app.window;
    PanelCheckVersion& dialog = app.dialog;
    Shown seen;
    ModalDriver driver([&](QWidget* modal) {
        seen.shown = modal == &dialog;
        seen.windowVisible = window.isVisible();
        QLabel* info = Child<QLabel>(dialog, "lNewAppVersionInfo");
        seen.info = info->text();
        // What a reader of the screen gets: the label's text as it lays it
        // out, markup rendered and its tags gone.
        if (QAccessibleInterface* label = QAccessible::queryAccessibleInterface(info))
            seen.infoAsShown = label->text(QAccessible::Name);
        seen.line1 = Child<QLabel>(dialog, "lNewAppVersion")->text();
        seen.line2 = Child<QLabel>(dialog, "lCurrentVersion")->text();
        seen.title = dialog.windowTitle();
        seen.geometry = dialog.geometry();
        switch (answer) {
        case Answer::No:
            Child<QPushButton>(dialog, "buttonNo")->click();
            break;
        case Answer::Yes:
            Child<QPushButton>(dialog, "buttonYes")->click();
            break;
        case Answer::Escape: {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(&dialog, &press);
            break;
        }
        case Answer::Close:
            dialog.close();
            break;
        }
        if (modal != &dialog)
            modal->close();
    });
    dialog.CheckVersion(&window);
    EXPECT_EQ(driver.handled(), seen.shown);
    EXPECT_TRUE(dialog.isHidden());
    return seen;
}

// One server for the whole program; its files are the version files below.
UpdateServer* server = nullptr;

// A valid version file padded with white space to exactly bytes bytes.
std::string PaddedXml(size_t bytes)
{
    std::string keys = "<key>version</key><string>1.0.6</string>\n"
                       "<key>location</key><dict><key>pl</key><string>http://pobierz.example/</string></dict>\n";
    keys.append(bytes - XmlPlist(keys).size(), ' ');
    return XmlPlist(keys);
}

class UpdateCheck : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server = new UpdateServer;
        server->put("newer.plist", VersionFile(VersionRoot("1.0.6", "http://pobierz.example/nowa"), false));
        server->put("newer.bplist", VersionFile(VersionRoot("1.0.6", "http://pobierz.example/nowa"), true));
        server->put("same.plist", VersionFile(VersionRoot("1.0.5", "http://pobierz.example/nowa"), false));
        server->put("published-1.0.9.plist", VersionFile(VersionRoot("1.0.9", "http://pobierz.example/"), false));
        server->put("published-1.0.10.plist", VersionFile(VersionRoot("1.0.10", "http://pobierz.example/"), true));
        server->put("published-1.2.3.plist", VersionFile(VersionRoot("1.2.3", "http://pobierz.example/"), false));
        server->put("published-high-byte.plist",
                    VersionFile(VersionRoot("1.0.\xc4\x85", "http://pobierz.example/"), false));
        server->put("published-aa.plist", VersionFile(VersionRoot("1.0.aa", "http://pobierz.example/"), false));
        server->put("published-markup.plist", VersionFile(VersionRoot("<hr>9", "http://pobierz.example/"), false));

        Plist::Dictionary noLocation;
        noLocation["version"] = std::string("1.0.6");
        server->put("no-location.plist", VersionFile(noLocation, false));
        Plist::Dictionary locationString = noLocation;
        locationString["location"] = std::string("http://pobierz.example/");
        server->put("location-not-dict.plist", VersionFile(locationString, true));
        Plist::Dictionary emptyLocation = noLocation;
        emptyLocation["location"] = Plist::Dictionary();
        server->put("location-empty.plist", VersionFile(emptyLocation, false));
        Plist::Dictionary versionNumber = VersionRoot("x", "http://pobierz.example/");
        versionNumber["version"] = 106L;
        server->put("version-not-string.plist", VersionFile(versionNumber, false));
        Plist::Dictionary noPl = VersionRoot("1.0.6", "");
        boost::any_cast<Plist::Dictionary&>(noPl["location"]).erase("pl");
        server->put("no-pl.plist", VersionFile(noPl, false));
        Plist::Dictionary plNumber = VersionRoot("1.0.6", "");
        boost::any_cast<Plist::Dictionary&>(plNumber["location"])["pl"] = 7L;
        server->put("pl-not-string.plist", VersionFile(plNumber, true));
        server->put("pl-not-web.plist", VersionFile(VersionRoot("1.0.6", "file:///etc/passwd"), false));
        Plist::Dictionary emptyVersion = VersionRoot("", "http://pobierz.example/");
        server->put("version-empty.plist", VersionFile(emptyVersion, false));

        server->put("root-array.plist",
                    "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>1.0.6</string></array></plist>");
        server->put("root-string.bplist", VersionFile(std::string("1.0.6"), true));
        server->put("broken.plist", XmlPlist("<key>version</key><string>1.0.6</string>\n<key>location</key><dict>"));
        server->put("broken.bplist", std::string("bplist00\x01\x02\x03\x04\x05\x06\x07", 15));
        server->put("empty.plist", "");
        server->put("handwritten.plist",
                    XmlPlist("<key>location</key>\n<dict>\n<key>pl</key>\n<string>https://pobierz.example/ręcznie"
                            "</string>\n</dict>\n<key>version</key>\n<string>1.0.6</string>\n"));
        server->put("at-the-limit.plist", PaddedXml(kMaxDownloadBody));
        server->put("past-the-limit.plist", PaddedXml(kMaxDownloadBody + 1));
    }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
        memset(&runtimeParams, 0, sizeof runtimeParams);
    }
    void SetUp() override
    {
        memset(&runtimeParams, 0, sizeof runtimeParams);
        server->clearRequests();
    }
};

struct CheckCase {
    const char* name;
    std::string url;  // "http:", "https:", "https-wrong:", "closed:", "file:" or "ftp:" followed by the path
    const char* running;
    bool dialog;
    const char* published;    // in the dialog's text
    const char* downloadUrl;  // afterwards
};

void PrintTo(const CheckCase& c, std::ostream* os)
{
    *os << c.name;
}

std::string ResolveUrl(const std::string& url, const SilentListener& refused)
{
    const size_t colon = url.find(':');
    const std::string scheme = url.substr(0, colon), path = url.substr(colon + 1);
    if (scheme == "http")
        return server->http() + path;
    if (scheme == "https")
        return server->https() + path;
    if (scheme == "https-wrong")
        return server->httpsWrongName() + path;
    if (scheme == "closed")
        return "http://127.0.0.1:" + std::to_string(ClosedPort()) + path;
    // The server's own copy of the file on this machine's disk.
    if (scheme == "file")
        return "file://" + server->root() + path;
    // A loopback listener that never greets an FTP client; the path is its own.
    if (scheme == "ftp")
        return "ftp" + refused.url().substr(4);
    return url;
}

class CheckAnswers : public UpdateCheck, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(CheckAnswers, DialogOnlyForANewerVersion)
{
    const CheckCase& c = GetParam();
    Checked app(QString::fromUtf8(c.running));
    SilentListener refused;
    SetCheck(true, ResolveUrl(c.url, refused));

    const Shown seen = RunCheck(app);
    // An address the check does not take is refused before any connection,
    // so it never waits there for the transfer's time-out.
    EXPECT_FALSE(refused.acceptOne()) << "the check connected to an address it does not take";
    EXPECT_EQ(seen.shown, c.dialog);
    if (c.dialog) {
        const QString info =
            QString::fromUtf8("Dostępna jest nowsza wersja aplikacji (") + QString::fromUtf8(c.published) + ")";
        EXPECT_EQ(seen.info, info);
        // Shown as the characters the server sent, never as markup.
        EXPECT_EQ(seen.infoAsShown.toStdString(), info.toStdString());
        EXPECT_EQ(seen.line1, "Czy chcesz przejść do strony www");
        EXPECT_EQ(seen.line2, QString::fromUtf8("z najnowszą wersją programu ?"));
        EXPECT_EQ(seen.title, "Sprawdzanie wersji oprogramowania...");
        EXPECT_FALSE(seen.windowVisible);
        // Centred on the offscreen platform's 800 x 600 screen.
        ASSERT_EQ(QGuiApplication::primaryScreen()->availableGeometry(), QRect(0, 0, 800, 600));
        EXPECT_EQ(seen.geometry, QRect(228, 170, 344, 260));
    } else {
        // The placeholders were never replaced.
        EXPECT_EQ(Child<QLabel>(app.dialog, "lNewAppVersionInfo")->text(), "a");
    }
    EXPECT_EQ(PanelCheckVersionTestAccess::DownloadUrl(app.dialog), QString::fromUtf8(c.downloadUrl));
}

const char* kNew = "http://pobierz.example/nowa";

INSTANTIATE_TEST_SUITE_P(
    Server, CheckAnswers,
    ::testing::Values(
        // Versions
        CheckCase{"xml_newer", "http:/files/newer.plist", "1.0.5", true, "1.0.6", kNew},
        CheckCase{"binary_newer", "http:/files/newer.bplist", "1.0.5", true, "1.0.6", kNew},
        CheckCase{"written_by_hand", "http:/files/handwritten.plist", "1.0.5", true, "1.0.6",
                  "https://pobierz.example/ręcznie"},
        CheckCase{"other_writer_binary", "http:/plistlib?version=2.0.1&pl=http://inny.example/", "2.0.0", true,
                  "2.0.1", "http://inny.example/"},
        CheckCase{"other_writer_xml", "http:/plistlib?fmt=xml&version=2.0.1&pl=http://inny.example/", "2.0.0", true,
                  "2.0.1", "http://inny.example/"},
        CheckCase{"https_self_signed", "https:/files/newer.plist", "1.0.5", true, "1.0.6", kNew},
        CheckCase{"same_version", "http:/files/same.plist", "1.0.5", false, "", kNew},
        CheckCase{"older_version", "http:/files/published-1.0.9.plist", "1.1.0", false, "", "http://pobierz.example/"},
        CheckCase{"longer_version", "http:/files/published-1.0.10.plist", "1.0.9", false, "",
                  "http://pobierz.example/"},
        // Its first five bytes are above "1.0.0": only the lengths tell.
        CheckCase{"longer_version_with_a_greater_start", "http:/files/published-1.0.10.plist", "1.0.0", false, "",
                  "http://pobierz.example/"},
        CheckCase{"shorter_version", "http:/files/published-1.0.9.plist", "1.0.10", false, "",
                  "http://pobierz.example/"},
        CheckCase{"running_version_unknown", "http:/files/published-1.2.3.plist", "1.x.x", false, "",
                  "http://pobierz.example/"},
        CheckCase{"running_version_empty", "http:/files/newer.plist", "", false, "", kNew},
        // Bytes compare as signed values: 0xC4 sorts below 'a'.
        CheckCase{"high_byte_is_not_newer", "http:/files/published-high-byte.plist", "1.0.aa", false, "",
                  "http://pobierz.example/"},
        CheckCase{"letters_newer_than_high_byte", "http:/files/published-aa.plist", "1.0.ą", true, "1.0.aa",
                  "http://pobierz.example/"},
        // Markup from the server is text: '<' sorts above '1'.
        CheckCase{"markup_in_version", "http:/files/published-markup.plist", "1.0.0", true, "<hr>9",
                  "http://pobierz.example/"},
        // Shapes of the version file
        CheckCase{"no_location", "http:/files/no-location.plist", "1.0.5", false, "", ""},
        CheckCase{"location_not_a_dictionary", "http:/files/location-not-dict.plist", "1.0.5", false, "", ""},
        CheckCase{"location_empty", "http:/files/location-empty.plist", "1.0.5", false, "", ""},
        CheckCase{"version_not_a_string", "http:/files/version-not-string.plist", "1.0.5", false, "", ""},
        CheckCase{"version_empty", "http:/files/version-empty.plist", "1.0.5", false, "", ""},
        CheckCase{"no_download_address", "http:/files/no-pl.plist", "1.0.5", true, "1.0.6", ""},
        CheckCase{"download_address_not_a_string", "http:/files/pl-not-string.plist", "1.0.5", true, "1.0.6", ""},
        CheckCase{"root_array", "http:/files/root-array.plist", "1.0.5", false, "", ""},
        CheckCase{"root_string_binary", "http:/files/root-string.bplist", "1.0.5", false, "", ""},
        CheckCase{"broken_xml", "http:/files/broken.plist", "1.0.5", false, "", ""},
        CheckCase{"broken_binary", "http:/files/broken.bplist", "1.0.5", false, "", ""},
        CheckCase{"empty_body", "http:/files/empty.plist", "1.0.5", false, "", ""},
        // Transfers
        CheckCase{"error_page", "http:/status/404", "1.0.5", false, "", ""},
        CheckCase{"missing_file", "http:/files/none.plist", "1.0.5", false, "", ""},
        CheckCase{"redirect_not_followed", "http:/redirect/newer.plist", "1.0.5", false, "", ""},
        // The status is not looked at: whatever body arrives is read.
        CheckCase{"version_file_with_error_status", "http:/status/404/newer.plist", "1.0.5", true, "1.0.6", kNew},
        CheckCase{"version_file_in_a_redirect", "http:/status/302/newer.plist", "1.0.5", true, "1.0.6", kNew},
        CheckCase{"server_down", "closed:/files/newer.plist", "1.0.5", false, "", ""},
        CheckCase{"certificate_for_another_host", "https-wrong:/files/newer.plist", "1.0.5", false, "", ""},
        CheckCase{"empty_address", "", "1.0.5", false, "", ""},
        // Only http and https are fetched.
        CheckCase{"local_file", "file:/newer.plist", "1.0.5", false, "", ""},
        CheckCase{"ftp", "ftp:", "1.0.5", false, "", ""},
        CheckCase{"many_header_lines", "http:/headers/300/newer.plist", "1.0.5", true, "1.0.6", kNew},
        CheckCase{"body_at_the_limit", "http:/files/at-the-limit.plist", "1.0.5", true, "1.0.6",
                  "http://pobierz.example/"},
        CheckCase{"body_past_the_limit", "http:/files/past-the-limit.plist", "1.0.5", false, "", ""}),
    [](const ::testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

TEST_F(UpdateCheck, RedirectTargetIsNeverFetched)
{
    Checked app("1.0.5");
    SetCheck(true, server->http() + "/redirect/newer.plist");
    EXPECT_FALSE(RunCheck(app).shown);
    EXPECT_EQ(server->requests(), std::vector<std::string>{"/redirect/newer.plist"});
}

TEST_F(UpdateCheck, AddressKeptWhenALaterFileLacksIt)
{
    Checked app("1.0.5");
    // Each row: the file served, whether the dialog shows, the address after.
    const struct {
        const char* file;
        bool shown;
        const char* downloadUrl;
    } steps[] = {
        {"/files/newer.plist", true, kNew},
        {"/files/no-pl.plist", true, kNew},
        {"/files/pl-not-string.plist", true, kNew},
        {"/files/pl-not-web.plist", true, kNew},
        {"/files/broken.plist", false, kNew},
        {"/files/published-1.0.9.plist", true, "http://pobierz.example/"},
    };
    for (const auto& step : steps) {
        SetCheck(true, server->http() + step.file);
        EXPECT_EQ(RunCheck(app).shown, step.shown) << step.file;
        EXPECT_EQ(PanelCheckVersionTestAccess::DownloadUrl(app.dialog), QString::fromUtf8(step.downloadUrl)) << step.file;
    }
}

TEST_F(UpdateCheck, RequestNamesItsAgent)
{
    Checked app("1.0.5");
    SetCheck(true, server->http() + "/agent/newer.plist");
    EXPECT_TRUE(RunCheck(app).shown);
    const std::vector<std::string> expected{"/agent/newer.plist", "user-agent: libcurl-agent/1.0"};
    EXPECT_EQ(server->requests(), expected);
}

TEST_F(UpdateCheck, EndlessBodyEndsTheTransfer)
{
    Checked app("1.0.5");
    SetCheck(true, server->http() + "/endless");
    EXPECT_FALSE(RunCheck(app).shown);
    // The server notes how much it sent once the client has gone; a client
    // that kept reading for its whole time-out would take far more.
    std::string sent;
    ASSERT_TRUE(WaitUntil([&]() {
        for (const std::string& line : server->requests())
            if (line.rfind("endless sent ", 0) == 0)
                sent = line.substr(13);
        return !sent.empty();
    }));
    EXPECT_LT(std::stoull(sent), 64ull * 1024 * 1024);
}

TEST_F(UpdateCheck, SwitchedOffMakesNoConnection)
{
    SilentListener listener;
    Checked app("1.0.5");
    SetCheck(false, listener.url());
    EXPECT_FALSE(RunCheck(app).shown);
    EXPECT_FALSE(listener.acceptOne());

    SetCheck(false, server->http() + "/files/newer.plist");
    EXPECT_FALSE(RunCheck(app).shown);
    EXPECT_TRUE(server->requests().empty());
}

TEST_F(UpdateCheck, SilentServerTimesOut)
{
    SilentListener listener;
    Checked app("1.0.5");
    SetCheck(true, listener.url());

    // A guard that ends the transfer from outside if the check's own
    // time-out never comes; the test fails if it had to.
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::atomic<bool> guardFired(false);
    std::thread guard([&]() {
        std::unique_lock<std::mutex> lock(mutex);
        if (!done.wait_for(lock, std::chrono::seconds(60), [&]() { return finished; })) {
            guardFired = true;
            listener.close();
        }
    });
    const auto start = std::chrono::steady_clock::now();
    const Shown seen = RunCheck(app);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    {
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
    }
    done.notify_one();
    guard.join();
    EXPECT_FALSE(guardFired) << "the check did not end by itself";
    // It waited for its own time-out, and not for a longer one.
    EXPECT_GE(took, kTimeOutEarliestSeconds);
    EXPECT_LT(took, kTimeOutLatestSeconds);
    EXPECT_FALSE(seen.shown);
    EXPECT_TRUE(listener.acceptOne()) << "the check never connected";
}

// ---------------------------------------------------------------------------
// Answers to the dialog
// ---------------------------------------------------------------------------

class Dialog : public UpdateCheck {
protected:
    void SetUp() override
    {
        UpdateCheck::SetUp();
        browser.reset();
    }
    FakeBrowser browser;
};

struct DismissCase {
    const char* name;
    Answer answer;
};

class Dismissal : public Dialog, public ::testing::WithParamInterface<DismissCase> {};

TEST_P(Dismissal, HidesAndStartsNothing)
{
    Checked app("1.0.5");
    SetCheck(true, server->http() + "/files/newer.plist");
    EXPECT_TRUE(RunCheck(app, GetParam().answer).shown);
    EXPECT_FALSE(browser.ran());
    // The dialog stays usable: a second check shows it again.
    EXPECT_TRUE(RunCheck(app, Answer::No).shown);
}

INSTANTIATE_TEST_SUITE_P(Answers, Dismissal,
                         ::testing::Values(DismissCase{"nie", Answer::No}, DismissCase{"escape", Answer::Escape},
                                           DismissCase{"window_closed", Answer::Close}),
                         [](const ::testing::TestParamInfo<DismissCase>& info) { return std::string(info.param.name); });

struct BrowserCase {
    const char* name;
    std::string address;  // "pl" of the version file; "\x01" = no "pl"
    std::vector<std::string> arguments;
};

void PrintTo(const BrowserCase& c, std::ostream* os)
{
    *os << c.name;
}

class Browser : public Dialog, public ::testing::WithParamInterface<BrowserCase> {};

// Notes, as the dialog is hidden, whether the browser had already run.
class HideWatch : public QObject {
public:
    explicit HideWatch(const FakeBrowser& browser) : browser_(browser) {}
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Hide && !hidden) {
            hidden = true;
            browserHadRun = browser_.ran();
        }
        return false;
    }
    bool hidden = false;
    bool browserHadRun = false;

private:
    const FakeBrowser& browser_;
};

// The first check of a start: an address that is no web address leaves the
// dialog without one, so "Tak" starts the browser on nothing. The dialog is
// gone before the browser starts, not left on the screen while it runs.
TEST_P(Browser, TakStartsItWithTheWebAddressAlone)
{
    const BrowserCase& c = GetParam();
    const std::string marker = browser.dir() + "/injected";
    std::string address = c.address;
    for (size_t at; (at = address.find("MARKER")) != std::string::npos;)
        address.replace(at, 6, marker);
    Plist::Dictionary root = VersionRoot("1.0.6", address);
    if (c.address == "\x01")
        boost::any_cast<Plist::Dictionary&>(root["location"]).erase("pl");
    server->put("browser.plist", VersionFile(root, true));

    Checked app("1.0.5");
    HideWatch watch(browser);
    app.dialog.installEventFilter(&watch);
    SetCheck(true, server->http() + "/files/browser.plist");
    ASSERT_TRUE(RunCheck(app, Answer::Yes).shown);
    EXPECT_TRUE(watch.hidden);
    EXPECT_FALSE(watch.browserHadRun) << "the dialog was hidden only after the browser had ended";

    // The check returns only after the browser has ended.
    ASSERT_TRUE(browser.ran());
    std::vector<std::string> expected;
    for (std::string argument : c.arguments) {
        for (size_t at; (at = argument.find("MARKER")) != std::string::npos;)
            argument.replace(at, 6, marker);
        expected.push_back(argument);
    }
    EXPECT_EQ(browser.arguments(), expected);
    EXPECT_FALSE(FileExists(marker)) << "part of the address ran as a command";
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, Browser,
    ::testing::Values(
        BrowserCase{"http", "http://pobierz.example/wersja?a=1&b=2", {"http://pobierz.example/wersja?a=1&b=2"}},
        BrowserCase{"https_utf8", "https://pobierz.example/łódź", {"https://pobierz.example/łódź"}},
        BrowserCase{"upper_case_scheme", "HTTPS://POBIERZ.example/Nowa", {"HTTPS://POBIERZ.example/Nowa"}},
        // Web addresses that a shell would run a command from.
        BrowserCase{"semicolon", "http://x/;touch$IFS'MARKER'", {"http://x/;touch$IFS'MARKER'"}},
        BrowserCase{"command_substitution", "http://x/$(touch$IFS'MARKER')", {"http://x/$(touch$IFS'MARKER')"}},
        // No web address: the browser gets none.
        BrowserCase{"file", "file:///etc/passwd", {}},
        BrowserCase{"javascript", "javascript:alert(document.cookie)", {}},
        BrowserCase{"about", "about:config", {}},
        BrowserCase{"mailto", "mailto:pobierz@example.org", {}},
        BrowserCase{"leading_blank", " https://pobierz.example/", {}},
        BrowserCase{"no_host", "http:/pobierz.example/", {}},
        BrowserCase{"blanks_and_line_feed", "http://x/ | touch MARKER\ntouch MARKER", {}},
        BrowserCase{"option_like", "--screenshot=MARKER", {}},
        BrowserCase{"empty", "", {}},
        BrowserCase{"no_address", "\x01", {}}),
    [](const ::testing::TestParamInfo<BrowserCase>& info) { return std::string(info.param.name); });

TEST_F(Dialog, MissingBrowserIsIgnored)
{
    const char* path = getenv("PATH");
    const std::string saved = path != nullptr ? path : "";
    setenv("PATH", "/nonexistent-vd-update", 1);
    EXPECT_FALSE(RunBrowser("http://pobierz.example/"));
    setenv("PATH", saved.c_str(), 1);
    // Nor is anything started for an address the browser would take as an option.
    EXPECT_FALSE(RunBrowser("--screenshot=/tmp/x"));
    EXPECT_FALSE(browser.ran());
    EXPECT_TRUE(RunBrowser("http://pobierz.example/"));
    EXPECT_TRUE(browser.ran());
}

} // namespace
