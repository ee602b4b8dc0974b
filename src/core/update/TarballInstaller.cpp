#include "update/TarballInstaller.h"

#include <QFile>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace tarni {

namespace fs = std::filesystem;

namespace {

constexpr qint64 kBlock = 512;
constexpr qint64 kMaxHeaderRecordBytes = 1024 * 1024;

using Unpacked = Result<std::monostate, UpdateProblem>;

Failure<UpdateProblem> bad(const char *key, QStringList values = {})
{
    return Failure(UpdateProblem{key, std::move(values)});
}

Failure<UpdateProblem> badArchive(const QString &detail)
{
    return bad(textKey("The update archive is refused: %@"), {detail});
}

QString linkOutside(const QString &name)
{
    return QStringLiteral("the link \"%1\" points outside the archive's folder").arg(name);
}

// The decompressed bytes of a .tar.gz, read in exact amounts.
class GzipStream {
public:
    explicit GzipStream(QFile &file) : m_file(file)
    {
        std::memset(&m_zlib, 0, sizeof m_zlib);
        m_ready = inflateInit2(&m_zlib, 16 + MAX_WBITS) == Z_OK;
    }
    ~GzipStream()
    {
        if (m_ready)
            inflateEnd(&m_zlib);
    }
    GzipStream(const GzipStream &) = delete;
    GzipStream &operator=(const GzipStream &) = delete;

    // Fills `out` with exactly `size` bytes; false at a premature end or damage.
    bool read(char *out, qint64 size)
    {
        if (!m_ready)
            return false;
        m_zlib.next_out = reinterpret_cast<Bytef *>(out);
        m_zlib.avail_out = static_cast<uInt>(size);
        while (m_zlib.avail_out > 0) {
            if (m_ended)
                return false;
            if (m_zlib.avail_in == 0) {
                const qint64 got = m_file.read(m_input.data(), qint64(m_input.size()));
                if (got <= 0)
                    return false;
                m_zlib.next_in = reinterpret_cast<Bytef *>(m_input.data());
                m_zlib.avail_in = static_cast<uInt>(got);
            }
            const int status = inflate(&m_zlib, Z_NO_FLUSH);
            if (status == Z_STREAM_END)
                m_ended = true;
            else if (status != Z_OK)
                return false;
        }
        return true;
    }

    // Reads to the end of the compressed stream, which must be whole (its
    // checksum included).
    bool finish()
    {
        std::array<char, 16384> scratch;
        while (!m_ended) {
            m_zlib.next_out = reinterpret_cast<Bytef *>(scratch.data());
            m_zlib.avail_out = static_cast<uInt>(scratch.size());
            if (m_zlib.avail_in == 0) {
                const qint64 got = m_file.read(m_input.data(), qint64(m_input.size()));
                if (got <= 0)
                    return false;
                m_zlib.next_in = reinterpret_cast<Bytef *>(m_input.data());
                m_zlib.avail_in = static_cast<uInt>(got);
            }
            const int status = inflate(&m_zlib, Z_NO_FLUSH);
            if (status == Z_STREAM_END)
                m_ended = true;
            else if (status != Z_OK)
                return false;
        }
        return true;
    }

    bool skip(qint64 size)
    {
        std::array<char, 16384> scratch;
        while (size > 0) {
            const qint64 step = std::min<qint64>(size, qint64(scratch.size()));
            if (!read(scratch.data(), step))
                return false;
            size -= step;
        }
        return true;
    }

private:
    QFile &m_file;
    z_stream m_zlib;
    std::array<char, 65536> m_input;
    bool m_ready = false;
    bool m_ended = false;
};

QByteArray field(const char *header, int offset, int length)
{
    const char *start = header + offset;
    return QByteArray(start, qsizetype(strnlen(start, size_t(length))));
}

std::optional<qint64> octal(const char *header, int offset, int length)
{
    const QByteArray text = field(header, offset, length).trimmed();
    if (text.isEmpty())
        return 0;
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 8);
    if (!ok || value < 0)
        return std::nullopt;
    return value;
}

