#include "plist/Plist.h"
#include "plist/PlistXml_internal.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace Plist {

namespace {

const char* const kDateInvalid = "Plist::Date::set() date invalid";
const int64_t kReferenceOffset = 978307200; // 1970-01-01 to 2001-01-01, in seconds
const int64_t kSecondsPerDay = 86400;

// Days from 1970-01-01 to the given proleptic Gregorian date; exact for
// every 64-bit year that the callers can produce, no time zone involved.
constexpr int64_t daysFromCivil(int64_t year, int64_t month, int64_t day)
{
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

struct Civil {
    int64_t year;
    int month, day, hour, minute, second;
};

int64_t floorDiv(int64_t a, int64_t b)
{
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

Civil civilFromTime(int64_t t)
{
    const int64_t days = floorDiv(t, kSecondsPerDay);
    const int64_t secondsOfDay = t - days * kSecondsPerDay;
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t dayOfEra = z - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    Civil c;
    c.day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    c.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    c.year = yearOfEra + era * 400 + (c.month <= 2 ? 1 : 0);
    c.hour = static_cast<int>(secondsOfDay / 3600);
    c.minute = static_cast<int>(secondsOfDay / 60 % 60);
    c.second = static_cast<int>(secondsOfDay % 60);
    return c;
}

// A date must have a four-digit year so that its XML text stays in the
// fixed "YYYY-MM-DDTHH:MM:SSZ" form.
constexpr int64_t kEarliest = daysFromCivil(0, 1, 1) * kSecondsPerDay;
constexpr int64_t kLatest = daysFromCivil(10000, 1, 1) * kSecondsPerDay - 1;

bool inRange(int64_t t)
{
    return t >= kEarliest && t <= kLatest;
}

// Fields as UTC; out-of-range fields carry over as the C library's
// normalisation does (day 32 of January is 1 February). All arithmetic is
// 64-bit, so no int argument can overflow it.
int64_t utcFromFields(int month, int day, int year, int hour, int minute, int second)
{
    const int64_t monthIndex = static_cast<int64_t>(month) - 1;
    const int64_t y = static_cast<int64_t>(year) + floorDiv(monthIndex, 12);
    const int64_t m = monthIndex - floorDiv(monthIndex, 12) * 12 + 1;
    const int64_t days = daysFromCivil(y, m, 1) + static_cast<int64_t>(day) - 1;
    return days * kSecondsPerDay + static_cast<int64_t>(hour) * 3600 +
           static_cast<int64_t>(minute) * 60 + second;
}

// The local zone's offset from UTC at the instant t, from the thread-safe
// local-time conversion.
int64_t localOffsetAt(int64_t t)
{
    const time_t tt = static_cast<time_t>(t);
    struct tm local;
    if (localtime_r(&tt, &local) == nullptr)
        return 0;
    return local.tm_gmtoff;
}

} // namespace

void Date::setToNow()
{
    time_ = static_cast<int64_t>(time(nullptr));
}

void Date::set(int month, int day, int year, int hour, int minute, int second, bool utc)
{
    int64_t t = utcFromFields(month, day, year, hour, minute, second);
    if (!utc && inRange(t)) {
        // Local wall-clock fields: take the zone offset at the guessed
        // instant, then once more at the corrected one so that a date on
        // the other side of a daylight-saving change gets its own offset.
        const int64_t first = t - localOffsetAt(t);
        t = t - localOffsetAt(first);
    }
    if (!inRange(t))
        throw Error(kDateInvalid);
    time_ = t;
}

std::string Date::toXmlText() const
{
    const Civil c = civilFromTime(time_);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ", static_cast<int>(c.year), c.month,
                  c.day, c.hour, c.minute, c.second);
    return buffer;
}

void Date::fromXmlText(const std::string& text)
{
    dateFromXmlText(*this, text.c_str());
}

void dateFromXmlText(Date& date, const char* text)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    // The form every writer uses, "YYYY-MM-DDTHH:MM:SS", is read directly;
    // anything else goes through the general pattern, which also takes
    // blanks and signs. A date text must supply all six fields; anything
    // after the seconds (a fraction, a missing "Z") is not examined.
    static const char kShape[] = "dddd-dd-ddTdd:dd:dd";
    bool plain = true;
    for (int i = 0; plain && kShape[i] != '\0'; ++i)
        plain = kShape[i] == 'd' ? (text[i] >= '0' && text[i] <= '9') : text[i] == kShape[i];
    if (plain) {
        auto number = [text](int at, int width) {
            int value = 0;
            for (int i = 0; i < width; ++i)
                value = value * 10 + (text[at + i] - '0');
            return value;
        };
        year = number(0, 4);
        month = number(5, 2);
        day = number(8, 2);
        hour = number(11, 2);
        minute = number(14, 2);
        second = number(17, 2);
    } else if (std::sscanf(text, "%4d-%2d-%2dT%2d:%2d:%2d", &year, &month, &day, &hour, &minute, &second) != 6) {
        throw Error(kDateInvalid);
    }
    date.set(month, day, year, hour, minute, second, true);
}

void Date::setFromReferenceSeconds(double seconds)
{
    // Checked as a double first: a NaN, an infinity or a value beyond the
    // 64-bit range cannot be converted to an integer at all.
    const double unix = static_cast<double>(kReferenceOffset) + seconds;
    if (!std::isfinite(unix) || unix < static_cast<double>(kEarliest) - 1.0 ||
        unix > static_cast<double>(kLatest) + 1.0)
        throw Error(kDateInvalid);
    // Rounded down, so that a fraction before 1970 stays in its own second
    // as its "YYYY-MM-DDTHH:MM:SSZ" text does.
    const int64_t t = static_cast<int64_t>(std::floor(unix));
    if (!inRange(t))
        throw Error(kDateInvalid);
    time_ = t;
}

double Date::referenceSeconds() const
{
    return static_cast<double>(time_) - static_cast<double>(kReferenceOffset);
}

} // namespace Plist
