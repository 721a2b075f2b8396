// Property lists: the value model, dates, errors and the reading and
// writing entry points for XML and binary ("bplist00") property lists.
//
// A value is a boost::any holding exactly one of: Plist::Dictionary,
// Plist::Array, std::string (UTF-8), long (64-bit), double, bool,
// Plist::Date or Plist::Data. Every failure is thrown as Plist::Error.
#ifndef VD_PLIST_PLIST_H
#define VD_PLIST_PLIST_H

#include <boost/any.hpp>

#include <cstdint>
#include <iosfwd>
#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace Plist {

typedef std::map<std::string, boost::any> Dictionary;
typedef std::vector<boost::any> Array;
typedef std::vector<char> Data;

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// Seconds since 1970-01-01 00:00:00 UTC, no zone, no fraction.
class Date {
public:
    Date() { setToNow(); }
    Date(int month, int day, int year, int hour, int minute, int second, bool utc)
    {
        set(month, day, year, hour, minute, second, utc);
    }

    void setToNow();
    // Throws Plist::Error("Plist::Date::set() date invalid"); out-of-range
    // fields are normalised as the C library would (day 32 of January is
    // 1 February).
    void set(int month, int day, int year, int hour, int minute, int second, bool utc);

    std::string toXmlText() const;
    void fromXmlText(const std::string& text);

    void setFromReferenceSeconds(double seconds);
    double referenceSeconds() const;

    int64_t unixTime() const { return time_; }
    int64_t secondsSince(const Date& other) const { return time_ - other.time_; }

    int compare(const Date& other) const
    {
        return time_ < other.time_ ? -1 : (time_ > other.time_ ? 1 : 0);
    }
    bool operator>(const Date& other) const { return compare(other) == 1; }
    bool operator<(const Date& other) const { return compare(other) == -1; }
    bool operator==(const Date& other) const { return compare(other) == 0; }

private:
    int64_t time_ = 0;
};

// Reading. Each fills its output completely or throws, leaving it untouched.
void readDictionaryFromFile(const char* path, Dictionary& out);
void readDictionaryFromStream(std::istream& in, Dictionary& out);
void readDictionaryFromBuffer(const char* data, int64_t size, Dictionary& out);
void readFromStream(std::istream& in, boost::any& out);
void readFromBuffer(const char* data, int64_t size, boost::any& out);

// The value under key when it holds a T; fallback when the key is missing
// or its value is of another type. Nothing is thrown for either; T is always
// named, as in valueOr<std::string>(info, "CFBundleShortVersionString", "").
template <typename T>
T valueOr(const Dictionary& dictionary, const std::string& key, const typename std::common_type<T>::type& fallback)
{
    const Dictionary::const_iterator found = dictionary.find(key);
    if (found == dictionary.end())
        return fallback;
    const T* value = boost::any_cast<T>(&found->second);
    return value != nullptr ? *value : fallback;
}

// Writing. The file and buffer forms replace the target's whole content.
void writeXmlToFile(const char* path, const boost::any& top);
void writeXmlToStream(std::ostream& out, const boost::any& top);
void writeXmlToBuffer(std::vector<char>& out, const boost::any& top);
void writeBinaryToFile(const char* path, const boost::any& top);
void writeBinaryToStream(std::ostream& out, const boost::any& top);
void writeBinaryToBuffer(std::vector<char>& out, const boost::any& top);

} // namespace Plist

#endif
