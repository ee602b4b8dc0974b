#pragma once

// Writes .tar.gz archives entry by entry, including ones no honest tool
// would make, for the installer's tests.

#include <QByteArray>
#include <QList>

#include <cstdio>
#include <cstring>
#include <zlib.h>

namespace tarni::test {

struct TarEntry {
    TarEntry(QByteArray name, char type = '0', QByteArray data = {}, QByteArray link = {}, int mode = 0644)
        : name(std::move(name)), type(type), data(std::move(data)), link(std::move(link)), mode(mode)
    {
    }
    QByteArray name;
    char type;
    QByteArray data;
    QByteArray link;
    int mode;
};

inline QByteArray tarHeader(const TarEntry &entry)
{
    QByteArray header(512, '\0');
    char *h = header.data();
    std::memcpy(h, entry.name.constData(), size_t(std::min<qsizetype>(entry.name.size(), 100)));
    std::snprintf(h + 100, 8, "%07o", entry.mode);
    std::snprintf(h + 108, 8, "%07o", 0);
    std::snprintf(h + 116, 8, "%07o", 0);
    std::snprintf(h + 124, 12, "%011llo", static_cast<unsigned long long>(entry.data.size()));
    std::snprintf(h + 136, 12, "%011o", 0);
    h[156] = entry.type;
    std::memcpy(h + 157, entry.link.constData(), size_t(std::min<qsizetype>(entry.link.size(), 100)));
    std::memcpy(h + 257, "ustar", 6);
    std::memcpy(h + 263, "00", 2);
    std::memset(h + 148, ' ', 8);
    unsigned sum = 0;
    for (int i = 0; i < 512; ++i)
        sum += static_cast<unsigned char>(h[i]);
    std::snprintf(h + 148, 8, "%06o", sum);
    return header;
}

inline QByteArray tarBytes(const QList<TarEntry> &entries)
{
    QByteArray tar;
    for (const TarEntry &entry : entries) {
        tar += tarHeader(entry);
        tar += entry.data;
        tar += QByteArray((512 - entry.data.size() % 512) % 512, '\0');
    }
    tar += QByteArray(1024, '\0');
    return tar;
}

inline QByteArray gzip(const QByteArray &data)
{
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(qsizetype(deflateBound(&z, uLong(data.size()))) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(qsizetype(z.total_out));
    deflateEnd(&z);
    return out;
}

inline QByteArray tarGz(const QList<TarEntry> &entries)
{
    return gzip(tarBytes(entries));
}

// A bundle as the packaging makes it: one top folder with bin/tarnibar.
inline QByteArray bundle(const QByteArray &top, const QByteArray &program = "#!/bin/sh\necho new\n")
{
    return tarGz({{top + "/", '5', {}, {}, 0755},
                  {top + "/bin/", '5', {}, {}, 0755},
                  {top + "/bin/tarnibar", '0', program, {}, 0755},
                  {top + "/share/tarnibar/Localization-en.json", '0', "{}", {}, 0644},
                  {top + "/lib/libx.so.1", '0', "lib", {}, 0644},
                  {top + "/lib/libx.so", '2', {}, "libx.so.1", 0777}});
}

} // namespace tarni::test
