// Reader of the stand-in's fixture file (format described in
// p11stand_control.h). It lets a whole application run against the stand-in
// out of process, where no test code can call the control functions.

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/p11stand/p11stand_internal.h"
#include "tests/support/testkit/testkit.h"

namespace p11stand {
namespace {

struct Named {
    const char* name;
    CK_ULONG value;
};

const Named kAttributeNames[] = {
    {"CKA_CLASS", CKA_CLASS},
    {"CKA_TOKEN", CKA_TOKEN},
    {"CKA_PRIVATE", CKA_PRIVATE},
    {"CKA_LABEL", CKA_LABEL},
    {"CKA_APPLICATION", CKA_APPLICATION},
    {"CKA_VALUE", CKA_VALUE},
    {"CKA_OBJECT_ID", CKA_OBJECT_ID},
    {"CKA_CERTIFICATE_TYPE", CKA_CERTIFICATE_TYPE},
    {"CKA_ISSUER", CKA_ISSUER},
    {"CKA_SERIAL_NUMBER", CKA_SERIAL_NUMBER},
    {"CKA_KEY_TYPE", CKA_KEY_TYPE},
    {"CKA_SUBJECT", CKA_SUBJECT},
    {"CKA_ID", CKA_ID},
    {"CKA_SENSITIVE", CKA_SENSITIVE},
    {"CKA_ENCRYPT", CKA_ENCRYPT},
    {"CKA_DECRYPT", CKA_DECRYPT},
    {"CKA_WRAP", CKA_WRAP},
    {"CKA_UNWRAP", CKA_UNWRAP},
    {"CKA_SIGN", CKA_SIGN},
    {"CKA_VERIFY", CKA_VERIFY},
    {"CKA_MODULUS", CKA_MODULUS},
    {"CKA_MODULUS_BITS", CKA_MODULUS_BITS},
    {"CKA_PUBLIC_EXPONENT", CKA_PUBLIC_EXPONENT},
    {"CKA_PRIVATE_EXPONENT", CKA_PRIVATE_EXPONENT},
    {"CKA_PRIME_1", CKA_PRIME_1},
    {"CKA_PRIME_2", CKA_PRIME_2},
    {"CKA_EXPONENT_1", CKA_EXPONENT_1},
    {"CKA_EXPONENT_2", CKA_EXPONENT_2},
    {"CKA_COEFFICIENT", CKA_COEFFICIENT},
    {"CKA_EXTRACTABLE", CKA_EXTRACTABLE},
    {"CKA_EC_PARAMS", CKA_EC_PARAMS},
    {"CKA_EC_POINT", CKA_EC_POINT},
};

const Named kValueNames[] = {
    {"CKO_DATA", CKO_DATA},
    {"CKO_CERTIFICATE", CKO_CERTIFICATE},
    {"CKO_PUBLIC_KEY", CKO_PUBLIC_KEY},
    {"CKO_PRIVATE_KEY", CKO_PRIVATE_KEY},
    {"CKO_SECRET_KEY", CKO_SECRET_KEY},
    {"CKK_RSA", CKK_RSA},
    {"CKK_EC", CKK_EC},
    {"CKC_X_509", CKC_X_509},
    {"unavailable", CK_UNAVAILABLE_INFORMATION},
};

bool ParseNumber(const std::string& text, CK_ULONG* out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0' || text[0] == '-') return false;
    *out = static_cast<CK_ULONG>(v);
    return true;
}

bool ParseValue(const std::string& text, CK_ULONG* out) {
    for (const Named& n : kValueNames) {
        if (text == n.name) {
            *out = n.value;
            return true;
        }
    }
    return ParseNumber(text, out);
}

bool ParseAttributeName(const std::string& text, CK_ATTRIBUTE_TYPE* out) {
    for (const Named& n : kAttributeNames) {
        if (text == n.name) {
            *out = n.value;
            return true;
        }
    }
    return ParseNumber(text, out);
}

bool ParseHex(const std::string& text, Bytes* out) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        digits += c;
    }
    if (digits.size() % 2 != 0) return false;
    out->clear();
    for (size_t i = 0; i < digits.size(); i += 2)
        out->push_back(static_cast<unsigned char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return true;
}

// Splits "word rest of line" at the first blank.
void Split(const std::string& line, std::string* word, std::string* rest) {
    const size_t sp = line.find(' ');
    *word = line.substr(0, sp);
    *rest = sp == std::string::npos ? std::string() : line.substr(sp + 1);
}

}  // namespace

