// XML property-list writer. pugixml builds the elements and serialises
// them, one tab of indent per level.
//
// A property list of a million values would be a pugixml tree of two
// million nodes, and allocating and touching that memory costs more than
// the serialisation itself. So a large container is written a slice at a
// time: its own start and end tags directly, its children built a batch at
// a time in a small scratch document and printed by pugixml at their
// depth. The text is the same as that of the whole document saved at once.
#include "plist/Base64_internal.h"
#include "plist/Plist.h"
#include "plist/PlistWriter_internal.h"

#include <pugixml.hpp>

#include <charconv>
#include <cstring>
#include <string>
#include <typeinfo>

namespace Plist {

namespace {

const char kDoctype[] =
    "plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"";

// Containers with at least this many children are written a slice at a
// time; smaller ones go to pugixml whole.
constexpr size_t kSliceThreshold = 64;
// Nodes gathered in the scratch document before they are printed.
constexpr size_t kBatch = 256;

// Appends the elements of values to a pugixml node.
class XmlBuilder {
public:
    // depth is the value's level: 1 for the top value.
    void appendXmlValue(pugi::xml_node parent, int depth, const boost::any& value)
    {
        const std::type_info& t = value.type();
        if (t == typeid(int)) {
            appendXmlInteger(parent, *boost::unsafe_any_cast<int>(&value));
        } else if (t == typeid(long)) {
            appendXmlInteger(parent, *boost::unsafe_any_cast<long>(&value));
        } else if (t == typeid(short)) {
            appendXmlInteger(parent, *boost::unsafe_any_cast<short>(&value));
        } else if (t == typeid(Dictionary)) {
            appendXmlDict(parent, depth, *boost::unsafe_any_cast<Dictionary>(&value));
        } else if (t == typeid(std::string)) {
            appendXmlString(parent, "string", *boost::unsafe_any_cast<std::string>(&value));
        } else if (t == typeid(Array)) {
            appendXmlArray(parent, depth, *boost::unsafe_any_cast<Array>(&value));
        } else if (t == typeid(Data)) {
            appendXmlData(parent, *boost::unsafe_any_cast<Data>(&value));
        } else if (t == typeid(double)) {
            appendXmlReal(parent, *boost::unsafe_any_cast<double>(&value));
        } else if (t == typeid(float)) {
            appendXmlReal(parent, *boost::unsafe_any_cast<float>(&value));
        } else if (t == typeid(Date)) {
            const std::string text = boost::unsafe_any_cast<Date>(&value)->toXmlText();
            appendXmlTextElement(parent, "date", text.data(), text.size());
        } else if (t == typeid(bool)) {
            parent.append_child(*boost::unsafe_any_cast<bool>(&value) ? "true" : "false");
        } else {
            writer::throwUnsupportedType(value);
        }
    }

    void appendXmlString(pugi::xml_node parent, const char* name, const std::string& text)
    {
        writer::checkText(text, writer::TextTarget::Xml);
        appendXmlTextElement(parent, name, text.data(), text.size());
    }

private:
    void appendXmlDict(pugi::xml_node parent, int depth, const Dictionary& dict)
    {
        if (depth > writer::kMaxDepth)
            writer::throwTooDeep();
        pugi::xml_node element = parent.append_child("dict");
        for (const auto& entry : dict) {
            appendXmlString(element, "key", entry.first);
            appendXmlValue(element, depth + 1, entry.second);
        }
    }

    void appendXmlArray(pugi::xml_node parent, int depth, const Array& array)
    {
        if (depth > writer::kMaxDepth)
            writer::throwTooDeep();
        pugi::xml_node element = parent.append_child("array");
        for (const boost::any& item : array)
            appendXmlValue(element, depth + 1, item);
    }

    static void appendXmlTextElement(pugi::xml_node parent, const char* name, const char* text, size_t size)
    {
        parent.append_child(name).append_child(pugi::node_pcdata).set_value(text, size);
    }

    // Integers in plain decimal; neither depends on the process locale.
    static void appendXmlInteger(pugi::xml_node parent, long value)
    {
        char buffer[32];
        const std::to_chars_result r = std::to_chars(buffer, buffer + sizeof buffer, value);
        appendXmlTextElement(parent, "integer", buffer, static_cast<size_t>(r.ptr - buffer));
    }

    // The shortest text that reads back as the same double.
    static void appendXmlReal(pugi::xml_node parent, double value)
    {
        char buffer[64];
        const std::to_chars_result r = std::to_chars(buffer, buffer + sizeof buffer, value);
        appendXmlTextElement(parent, "real", buffer, static_cast<size_t>(r.ptr - buffer));
    }

