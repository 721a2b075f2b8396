// Writing the saved report to the name the user chose. Only the main window
// and its tests use it.
#ifndef VD_APP_REPORTFILE_INTERNAL_H
#define VD_APP_REPORTFILE_INTERNAL_H

#include <QString>

#include <functional>

// Writes text to path as UTF-8.
//
// The path is followed from "/" (or the working folder) one name at a time,
// and a link on the way, the last name included, is followed only when it
// belongs to the user saving or to root; any other link fails the save.
//
// A regular file (or a new one) is written to a new file in the same
// folder, which takes the chosen name only once every byte is on the disk:
// a new name gets what a plain create gives, a replaced file keeps its
// owner, group and mode (or the save fails when they cannot be kept). A
// name that came to hold something else meanwhile is not replaced.
//
// A device or pipe is written in place and never waited on for good: with
// no reader the save fails at once, and it fails when the reader takes
// nothing for some seconds.
//
// False on any failure, which leaves the name and what it held as they
// were and creates nothing.
bool WriteReportFile(const QString& path, const QString& text);

// Runs once the whole report sits in the new file, just before that file
// takes the chosen name; empty except in tests, which act there.
extern std::function<void()> reportWrittenHook;

#endif  // VD_APP_REPORTFILE_INTERNAL_H