bool checksumMatches(const char *header)
{
    const auto stored = octal(header, 148, 8);
    qint64 sum = 0;
    for (int i = 0; i < kBlock; ++i)
        sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(header[i]);
    return stored && *stored == sum;
}

// A member name made safe to join below the destination, or empty when it
// must be refused.
fs::path safeRelative(const QByteArray &name)
{
    if (name.isEmpty() || name.startsWith('/') || name.contains('\0'))
        return {};
    fs::path result;
    for (const QByteArray &part : name.split('/')) {
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..")
            return {};
        result /= part.toStdString();
    }
    return result;
}

// Fields of a pax extended header ("LEN key=value\n" records).
// A size record sets `size`, to -1 when it is not a valid size.
void readPaxRecords(const QByteArray &records, QByteArray *path, QByteArray *linkPath, qint64 *size)
{
    qsizetype at = 0;
    while (at < records.size()) {
        const qsizetype space = records.indexOf(' ', at);
        if (space < 0)
            return;
        bool ok = false;
        const qsizetype length = records.mid(at, space - at).toLongLong(&ok);
        if (!ok || length <= space - at || at + length > records.size())
            return;
        const QByteArray record = records.mid(space + 1, length - (space - at) - 2);
        const qsizetype equals = record.indexOf('=');
        if (equals > 0) {
            const QByteArray key = record.left(equals);
            const QByteArray value = record.mid(equals + 1);
            if (key == "path")
                *path = value;
            else if (key == "linkpath")
                *linkPath = value;
            else if (key == "size") {
                const qint64 parsed = value.toLongLong(&ok);
                *size = ok && parsed >= 0 ? parsed : -1;
            }
        }
        at += length;
    }
}

// At most this many links are followed for one path, as the kernel does
// before it gives up with ELOOP.
constexpr int kMaxLinkHops = 40;

// Where `entry` (relative to `root`) leads once every link on the way is
// followed as the file system would, against what is on disk now: the path
// below `root`, or nullopt when it leaves `root`, reaches `root` itself,
// goes round in a loop or passes an absolute link. A missing component
// resolves by name, as it will once it exists as a folder.
std::optional<fs::path> resolvedInside(const fs::path &root, const fs::path &entry)
{
    std::vector<fs::path> pending(entry.begin(), entry.end());
    std::reverse(pending.begin(), pending.end());
    fs::path resolved;
    int hops = 0;
    while (!pending.empty()) {
        const fs::path part = std::move(pending.back());
        pending.pop_back();
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (resolved.empty())
                return std::nullopt;
            resolved = resolved.parent_path();
            continue;
        }
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(root / resolved / part, ec))) {
            resolved /= part;
            continue;
        }
        const fs::path target = fs::read_symlink(root / resolved / part, ec);
        if (ec || target.empty() || target.is_absolute() || ++hops > kMaxLinkHops)
            return std::nullopt;
        for (auto it = target.end(); it != target.begin();)
            pending.push_back(*--it);
    }
    if (resolved.empty())
        return std::nullopt;
    return resolved;
}

QString systemError(const fs::path &path)
{
    return QStringLiteral("%1: %2").arg(QString::fromStdString(path.string()), QString::fromLocal8Bit(strerror(errno)));
}

Unpacked writeFile(GzipStream &stream, const fs::path &target, qint64 size, mode_t mode)
{
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return badArchive(systemError(target));
    std::array<char, 65536> buffer;
    qint64 left = size;
    bool ok = true;
    while (ok && left > 0) {
        const qint64 step = std::min<qint64>(left, qint64(buffer.size()));
        if (!stream.read(buffer.data(), step)) {
            ::close(fd);
            return badArchive(QStringLiteral("the archive ends early"));
        }
        qint64 written = 0;
        while (written < step) {
            const ssize_t n = ::write(fd, buffer.data() + written, size_t(step - written));
            if (n <= 0) {
                ok = false;
                break;
            }
            written += n;
        }
        left -= step;
    }
    ::fchmod(fd, mode); // the umask must not decide whether bin/tarnibar runs
    if (::close(fd) != 0 || !ok)
        return bad(textKey("The update could not be saved: %@"), {systemError(target)});
    const qint64 padding = (kBlock - size % kBlock) % kBlock;
    if (!stream.skip(padding))
        return badArchive(QStringLiteral("the archive ends early"));
    return std::monostate{};
}

} // namespace

