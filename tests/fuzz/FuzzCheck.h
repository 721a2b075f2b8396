// What every reader fuzz target checks about one input: the read either
// fails with one of the reader's own exceptions or yields a tree made only
// of the eight value types, none of them empty.
#ifndef VD_TESTS_FUZZ_FUZZCHECK_H
#define VD_TESTS_FUZZ_FUZZCHECK_H

#include "plist/Plist.h"

#include <boost/locale/encoding_errors.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace fuzzcheck {

inline void fail(const char* what)
{
    std::fprintf(stderr, "reader invariant broken: %s\n", what);
    std::abort();
}

inline void checkTree(const boost::any& v, int depth)
{
    if (depth > 512)
        fail("tree deeper than the nesting limit");
    if (v.empty())
        fail("empty value");
    if (const Plist::Dictionary* d = boost::any_cast<Plist::Dictionary>(&v)) {
        for (const auto& entry : *d)
            checkTree(entry.second, depth + 1);
        return;
    }
    if (const Plist::Array* a = boost::any_cast<Plist::Array>(&v)) {
        for (const auto& item : *a)
            checkTree(item, depth + 1);
        return;
    }
    if (const Plist::Date* date = boost::any_cast<Plist::Date>(&v)) {
        // Every date must print in the fixed four-digit-year form.
        if (date->toXmlText().size() != 20)
            fail("date outside years 0..9999");
        return;
    }
    const std::type_info& t = v.type();
    if (t != typeid(std::string) && t != typeid(long) && t != typeid(double) && t != typeid(bool) &&
        t != typeid(Plist::Data))
        fail("value of a type outside the model");
}

// Both readers take the whole input and leave the tree in out.
typedef void (*Reader)(const char* data, int64_t size, boost::any& out);

// The body of a reader's fuzz target.
inline int run(Reader read, const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    boost::any out;
    try {
        read(reinterpret_cast<const char*>(data), static_cast<int64_t>(size), out);
    } catch (const Plist::Error&) {
        if (!out.empty())
            fail("output written by a failed read");
        return 0;
    } catch (const boost::locale::conv::conversion_error&) {
        if (!out.empty())
            fail("output written by a failed read");
        return 0;
    }
    // Any other exception escapes and ends the run as a finding.
    checkTree(out, 0);
    return 0;
}

} // namespace fuzzcheck

#endif
