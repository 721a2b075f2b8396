#include "app/ReportFrame.h"
#include "app/BoundedCall.h"
#include "app/ReportFormat.h"
#include "app/SystemProbes.h"

#include <QByteArray>
#include <QDateTime>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkInterface>

#include <chrono>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include <sys/utsname.h>
#include <unistd.h>
#include <winscard.h>

#include "plist/Plist.h"

namespace {

const char* const kDriverDirectory = "/usr/lib64/pcsc/drivers";
const char* const kTokenLibraries[] = {"/usr/lib64/libVelmartoken.so", "/usr/lib64/libZenthary3PKCS.so"};
const char* const kCardManager = "/opt/VantrelonCardManager/VantrelonCardManager";
const char* const kCardManagerInfo = "/opt/VantrelonCardManager/Info.plist";
const int kDaemonVersionTimeoutMs = 5000;
const int kDaemonWakeTimeoutMs = 5000;

QString canonicalPath(const std::string& path)
{
    return QFileInfo(QString::fromStdString(path)).canonicalFilePath();
}

std::string stringValue(const Plist::Dictionary& dictionary, const char* key)
{
    return boost::any_cast<std::string>(dictionary.at(key));
}

// The details of one driver bundle, or "\n" when its property list cannot
// be read or lacks one of the three names.
std::string driverDetails(const std::string& entry)
{
    const QString path = canonicalPath(std::string(kDriverDirectory) + "/" + entry + "/Contents/Info.plist");
    try {
        Plist::Dictionary info;
        Plist::readDictionaryFromFile(path.toUtf8().constData(), info);
        const std::string version = Plist::valueOr<std::string>(info, "CFBundleShortVersionString", "Nieznana");
        const std::string manufacturer = stringValue(info, "ifdManufacturerString");
        const std::string product = stringValue(info, "ifdProductString");
        const std::string executable = stringValue(info, "CFBundleExecutable");
        return " Producent sterownika: " + manufacturer + "\n" + " Nazwa sterownika: " + product + "\n" +
               " Nazwa biblioteki sterownika: " + executable + "\n" + " Wersja biblioteki sterownika: " + version +
               "\n\n";
    } catch (const std::exception&) {
        return "\n";
    }
}

// One PC/SC context of user scope, released at once, so that a daemon which
// the init system starts on its first client runs afterwards. A daemon that
// takes the connection and never answers (stopped, or hung on a reader
// driver) would hold the call for good, so it gets timeoutMs. False when it
// did not answer in time: every further PC/SC call of the report would then
// block the same way. False too when no thread could be started for it: the
// reader list, which would need one as well, then counts as failed.
bool wakeSocketActivatedDaemon(int timeoutMs)
{
    return CallWithin(timeoutMs, [] {
        SCARDCONTEXT context = 0;
        if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) == SCARD_S_SUCCESS)
            SCardReleaseContext(context);
    });
}

QByteArray toBytes(const std::string& text)
{
    return QByteArray(text.data(), static_cast<int>(text.size()));
}

} // namespace

void ReportTitleAndDate(ReportSink& sink, const QString& appVersion)
{
    sink.colour("black");
    sink.coloured(QStringLiteral("Raport programu diagnostycznego Vantrelon Diagnostic") + " " + appVersion + "\n\n",
                  "blue", true);

    sink.weighted(QStringLiteral("Data i czas"), true);
    sink.plain(" : " + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) + "\n");
}

void ReportSystem(ReportSink& sink)
{
    QString systemText;
    struct utsname names;
    if (uname(&names) != 0) {
        systemText = QStringLiteral("nieznany");
    } else {
        systemText = QString::fromUtf8(names.sysname) + " " + QString::fromUtf8(names.nodename) + " " +
                     QString::fromUtf8(names.release) + "\n" + QString::fromUtf8(names.version) + " " +
                     QString::fromUtf8(names.machine);
    }
    QByteArray releaseText;
    std::vector<std::string> releaseLines;
    if (ReadCommandLines("cat /etc/lsb-release", releaseLines)) {
        for (const std::string& line : releaseLines)
            releaseText += toBytes(line);
        releaseText += "\n";
    }
    sink.weighted(QStringLiteral("System"), true);
    sink.plain(" : " + systemText + "\n" + QString::fromUtf8(releaseText));

    sink.weighted(QStringLiteral("Nazwa użytkownika"), true);
    sink.plain(" : " + QString::fromStdString(EffectiveUserName()) + "\n");

    QString address;
    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress& candidate : addresses) {
        if (!candidate.isLoopback() && candidate.protocol() == QAbstractSocket::IPv4Protocol) {
            address = candidate.toString();
            break;
        }
    }
    sink.weighted(QStringLiteral("Adres IP"), true);
    sink.plain(" : " + address + "\n\n");
}