Unpacked unpackTarGz(const QString &archive, const fs::path &destination, const ArchiveLimits &limits)
{
    QFile file(archive);
    if (!file.open(QIODevice::ReadOnly))
        return badArchive(file.errorString());
    GzipStream stream(file);
    std::set<fs::path> links;
    qint64 entries = 0;
    qint64 totalBytes = 0;
    QByteArray longName, longLink;
    // A plain number rather than an optional: GCC 12 at -O3 takes a
    // disengaged optional here for an uninitialised read.
    qint64 paxSize = -1;
    std::array<char, kBlock> header;
    for (;;) {
        if (!stream.read(header.data(), kBlock))
            return badArchive(QStringLiteral("the archive is damaged or ends early"));
        if (std::all_of(header.begin(), header.end(), [](char c) { return c == 0; })) {
            // The end marker; what follows is padding, but the stream must be whole.
            if (!stream.finish())
                return badArchive(QStringLiteral("the archive is damaged or ends early"));
            // A later entry can change where an earlier link leads (a link
            // added on its way), so each is resolved again in the final tree.
            for (const fs::path &link : links)
                if (!resolvedInside(destination, link))
                    return badArchive(linkOutside(QString::fromStdString(link.string())));
            break;
        }
        if (!checksumMatches(header.data()))
            return badArchive(QStringLiteral("a header's checksum is wrong"));
        if (++entries > limits.maxEntries)
            return badArchive(QStringLiteral("more than %1 entries").arg(limits.maxEntries));
        const auto headerSize = octal(header.data(), 124, 12);
        if (!headerSize)
            return badArchive(QStringLiteral("a size is not a number"));
        const char type = header[156];
        qint64 size = *headerSize;

        // Headers that describe the next member.
        if (type == 'x' || type == 'g' || type == 'L' || type == 'K') {
            if (size > kMaxHeaderRecordBytes)
                return badArchive(QStringLiteral("an extended header is too large"));
            QByteArray data(size, '\0');
            if (!stream.read(data.data(), size) || !stream.skip((kBlock - size % kBlock) % kBlock))
                return badArchive(QStringLiteral("the archive ends early"));
            if (type == 'x')
                readPaxRecords(data, &longName, &longLink, &paxSize);
            else if (type == 'L')
                longName = QByteArray(data.constData(), qsizetype(strnlen(data.constData(), size_t(data.size()))));
            else if (type == 'K')
                longLink = QByteArray(data.constData(), qsizetype(strnlen(data.constData(), size_t(data.size()))));
            continue;
        }

        QByteArray name = longName;
        if (name.isEmpty()) {
            name = field(header.data(), 0, 100);
            const QByteArray prefix = field(header.data(), 345, 155);
            if (std::memcmp(header.data() + 257, "ustar", 5) == 0 && !prefix.isEmpty())
                name = prefix + '/' + name;
        }
        const QByteArray linkName = longLink.isEmpty() ? field(header.data(), 157, 100) : longLink;
        if (paxSize >= 0)
            size = paxSize;
        longName.clear();
        longLink.clear();
        paxSize = -1;

        const QString shownName = QString::fromUtf8(name.left(200));
        if (name.size() > limits.maxNameBytes || linkName.size() > limits.maxNameBytes)
            return badArchive(QStringLiteral("a name is too long"));
        const fs::path relative = safeRelative(name);
        if (relative.empty())
            return badArchive(QStringLiteral("\"%1\" is outside the archive's folder").arg(shownName));
        for (fs::path prefix; const auto &part : relative.parent_path()) {
            prefix /= part;
            if (links.count(prefix))
                return badArchive(QStringLiteral("\"%1\" lies below a link").arg(shownName));
        }
        const fs::path target = destination / relative;
        std::error_code ec;
        fs::create_directories(target.parent_path(), ec);
        if (ec)
            return bad(textKey("The update could not be saved: %@"), {QString::fromStdString(ec.message())});

        const auto modeField = octal(header.data(), 100, 8);
        const mode_t mode = mode_t(modeField ? *modeField : 0644) & 0755;
        switch (type) {
        case '0':
        case '\0':
        case '7': {
            totalBytes += size;
            if (totalBytes > limits.maxTotalBytes)
                return badArchive(QStringLiteral("it unpacks to more than %1 bytes").arg(limits.maxTotalBytes));
            const Unpacked written = writeFile(stream, target, size, mode | S_IRUSR);
            if (!written)
                return written;
            break;
        }
        case '5':
            if (::mkdir(target.c_str(), 0755) != 0 && !(errno == EEXIST && fs::is_directory(fs::symlink_status(target))))
                return badArchive(systemError(target));
            break;
        case '2': {
            if (linkName.isEmpty() || linkName.startsWith('/') || linkName.contains('\0'))
                return badArchive(linkOutside(shownName));
            if (::symlink(linkName.constData(), target.c_str()) != 0)
                return badArchive(systemError(target));
            if (!resolvedInside(destination, relative))
                return badArchive(linkOutside(shownName));
            links.insert(relative);
            break;
        }
        default:
            return badArchive(QStringLiteral("\"%1\" is a hard link, device or other special file").arg(shownName));
        }
    }
    return std::monostate{};
}