bool LoadFixture(State& st, const std::string& path, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot open fixture file " + path;
        return false;
    }
    ResetModel(st);
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash);

    bool active = true;  // the current "library" section includes this build
    Slot* slot = nullptr;
    Object* object = nullptr;
    std::string line;
    int lineNo = 0;
    auto fail = [&](const std::string& why) {
        *error = path + ":" + std::to_string(lineNo) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::string word, rest;
        Split(line, &word, &rest);

        if (word == "library") {
            std::istringstream names(rest);
            std::string name;
            active = false;
            bool any = false;
            while (names >> name) {
                any = true;
                if (name == "*" || name == Flavour()) active = true;
            }
            if (!any) return fail("library needs at least one name");
            slot = nullptr;
            object = nullptr;
            continue;
        }
        if (!active) continue;

        if (word == "version") {
            st.versionNull = false;
            st.version = rest;
        } else if (word == "version-null") {
            st.versionNull = true;
            st.version.clear();
        } else if (word == "fail") {
            std::istringstream f(rest);
            std::string function, call, rv;
            CK_ULONG n = 0, code = 0;
            if (!(f >> function >> call >> rv) || !ParseNumber(call, &n) || !ParseNumber(rv, &code))
                return fail("fail needs FUNCTION CALL RV");
            st.faults.push_back({function, n, code});
        } else if (word == "slot") {
            std::string id, description;
            Split(rest, &id, &description);
            CK_ULONG n = 0;
            if (!ParseNumber(id, &n)) return fail("slot needs a numeric ID");
            if (st.FindSlot(n) != nullptr) return fail("slot " + id + " defined twice");
            Slot s;
            s.id = n;
            s.description = Padded(description, 64);
            st.slots.push_back(std::move(s));
            slot = nullptr;
            object = nullptr;
        } else if (word == "token") {
            CK_ULONG n = 0;
            if (!ParseNumber(rest, &n)) return fail("token needs a slot ID");
            slot = st.FindSlot(n);
            if (slot == nullptr) return fail("token for unknown slot " + rest);
            slot->token = DefaultToken();
            slot->tokenPresent = true;
            object = nullptr;
        } else if (word == "label" || word == "serial" || word == "flags" || word == "free-public" ||
                   word == "free-private" || word == "so-pin" || word == "user-pin" || word == "user-tries" ||
                   word == "so-tries") {
            if (slot == nullptr) return fail(word + " outside a token");
            Token& t = slot->token;
            CK_ULONG n = 0;
            const bool numeric = word != "label" && word != "serial" && word != "so-pin" && word != "user-pin";
            if (numeric && !ParseValue(rest, &n)) return fail(word + " needs a number");
            if (word == "label") t.label = Padded(rest, 32);
            if (word == "serial") t.serial = Padded(rest, 16);
            if (word == "flags") t.flags = n;
            if (word == "free-public") t.freePublicMemory = n;
            if (word == "free-private") t.freePrivateMemory = n;
            if (word == "so-pin") t.soPin = rest;
            if (word == "user-pin") t.userPin = rest;
            if (word == "user-tries") t.userPinTries = t.userPinLeft = n;
            if (word == "so-tries") t.soPinTries = t.soPinLeft = n;
        } else if (word == "object") {
            if (slot == nullptr) return fail("object outside a token");
            const CK_OBJECT_HANDLE h = AddObject(st, slot->id, {});
            object = st.FindObject(h);
        } else if (word == "attr") {
            if (object == nullptr) return fail("attr outside an object");
            std::string name, kind, value, tail;
            Split(rest, &name, &tail);
            Split(tail, &kind, &value);
            CK_ATTRIBUTE_TYPE type = 0;
            if (!ParseAttributeName(name, &type)) return fail("unknown attribute " + name);
            if (object->Find(type) != nullptr) return fail("attribute " + name + " given twice");
            Bytes bytes;
            CK_ULONG n = 0;
            if (kind == "ulong") {
                if (!ParseValue(value, &n)) return fail("bad ulong value " + value);
                bytes = ULongBytes(n);
            } else if (kind == "bool") {
                if (value != "0" && value != "1") return fail("bool must be 0 or 1");
                bytes = BoolBytes(value == "1");
            } else if (kind == "hex") {
                if (!ParseHex(value, &bytes)) return fail("bad hex value");
            } else if (kind == "text") {
                bytes.assign(value.begin(), value.end());
            } else if (kind == "file") {
                const std::string file = !value.empty() && value[0] == '/' ? value : dir + "/" + value;
                std::string content;
                if (!testkit::ReadFile(file, &content)) return fail("cannot read " + file);
                bytes.assign(content.begin(), content.end());
            } else {
                return fail("unknown value kind " + kind);
            }
            object->attributes.push_back({type, std::move(bytes)});
        } else {
            return fail("unknown directive " + word);
        }
    }
    return true;
}

bool ReadPendingFixture(State& st) {
    if (!st.fixturePending) return true;
    const char* fixture = std::getenv(P11STAND_FIXTURE_ENV);
    if (fixture == nullptr || *fixture == '\0') {
        st.fixturePending = false;
        return true;
    }
    std::string error;
    if (!LoadFixture(st, fixture, &error)) {
        std::fprintf(stderr, "p11stand (%s): %s\n", Flavour(), error.c_str());
        return false;
    }
    st.fixturePending = false;
    return true;
}

}  // namespace p11stand
