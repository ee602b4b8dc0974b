#include "model/Uuid.h"

#include <QRandomGenerator>

#include <array>

namespace tarni {

static constexpr char kHex[] = "0123456789ABCDEF";

UuidSequence::UuidSequence()
{
    // The version in the top bits of data3; the RFC 4122 variant in the top
    // two bits of data4, with the bit below them clear so that counting up
    // never carries into them.
    QRandomGenerator *random = QRandomGenerator::system();
    m_high = (random->generate64() & ~quint64(0xF000)) | 0x4000;
    m_low = (random->generate64() & ~(quint64(0xE) << 60)) | (quint64(0x8) << 60);
}

QUuid UuidSequence::next()
{
    const quint64 low = m_low++;
    return QUuid(uint(m_high >> 32), ushort(m_high >> 16), ushort(m_high), uchar(low >> 56), uchar(low >> 48),
                 uchar(low >> 40), uchar(low >> 32), uchar(low >> 24), uchar(low >> 16), uchar(low >> 8), uchar(low));
}

void formatUuid(const QUuid &id, char out[kUuidTextLength])
{
    const unsigned char bytes[16] = {
        uchar(id.data1 >> 24), uchar(id.data1 >> 16), uchar(id.data1 >> 8), uchar(id.data1),
        uchar(id.data2 >> 8),  uchar(id.data2),       uchar(id.data3 >> 8), uchar(id.data3),
        id.data4[0], id.data4[1], id.data4[2], id.data4[3], id.data4[4], id.data4[5], id.data4[6], id.data4[7]};
    std::size_t at = 0;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out[at++] = '-';
        out[at++] = kHex[bytes[i] >> 4];
        out[at++] = kHex[bytes[i] & 0xF];
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

// Hex digit values, -1 for anything else.
static constexpr auto kHexValues = [] {
    std::array<signed char, 256> table{};
    table.fill(-1);
    for (int c = '0'; c <= '9'; ++c)
        table[c] = static_cast<signed char>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c)
        table[c] = static_cast<signed char>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c)
        table[c] = static_cast<signed char>(c - 'A' + 10);
    return table;
}();

std::optional<QUuid> parseUuid(std::string_view text)
{
    if (text.size() != kUuidTextLength || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
        return std::nullopt;
    // Digit positions of the 16 bytes in the 8-4-4-4-12 layout.
    static constexpr std::array<unsigned char, 16> kAt{0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};
    unsigned char bytes[16];
    int bad = 0;
    for (std::size_t i = 0; i < 16; ++i) {
        const int hi = kHexValues[static_cast<unsigned char>(text[kAt[i]])];
        const int lo = kHexValues[static_cast<unsigned char>(text[kAt[i] + 1])];
        bad |= hi | lo;
        bytes[i] = static_cast<unsigned char>(hi << 4 | (lo & 0xF));
    }
    if (bad < 0)
        return std::nullopt;
    return QUuid(uint(bytes[0]) << 24 | uint(bytes[1]) << 16 | uint(bytes[2]) << 8 | bytes[3],
                 ushort(bytes[4] << 8 | bytes[5]), ushort(bytes[6] << 8 | bytes[7]), bytes[8], bytes[9], bytes[10],
                 bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
}

std::optional<QUuid> parseUuid(const QString &text)
{
    if (text.size() != int(kUuidTextLength))
        return std::nullopt;
    return parseUuid(std::string_view(text.toLatin1().constData(), kUuidTextLength));
}

} // namespace tarni
