// Internals of the report view for its tests. Nothing here is meant for the
// view's users.
#ifndef VD_APP_ATTRQTEXTBROWSER_INTERNAL_H
#define VD_APP_ATTRQTEXTBROWSER_INTERNAL_H

#include <QColor>

#include "app/AttrQTextBrowser.h"

struct AttrQTextBrowserTestAccess {
    // The colour of pieces that come without one of their own.
    static QColor CurrentColor(const AttrQTextBrowser& view) { return view.currentColor; }
};

#endif  // VD_APP_ATTRQTEXTBROWSER_INTERNAL_H
