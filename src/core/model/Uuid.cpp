#include "model/Uuid.h"

namespace tarni {

static constexpr char kHex[] = "0123456789ABCDEF";

void formatUuid(const QUuid &id, char out[kUuidTextLength])
{
    const QByteArray bytes = id.toRfc4122();
    std::size_t at = 0;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out[at++] = '-';
        const auto b = static_cast<unsigned char>(bytes[i]);
        out[at++] = kHex[b >> 4];
        out[at++] = kHex[b & 0xF];
    }
}

std::string uuidText(const QUuid &id)
{
    std::string text(kUuidTextLength, '\0');
    formatUuid(id, text.data());
    return text;
}

QString uuidQString(const QUuid &id)
{
    char text[kUuidTextLength];
    formatUuid(id, text);
    return QString::fromLatin1(text, int(kUuidTextLength));
}

static int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<QUuid> parseUuid(std::string_view text)
{
    if (text.size() != kUuidTextLength)
        return std::nullopt;
    char bytes[16];
    std::size_t at = 0;
    for (int i = 0; i < 16; ++i) {
        if (at == 8 || at == 13 || at == 18 || at == 23) {
            if (text[at] != '-')
                return std::nullopt;
            ++at;
        }
        const int hi = hexValue(text[at]);
        const int lo = hexValue(text[at + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        bytes[i] = char(hi << 4 | lo);
        at += 2;
    }
    return QUuid::fromRfc4122(QByteArrayView(bytes, 16));
}

std::optional<QUuid> parseUuid(const QString &text)
{
    if (text.size() != int(kUuidTextLength))
        return std::nullopt;
    return parseUuid(std::string_view(text.toLatin1().constData(), kUuidTextLength));
}

} // namespace tarni
