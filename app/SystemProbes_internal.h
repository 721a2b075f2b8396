// Internals of the system probes shared between their sources and their
// tests. Nothing here is meant for the report.
#ifndef VD_APP_SYSTEMPROBES_INTERNAL_H
#define VD_APP_SYSTEMPROBES_INTERNAL_H

#include <string>

#include "app/SystemProbes.h"

// The file at path, opened (O_PATH, close-on-exec), when path is absolute,
// names a regular file "pcscd" owned by root and writable by no one else on
// a file system not mounted nosuid, and every directory on the way to it is
// owned by root and writable by no one else; -1 otherwise, and for any
// symbolic link, "." or ".." on the way. Each directory is checked as it is
// opened and the file is opened from the last one, so nothing can be
// swapped between the checks and the run.
int OpenTrustedDaemonFile(const std::string& path);

#endif  // VD_APP_SYSTEMPROBES_INTERNAL_H