    static void dataToBase64(std::string& out, const Data& data)
    {
        // Four characters per started group of three bytes, and a line
        // feed after every 18 complete groups.
        out.resize((data.size() + 2) / 3 * 4 + data.size() / 54);
        base64Encode(data.begin(), data.end(), &out[0]);
    }

    void appendXmlData(pugi::xml_node parent, const Data& data)
    {
        dataToBase64(scratch_, data);
        appendXmlTextElement(parent, "data", scratch_.data(), scratch_.size());
    }

    std::string scratch_;
};

class VectorWriter : public pugi::xml_writer {
public:
    explicit VectorWriter(std::vector<char>& out) : out_(out) {}
    void write(const void* data, size_t size) override
    {
        const char* p = static_cast<const char*>(data);
        out_.insert(out_.end(), p, p + size);
    }

private:
    std::vector<char>& out_;
};

class XmlEmitter {
public:
    explicit XmlEmitter(std::vector<char>& out) : out_(out), sink_(out) {}

    void emitDocument(const boost::any& top)
    {
        {
            pugi::xml_document head;
            pugi::xml_node declaration = head.append_child(pugi::node_declaration);
            declaration.append_attribute("version") = "1.0";
            declaration.append_attribute("encoding") = "UTF-8";
            head.append_child(pugi::node_doctype).set_value(kDoctype);
            head.save(sink_, "\t", pugi::format_indent, pugi::encoding_auto);
        }
        appendText("<plist version=\"1.0\">\n");
        emitValue(top, 1);
        appendText("</plist>\n");
    }

private:
    static size_t childCount(const boost::any& value)
    {
        if (const Dictionary* d = boost::any_cast<Dictionary>(&value))
            return d->size();
        if (const Array* a = boost::any_cast<Array>(&value))
            return a->size();
        return 0;
    }

    void emitValue(const boost::any& value, int depth)
    {
        if (childCount(value) < kSliceThreshold) {
            builder_.appendXmlValue(scratch_, depth, value);
            flush(depth);
            return;
        }
        if (depth > writer::kMaxDepth)
            writer::throwTooDeep();
        if (const Dictionary* dict = boost::any_cast<Dictionary>(&value)) {
            appendTag(depth, "<dict>\n");
            for (const auto& entry : *dict) {
                builder_.appendXmlString(scratch_, "key", entry.first);
                emitChild(entry.second, depth + 1);
            }
            flush(depth + 1);
            appendTag(depth, "</dict>\n");
        } else {
            appendTag(depth, "<array>\n");
            for (const boost::any& item : *boost::any_cast<Array>(&value))
                emitChild(item, depth + 1);
            flush(depth + 1);
            appendTag(depth, "</array>\n");
        }
    }

    // Small children gather in the scratch document; a large one is
    // sliced in turn, after what has gathered before it.
    void emitChild(const boost::any& value, int depth)
    {
        if (childCount(value) >= kSliceThreshold) {
            flush(depth);
            emitValue(value, depth);
            return;
        }
        builder_.appendXmlValue(scratch_, depth, value);
        if (++pending_ >= kBatch)
            flush(depth);
    }

    void flush(int depth)
    {
        for (pugi::xml_node node = scratch_.first_child(); node; node = node.next_sibling())
            node.print(sink_, "\t", pugi::format_indent, pugi::encoding_auto, static_cast<unsigned>(depth));
        scratch_.reset();
        pending_ = 0;
    }

    void appendText(const char* text)
    {
        out_.insert(out_.end(), text, text + std::strlen(text));
    }

    void appendTag(int depth, const char* tag)
    {
        out_.insert(out_.end(), static_cast<size_t>(depth), '\t');
        appendText(tag);
    }

    std::vector<char>& out_;
    VectorWriter sink_;
    pugi::xml_document scratch_;
    XmlBuilder builder_;
    size_t pending_ = 0;
};

// The whole text, built before anything is delivered: a refused value
// leaves every target untouched.
std::vector<char> buildXmlText(const boost::any& top)
{
    std::vector<char> text;
    XmlEmitter(text).emitDocument(top);
    return text;
}

} // namespace

void writeXmlToStream(std::ostream& out, const boost::any& top)
{
    const std::vector<char> text = buildXmlText(top);
    writer::writeWholeStream(out, text.data(), text.size());
}

void writeXmlToFile(const char* path, const boost::any& top)
{
    const std::vector<char> text = buildXmlText(top);
    writer::writeWholeFile(path, text.data(), text.size());
}

void writeXmlToBuffer(std::vector<char>& out, const boost::any& top)
{
    std::vector<char> text = buildXmlText(top);
    out.swap(text);
}

} // namespace Plist
