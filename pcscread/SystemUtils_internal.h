// Internals of the named locks for the layer's tests. Nothing here is meant
// for the locks' users.
#ifndef VD_PCSCREAD_SYSTEMUTILS_INTERNAL_H
#define VD_PCSCREAD_SYSTEMUTILS_INTERNAL_H

#include <cstddef>
#include <string>

#include "pcscread/SystemUtils.h"

namespace pcscread {

// The number of names that currently have an entry, and the usage count of
// one name (0 without an entry).
size_t NamedLockEntryCount();
int NamedLockUsage(const std::string& name);

}  // namespace pcscread

#endif  // VD_PCSCREAD_SYSTEMUTILS_INTERNAL_H
