// Internal to the property-list library: the XML reader's building blocks.
#ifndef VD_PLIST_PLISTXML_INTERNAL_H
#define VD_PLIST_PLISTXML_INTERNAL_H

#include "plist/Plist.h"

#include <pugixml.hpp>

#include <string>

namespace Plist {

// Containers may nest this deep in either encoding; deeper input is refused
// instead of exhausting the stack.
const int kMaxNestingDepth = 512;

// depth counts the containers that enclose node.
boost::any readXmlValue(const pugi::xml_node& node, int depth = 0);
Dictionary readXmlDict(const pugi::xml_node& node, int depth = 0);
Array readXmlArray(const pugi::xml_node& node, int depth = 0);
Date readXmlDate(const pugi::xml_node& node);

// All text and CDATA children of the element, joined in document order.
std::string xmlElementText(const pugi::xml_node& node);

// The C library's atoll and atof, but in the "C" locale whatever the
// process locale is; an integer beyond the 64-bit range throws.
long parseXmlInteger(const char* text);
double parseXmlReal(const char* text);

// Date::fromXmlText on a NUL-terminated text, without a string copy.
void dateFromXmlText(Date& date, const char* text);

// Reads a whole XML property list into out; out is untouched when it throws.
void readXmlPlist(const char* data, int64_t size, boost::any& out);

} // namespace Plist

#endif
