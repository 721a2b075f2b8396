// The report's frame and system sections: the title and date, the system,
// user and address lines, the reader drivers, the PC/SC service, the
// installed files and the closing line. The report worker runs them in that
// order, the reader and card sections (ReportCards.h) between them.
#ifndef VD_APP_REPORTFRAME_H
#define VD_APP_REPORTFRAME_H

#include <QString>

#include "app/ReportSink.h"

// Black as the current colour, the title with the program's version, and
// the local date and time.
void ReportTitleAndDate(ReportSink& sink, const QString& appVersion);

// The system, the effective user's name and the machine's first IPv4
// address that is not a loopback one.
void ReportSystem(ReportSink& sink);

// Each entry of the reader-driver directory with its bundle's details.
void ReportDrivers(ReportSink& sink);

// Whether the PC/SC daemon runs, and its version when it does. True when a
// daemon runs; answers is false when it did not answer its wake-up in time,
// so that the report asks it nothing more.
bool ReportDaemon(ReportSink& sink, bool& answers);

// The token libraries and the card manager that are installed, each with
// its version.
void ReportInstalledFiles(ReportSink& sink);

// The report's last line.
void ReportClosingLine(ReportSink& sink);

#endif  // VD_APP_REPORTFRAME_H
