#include "update/PanelCheckVersion.h"
#include "update/PanelCheckVersion_internal.h"

#include "ui_PanelCheckVersion.h"

#include "app/MainWindow.h"
#include "plist/Plist.h"
#include "update/DownloadBuffers_internal.h"
#include "update/RuntimeParams.h"

#include <QGuiApplication>
#include <QScreen>
#include <QStyle>
#include <QUrl>

#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

extern char** environ;

namespace {

// libcurl hands its data pointers back as void*; these adapt the typed
// callbacks without casting function pointers.
size_t WriteBodyThunk(char* ptr, size_t size, size_t nmemb, void* userdata)
{
    return WriteBodyCallback(ptr, size, nmemb, static_cast<DownloadBuffer*>(userdata));
}

size_t HeaderLineThunk(char* ptr, size_t size, size_t nmemb, void* userdata)
{
    return HeaderLineCallback(ptr, size, nmemb, static_cast<HeaderLines*>(userdata));
}

// Downloads the version file into out. False on any transfer error or an
// empty body; nothing stays allocated either way.
bool DownloadVersionFile(const char* url, QByteArray& out)
{
    curl_global_init(CURL_GLOBAL_ALL);
    CURL* handle = curl_easy_init();
    if (handle == nullptr)
        return false;

    // The update server's certificate chain is not verified, but it must be
    // issued for the host that the address names.
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    // The update server speaks HTTP(S) and nothing else: any other address
    // would read a local file or wait on a server that never answers.
    // Redirects are not followed; the second option keeps it so should that
    // ever change. A libcurl that cannot be told so fetches nothing.
    if (curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") != CURLE_OK) {
        curl_easy_cleanup(handle);
        return false;
    }

    DownloadBuffer body;
    body.data = static_cast<char*>(calloc(8, 1));
    if (body.data == nullptr) {
        curl_easy_cleanup(handle);
        return false;
    }
    body.size = 0;
    HeaderLines lines;
    lines.count = 0;

    curl_easy_setopt(handle, CURLOPT_URL, url);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, WriteBodyThunk);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, HeaderLineThunk);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &lines);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, "libcurl-agent/1.0");
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, 5L);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 1L);
    // At its time-out libcurl would otherwise wait for its resolver thread,
    // which a name server that never answers holds for the resolver's own
    // time-outs (10 s and more), keeping the main window back that long.
    // The thread is left to end by itself; it touches only what it owns and
    // frees that when its look-up returns.
    curl_easy_setopt(handle, CURLOPT_QUICK_EXIT, 1L);

    const CURLcode result = curl_easy_perform(handle);
    curl_easy_cleanup(handle);

    const bool received = result == CURLE_OK && body.data != nullptr && body.size != 0;
    if (received)
        out = QByteArray(body.data, static_cast<int>(body.size));
    FreeDownloadBuffers(&body.data, &lines);
    return received;
}

// The version file comes over a connection whose server is not verified, and
// its address is handed to the browser, so only a whole web address is
// taken: parsed strictly (no blanks or control characters anywhere), an
// http or https scheme in any case, and a host. Local files, scripts,
// browser-internal pages and anything the browser could read as an option
// are not.
bool IsDownloadAddress(const QString& text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

} // namespace

PanelCheckVersion::PanelCheckVersion(QWidget* parent)
    : QDialog(parent, Qt::WindowFlags()), ui(new Ui_PanelCheckVersion), mainWindow(nullptr)
{
    ui->setupUi(this);
    setFixedSize(frameGeometry().width(), frameGeometry().height());
    mainWindow = parent;
}

PanelCheckVersion::~PanelCheckVersion()
{
    delete ui;
}

void PanelCheckVersion::reject()
{
    hide();
}

void PanelCheckVersion::on_buttonNo_clicked()
{
    hide();
}

void PanelCheckVersion::on_buttonYes_clicked()
{
    hide();
    RunBrowser(downloadUrl.toUtf8());
}

bool IsNewerVersion(const QByteArray& running, const std::string& published)
{
    const size_t n = static_cast<size_t>(running.size());
    if (n == 0 || published.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        const signed char mine = static_cast<signed char>(running[static_cast<int>(i)]);
        const signed char theirs = static_cast<signed char>(published[i]);
        if (mine != theirs)
            return theirs > mine;
    }
    return false;
}

bool RunBrowser(const QByteArray& address)
{
    if (address.startsWith('-'))
        return false;
    char program[] = "firefox";
    QByteArray argument = address;
    char* argv[] = {program, address.isEmpty() ? nullptr : argument.data(), nullptr};
    pid_t child = -1;
    if (posix_spawnp(&child, program, nullptr, nullptr, argv, environ) != 0)
        return false;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

void PanelCheckVersion::CheckVersion(MainWindow* window)
{
    if (!runtimeParams.checkLatestVersion)
        return;

    // The configuration record always holds a terminated address, but the
    // copy keeps the transfer within the field whatever it holds.
    const QByteArray url(runtimeParams.versionFileUrl,
                         static_cast<int>(strnlen(runtimeParams.versionFileUrl, sizeof runtimeParams.versionFileUrl)));
    QByteArray body;
    if (!DownloadVersionFile(url.constData(), body))
        return;

    Plist::Dictionary root;
    try {
        Plist::readDictionaryFromBuffer(body.constData(), body.size(), root);
    } catch (...) {
        root.clear();  // not a property list, or its root is not a dictionary
    }
    body.clear();
    if (root.empty())
        return;

    // A missing key or a value of another type reads as empty.
    const std::string published = Plist::valueOr<std::string>(root, "version", std::string());
    const Plist::Dictionary location = Plist::valueOr<Plist::Dictionary>(root, "location", Plist::Dictionary());
    if (published.empty() || location.empty())
        return;

    // Anything but a web address counts as no address at all, and without
    // one the address keeps what it held.
    const QString address = QString::fromStdString(Plist::valueOr<std::string>(location, "pl", std::string()));
    if (IsDownloadAddress(address))
        downloadUrl = address;

    const QByteArray running = window->appVersion.toUtf8();
    if (!IsNewerVersion(running, published))
        return;

    ui->lNewAppVersionInfo->setText(QStringLiteral("Dostępna jest nowsza wersja aplikacji (") +
                                    QString::fromStdString(published) + QStringLiteral(")"));
    ui->lNewAppVersion->setText(QStringLiteral("Czy chcesz przejść do strony www"));
    ui->lCurrentVersion->setText(QStringLiteral("z najnowszą wersją programu ?"));

    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen != nullptr)
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), screen->availableGeometry()));
    exec();
}
