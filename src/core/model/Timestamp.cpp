#include "model/Timestamp.h"

namespace tarni {

using namespace std::chrono;

Timestamp currentTimestamp()
{
    return floor<seconds>(system_clock::now());
}

static void put(char *out, int value, int digits)
{
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = char('0' + value % 10);
        value /= 10;
    }
}

void formatTimestamp(Timestamp t, char out[kTimestampTextLength])
{
    const auto day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss time{t - day};
    int y = int(ymd.year());
    if (y < 0 || y > 9999)
        y = y < 0 ? 0 : 9999; // outside ISO 8601's four-digit years; never produced by our clocks
    put(out, y, 4);
    out[4] = '-';
    put(out + 5, int(unsigned(ymd.month())), 2);
    out[7] = '-';
    put(out + 8, int(unsigned(ymd.day())), 2);
    out[10] = 'T';
    put(out + 11, int(time.hours().count()), 2);
    out[13] = ':';
    put(out + 14, int(time.minutes().count()), 2);
    out[16] = ':';
    put(out + 17, int(time.seconds().count()), 2);
    out[19] = 'Z';
}

std::string timestampText(Timestamp t)
{
    std::string text(kTimestampTextLength, '\0');
    formatTimestamp(t, text.data());
    return text;
}

QString timestampQString(Timestamp t)
{
    char text[kTimestampTextLength];
    formatTimestamp(t, text);
    return QString::fromLatin1(text, int(kTimestampTextLength));
}

static bool digits(std::string_view text, std::size_t at, std::size_t count, int &value)
{
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

std::optional<Timestamp> parseTimestamp(std::string_view text)
{
    if (text.size() != kTimestampTextLength || text[4] != '-' || text[7] != '-' || text[10] != 'T'
        || text[13] != ':' || text[16] != ':' || text[19] != 'Z')
        return std::nullopt;
    int y, mo, d, h, mi, s;
    if (!digits(text, 0, 4, y) || !digits(text, 5, 2, mo) || !digits(text, 8, 2, d) || !digits(text, 11, 2, h)
        || !digits(text, 14, 2, mi) || !digits(text, 17, 2, s))
        return std::nullopt;
    const year_month_day ymd{year{y}, month{unsigned(mo)}, day{unsigned(d)}};
    if (!ymd.ok() || h > 23 || mi > 59 || s > 59)
        return std::nullopt;
    return sys_days{ymd} + hours{h} + minutes{mi} + seconds{s};
}

} // namespace tarni