Result<TarballSwitch, UpdateProblem> installTarball(const QString &archive, const fs::path &currentRoot,
                                                    const ArchiveLimits &limits)
{
    const fs::path parent = currentRoot.parent_path();
    std::string pattern = (parent / ".tarnibar-update-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        return bad(textKey("The update could not be saved: %@"), {systemError(parent)});
    const fs::path staging = pattern;
    struct Cleanup {
        fs::path path;
        ~Cleanup()
        {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } cleanup{staging};

    const Unpacked unpacked = unpackTarGz(archive, staging, limits);
    if (!unpacked)
        return Failure(unpacked.error());

    std::error_code ec;
    std::vector<fs::path> tops;
    for (const auto &entry : fs::directory_iterator(staging, ec))
        tops.push_back(entry.path());
    if (tops.size() != 1 || !fs::is_directory(fs::symlink_status(tops.front())))
        return badArchive(QStringLiteral("it must hold exactly one folder"));
    const fs::path top = tops.front();
    const fs::path program = top / "bin" / "tarnibar";
    if (!fs::is_regular_file(fs::symlink_status(program)) || ::access(program.c_str(), X_OK) != 0)
        return badArchive(QStringLiteral("it has no bin/tarnibar"));

    const fs::path installed = parent / top.filename();
    if (fs::exists(fs::symlink_status(installed)))
        return bad(textKey("%@ already exists; move it away to install this version."),
                   {QString::fromStdString(installed.string())});
    if (::rename(top.c_str(), installed.c_str()) != 0)
        return bad(textKey("The update could not be saved: %@"), {systemError(installed)});

    // A new link under a temporary name, then one rename over the old link:
    // whoever starts the link sees the old copy or the new one, never neither.
    const fs::path link = parent / kCurrentLinkName;
    const auto linkStatus = fs::symlink_status(link, ec);
    if (fs::exists(linkStatus) && !fs::is_symlink(linkStatus))
        return bad(textKey("%@ is not a link; the new version is in %@."),
                   {QString::fromStdString(link.string()), QString::fromStdString(installed.string())});
    const fs::path temporaryLink = staging / "link";
    if (::symlink(installed.filename().c_str(), temporaryLink.c_str()) != 0 ||
        ::rename(temporaryLink.c_str(), link.c_str()) != 0)
        return bad(textKey("The update could not be saved: %@"), {systemError(link)});
    return TarballSwitch{installed, link, link / "bin" / "tarnibar"};
}

} // namespace tarni