void ReportDrivers(ReportSink& sink)
{
    sink.coloured(QStringLiteral("Lista zainstalowanych sterowników czytników kart\n\n"), "blue", true);
    std::vector<std::string> entries;
    if (!ReadCommandLines("ls /usr/lib64/pcsc/drivers", entries))
        return;
    std::string text = " ";
    for (const std::string& line : entries) {
        std::string entry = line;
        if (!entry.empty() && entry.back() == '\n')
            entry.pop_back();
        // The name goes out first, whatever becomes of its bundle.
        text += line;
        text += driverDetails(entry);
    }
    text += "\n";
    sink.plain(toBytes(text));
}

bool ReportDaemon(ReportSink& sink, bool& answers)
{
    sink.coloured(QStringLiteral("Informacje o usłudze PCSC\n\n"), "blue", true);
    sink.weighted(QStringLiteral(" Stan"), true);

    // Desktops start the daemon on its first client and end it when idle, so
    // between reports the process list rarely shows it until asked.
    answers = wakeSocketActivatedDaemon(kDaemonWakeTimeoutMs);

    std::vector<std::string> processes;
    std::vector<DaemonProcess> daemons;
    if (ReadCommandLines("ps -ax", processes))
        daemons = FindDaemonProcesses(processes);
    const bool running = !daemons.empty();
    if (!running) {
        sink.plain(QStringLiteral(" : ") + "Nie jest uruchomiona\n");
    } else {
        sink.plain(QStringLiteral(" : ") + "Uruchomiona\n");
        // Anyone can start a process called pcscd: only a root-owned daemon
        // file is asked for its version, and exactly the file that runs.
        for (const DaemonProcess& daemon : daemons) {
            const int executable = OpenTrustedDaemonExecutable(daemon);
            if (executable < 0)
                continue;
            std::string output;
            const bool started = RunProgramOutput("/proc/self/fd/" + std::to_string(executable), "--ver",
                                                  kDaemonVersionTimeoutMs, output);
            ::close(executable);
            if (started) {
                sink.weighted(QStringLiteral(" Wersja : \n"), true);
                sink.plain(toBytes(FormatDaemonVersion(output)));
            }
            break;
        }
    }
    sink.plain(QStringLiteral("\n"));
    // On purpose, the report's one wait: a daemon just woken gets half a
    // second to bring up its readers before the reader list asks for them.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return running;
}

void ReportInstalledFiles(ReportSink& sink)
{
    sink.coloured(QStringLiteral("Lista zainstalowanych plików\n\n"), "blue", true);
    for (const char* library : kTokenLibraries) {
        if (access(library, F_OK) != 0)
            continue;
        sink.weighted(" " + canonicalPath(library) + "\n" + " Wersja : " +
                          QString::fromStdString(TokenLibraryVersion(library)) + "\n",
                      false);
    }
    if (access(kCardManager, F_OK) == 0) {
        std::string version = "1.x.x";
        try {
            Plist::Dictionary info;
            Plist::readDictionaryFromFile(kCardManagerInfo, info);
            version = stringValue(info, "CFBundleShortVersionString");
        } catch (const std::exception&) {
            version = "1.x.x";
        }
        if (version == "1.x.x")
            version = "nieznana";
        sink.weighted(" " + canonicalPath(kCardManager) + "\n" + " Wersja : " + QString::fromStdString(version) +
                          "\n\n",
                      false);
    }
}

void ReportClosingLine(ReportSink& sink)
{
    sink.coloured(QStringLiteral("Koniec raportu diagnostycznego"), "blue", true);
}
