// Internals of the progress box for its tests. Nothing here is meant for the
// box's users.
#ifndef VD_APP_MESSAGEBOXPROGRESS_INTERNAL_H
#define VD_APP_MESSAGEBOXPROGRESS_INTERNAL_H

#include "app/MessageBoxProgress.h"

struct MessageBoxProgressTestAccess {
    // The texts the box keeps until it is shown.
    static const char* Title(const MessageBoxProgress& box) { return box.title; }
    static const char* MainText(const MessageBoxProgress& box) { return box.mainText; }
    static const char* AdditionalText(const MessageBoxProgress& box) { return box.additionalText; }
};

#endif  // VD_APP_MESSAGEBOXPROGRESS_INTERNAL_H
