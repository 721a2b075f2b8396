#include "plist/PlistXml_internal.h"

#include "plist/Base64_internal.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale.h>

namespace Plist {

namespace {

bool isTextNode(const pugi::xml_node& node)
{
    const pugi::xml_node_type type = node.type();
    return type == pugi::node_pcdata || type == pugi::node_cdata;
}

bool isCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isBlank(const char* p)
{
    for (; *p != '\0'; ++p)
        if (!isCSpace(*p))
            return false;
    return true;
}

// Blank text between the values of a container is layout, not a value;
// it is skipped wherever the parser kept it.
bool isLayoutText(const pugi::xml_node& node)
{
    return node.type() == pugi::node_pcdata && isBlank(node.value());
}

pugi::xml_node nextValueNode(pugi::xml_node node)
{
    while (node && isLayoutText(node))
        node = node.next_sibling();
    return node;
}

// The parser keeps an element's leading text as the element's own value
// rather than as a child node, which halves the nodes of a typical
// document. In a container such text stands where a value is expected.
bool hasStrayLeadingText(const pugi::xml_node& node)
{
    return !isBlank(node.value());
}

// Element names are compared often; an inline loop beats a library call.
inline bool nameIs(const char* name, const char* wanted)
{
    while (*wanted != '\0' && *name == *wanted) {
        ++name;
        ++wanted;
    }
    return *name == *wanted;
}

// Whether blank text may stand beside a comment, a CDATA section or a
// processing instruction inside an element, where it is part of the text
// and must be kept. Most property lists hold none of these; for them it is
// enough (and much faster) to keep blank text only where it is an
// element's whole content. Input that is not byte-oriented is not scanned.
bool mayHoldMixedBlankText(const char* data, size_t size)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    if (size >= 2 && ((p[0] == 0xFE && p[1] == 0xFF) || (p[0] == 0xFF && p[1] == 0xFE)))
        return true;
    if (std::memchr(data, '\0', size < 4 ? size : 4) != nullptr)
        return true;
    // "!" and "?" are rare in property lists, so looking for them and then
    // at the byte before is far cheaper than a search for each markup.
    // Only the document type and the XML declaration at the start are
    // harmless.
    const char* const end = data + size;
    for (const char* q = data + 1; q < end; ++q) {
        q = static_cast<const char*>(std::memchr(q, '!', static_cast<size_t>(end - q)));
        if (q == nullptr)
            break;
        if (q[-1] == '<' && !(end - q >= 8 && std::memcmp(q + 1, "DOCTYPE", 7) == 0))
            return true;
    }
    const size_t bom = size >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF ? 3 : 0;
    for (const char* q = data + 1; q < end; ++q) {
        q = static_cast<const char*>(std::memchr(q, '?', static_cast<size_t>(end - q)));
        if (q == nullptr)
            break;
        if (q[-1] == '<' && q - 1 != data + bom)
            return true;
    }
    return false;
}

locale_t cLocale()
{
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

} // namespace

// The element's text (its own leading text, then every text and CDATA
// child) without a copy when it is a single piece; otherwise joined into
// scratch.
static const char* elementTextPointer(const pugi::xml_node& node, std::string& scratch)
{
    const char* leading = node.value();
    pugi::xml_node child = node.first_child();
    if (!child)
        return leading;
    if (*leading == '\0' && !child.next_sibling() && isTextNode(child))
        return child.value();
    // Comments split text into several pieces, and so do adjacent CDATA
    // sections; the value is all of them.
    scratch.assign(leading);
    for (; child; child = child.next_sibling())
        if (isTextNode(child))
            scratch += child.value();
    return scratch.c_str();
}

std::string xmlElementText(const pugi::xml_node& node)
{
    std::string scratch;
    const char* text = elementTextPointer(node, scratch);
    if (text == scratch.c_str())
        return scratch;
    return std::string(text);
}

long parseXmlInteger(const char* text)
{
    const char* p = text;
    while (isCSpace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    const uint64_t limit = negative ? uint64_t(1) << 63 : (uint64_t(1) << 63) - 1;
    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const unsigned digit = static_cast<unsigned>(*p - '0');
        if (value > (limit - digit) / 10)
            throw Error(std::string("Plist: XML integer out of range ") + text);
        value = value * 10 + digit;
    }
    if (negative)
        return value == (uint64_t(1) << 63) ? std::numeric_limits<long>::min() : -static_cast<long>(value);
    return static_cast<long>(value);
}

double parseXmlReal(const char* text)
{
    // A Polish desktop locale writes "1,5"; property lists always use "1.5".
    const locale_t c = cLocale();
    if (c == static_cast<locale_t>(nullptr))
        return std::strtod(text, nullptr);
    return strtod_l(text, nullptr, c);
}

Date readXmlDate(const pugi::xml_node& node)
{
    // Any valid start value will do: the text replaces it or the read ends.
    Date date(1, 1, 2001, 0, 0, 0, true);
    std::string scratch;
    dateFromXmlText(date, elementTextPointer(node, scratch));
    return date;
}

Dictionary readXmlDict(const pugi::xml_node& node, int depth)
{
    Dictionary dict;
    if (hasStrayLeadingText(node))
        throw Error("Plist: XML dictionary key expected but not found");
    pugi::xml_node child = nextValueNode(node.first_child());
    while (child) {
        if (!nameIs(child.name(), "key"))
            throw Error("Plist: XML dictionary key expected but not found");
        std::string key = xmlElementText(child);
        child = nextValueNode(child.next_sibling());
        if (!child)
            throw Error("Plist: XML dictionary value expected for key " + key + "but not found");
        if (nameIs(child.name(), "key"))
            throw Error("Plist: XML dictionary value expected for key " + key + "but found another key node");
        // Keys usually come sorted, so the end is the right hint; a key seen
        // before takes the later value.
        dict.insert_or_assign(dict.end(), std::move(key), readXmlValue(child, depth + 1));
        child = nextValueNode(child.next_sibling());
    }
    return dict;
}

Array readXmlArray(const pugi::xml_node& node, int depth)
{
    Array array;
    if (hasStrayLeadingText(node))
        throw Error("Plist: XML unknown node type ");
    for (pugi::xml_node child = nextValueNode(node.first_child()); child;
         child = nextValueNode(child.next_sibling()))
        array.push_back(readXmlValue(child, depth + 1));
    return array;
}

boost::any readXmlValue(const pugi::xml_node& node, int depth)
{
    const char* name = node.name();
    switch (name[0]) {
    case 'd':
        if (nameIs(name, "dict")) {
            if (depth >= kMaxNestingDepth)
                throw Error("Plist: XML nesting deeper than 512 levels");
            return readXmlDict(node, depth);
        }
        if (nameIs(name, "data")) {
            std::string scratch;
            return dataFromBase64(elementTextPointer(node, scratch));
        }
        if (nameIs(name, "date"))
            return readXmlDate(node);
        break;
    case 'a':
        if (nameIs(name, "array")) {
            if (depth >= kMaxNestingDepth)
                throw Error("Plist: XML nesting deeper than 512 levels");
            return readXmlArray(node, depth);
        }
        break;
    case 's':
        if (nameIs(name, "string"))
            return xmlElementText(node);
        break;
    case 'i':
        if (nameIs(name, "integer")) {
            std::string scratch;
            return parseXmlInteger(elementTextPointer(node, scratch));
        }
        break;
    case 'r':
        if (nameIs(name, "real")) {
            std::string scratch;
            return parseXmlReal(elementTextPointer(node, scratch));
        }
        break;
    case 'f':
        if (nameIs(name, "false"))
            return false;
        break;
    case 't':
        if (nameIs(name, "true"))
            return true;
        break;
    default:
        break;
    }
    throw Error(std::string("Plist: XML unknown node type ") + name);
}

void readXmlPlist(const char* data, int64_t size, boost::any& out)
{
    pugi::xml_document doc;
    // Besides the defaults (CDATA, escapes, line ends): keep text made only
    // of blanks, since a string of blanks is a value and blanks beside a
    // comment or a CDATA section belong to the text; and keep leading text
    // as the element's value.
    const unsigned keepBlanks = mayHoldMixedBlankText(data, static_cast<size_t>(size))
                                    ? pugi::parse_ws_pcdata
                                    : pugi::parse_ws_pcdata_single;
    const unsigned options = pugi::parse_default | keepBlanks | pugi::parse_embed_pcdata;
    const pugi::xml_parse_result result =
        doc.load_buffer(data, static_cast<size_t>(size), options, pugi::encoding_auto);
    if (!result)
        throw Error(std::string("Plist: XML parsed with error ") + result.description());
    const pugi::xml_node plist = doc.child("plist");
    if (hasStrayLeadingText(plist))
        throw Error("Plist: XML unknown node type ");
    const pugi::xml_node top = nextValueNode(plist.first_child());
    boost::any value = readXmlValue(top, 0);
    out = std::move(value);
}

} // namespace Plist
