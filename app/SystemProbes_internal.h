// Internals of the system probes shared between their sources and their
// tests. Nothing here is meant for the report.
#ifndef VD_APP_SYSTEMPROBES_INTERNAL_H
#define VD_APP_SYSTEMPROBES_INTERNAL_H

#include <string>

#include "app/SystemProbes.h"

// The file at path, opened (O_PATH, close-on-exec), when path is absolute,
// ends in the name "pcscd" and leads to a regular file of that name owned
// by root and writable by no one else on a file system not mounted nosuid,
// and every directory on the way is owned by root and writable by no one
// else; -1 otherwise. The way may go through symbolic links that root owns
// (in those directories), at most 40 of them, as the kernel follows; a link
// owned by anyone else ends it. "." stays where it is; ".." goes back to
// the directory walked before it (at "/" it stays at "/"), never to one
// not yet checked. Each directory is checked as it is opened and the file
// is opened from the last one, so nothing can be swapped between the
// checks and the run.
int OpenTrustedDaemonFile(const std::string& path);

#endif  // VD_APP_SYSTEMPROBES_INTERNAL_H
