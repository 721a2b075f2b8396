#include "plist/PlistBinary_internal.h"
#include "plist/PlistXml_internal.h"

#include <cstring>
#include <fstream>
#include <istream>
#include <sys/stat.h>

namespace Plist {

void readFromBuffer(const char* data, int64_t size, boost::any& out)
{
    if (data == nullptr || size <= 0)
        throw Error("Plist: Empty plist data");
    if (size >= 8 && std::memcmp(data, "bplist00", 8) == 0)
        readBinaryPlist(data, size, out);
    else
        readXmlPlist(data, size, out);
}

void readFromStream(std::istream& in, boost::any& out)
{
    // Read to the end in chunks: a seek-derived size may be wrong (pipes,
    // directories, files that change), and a short read must not leave
    // zeros to be parsed.
    std::vector<char> buffer;
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        buffer.insert(buffer.end(), chunk, chunk + in.gcount());
        if (!in)
            break;
    }
    if (in.bad())
        throw Error("Plist: read error");
    if (buffer.empty())
        throw Error("Can't read zero length data");
    readFromBuffer(buffer.data(), static_cast<int64_t>(buffer.size()), out);
}

void readDictionaryFromStream(std::istream& in, Dictionary& out)
{
    boost::any value;
    readFromStream(in, value);
    Dictionary& dict = boost::any_cast<Dictionary&>(value);
    out.swap(dict);
}

void readDictionaryFromBuffer(const char* data, int64_t size, Dictionary& out)
{
    boost::any value;
    readFromBuffer(data, size, value);
    Dictionary& dict = boost::any_cast<Dictionary&>(value);
    out.swap(dict);
}

void readDictionaryFromFile(const char* path, Dictionary& out)
{
    if (path == nullptr)
        throw Error("Can't open file.");
    // A directory opens as a stream on this platform; it is not a file.
    struct stat info;
    if (stat(path, &info) == 0 && S_ISDIR(info.st_mode))
        throw Error("Can't open file.");
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file)
        throw Error("Can't open file.");
    readDictionaryFromStream(file, out);
}

} // namespace Plist
