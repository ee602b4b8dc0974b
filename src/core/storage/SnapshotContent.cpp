#include "storage/SnapshotContent.h"

#include <QCryptographicHash>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace tarni::snapshotcontent {

namespace {

// The record's flag byte.
constexpr std::uint8_t kHasOriginal = 0x01;     // the entry names an original node
constexpr std::uint8_t kOriginalIsNode = 0x02;  // ... and it is the node's own id
constexpr std::uint8_t kOwnTitle = 0x04;        // the entry's title differs from the node's
constexpr std::uint8_t kKnownFlags = kHasOriginal | kOriginalIsNode | kOwnTitle;

constexpr std::uint64_t kShapeFormat = 1;
// Per entry in the id column: the id follows the one before, or is listed.
constexpr std::uint8_t kIdFollows = 0;
constexpr std::uint8_t kIdListed = 1;

// The words of node records, the most frequent last (zlib reaches those
// with the shortest distances). Part of the stored format: records written
// with it cannot be read without it, so it never changes; zlib checks its
// Adler-32 when a record is read.
constexpr std::string_view kRecordDictionary =
    "\"preferredBrowser\":\"\"},\"type\":\"webLink\"},\"slackThread\":{\"channelID\":\"\",\"messageTS\":\"\","
    "\"permalinkURL\":\"https://app.slack.com/client/\",\"preferredOpenMode\":\"browserPermalink\",\"slackChannel\","
    "\"askEveryTime\",\"teamID\":\"\"},\"type\":\"slackThread\"},\"file\":{\"bookmarkData\":\"\",\"path\":\"/home/"
    "\"},\"type\":\"file\"},\"folder\":{\"path\":\"/home/\"},\"type\":\"folder\"},\"subtitle\":\"\",\"iconKey\":\"\","
    "\"lastOpenedAt\":\"2026-01-01T00:00:00Z\",\"kind\":\"webLink\",\"payload\":{\"webLink\":{\"url\":\"https://www."
    "\",\"newTab\",\"newWindow\",\"isCollapsed\":true,\"kind\":\"group\",\"payload\":{\"group\":{\"tintHex\":\"#\"},"
    "\"type\":\"group\"},\"sortOrder\":0,\"title\":\"Group\",\"updatedAt\":\"2025-12-31T23:59:59Z\",\"workspaceID\":"
    "\"00000000-0000-0000-0000-000000000000\"}"
    "{\"createdAt\":\"2026-01-01T00:00:00Z\",\"id\":\"\",\"isCollapsed\":false,\"kind\":\"chromeTab\",\"parentID\":"
    "\"\",\"payload\":{\"chromeTab\":{\"favIconURL\":\"https://www.google.com/favicon.ico\",\"preferredOpenMode\":"
    "\"existingTab\",\"titleSnapshot\":\"\",\"url\":\"https://docs.google.com/document/d/\"},\"type\":\"chromeTab\"},"
    "\"sortOrder\":1,\"title\":\"\",\"updatedAt\":\"2026-01-01T00:00:00Z\",\"workspaceID\":\"";

QString zlibFailure(const char *what, const z_stream &stream, int code)
{
    return QStringLiteral("%1 (zlib %2%3)")
        .arg(QLatin1String(what))
        .arg(code)
        .arg(stream.msg ? QStringLiteral(": ") + QString::fromLatin1(stream.msg) : QString());
}

// Inflates all of `in` into at most `limit` bytes; the stream must end
// exactly where the input does.
Result<std::string, QString> inflateBounded(z_stream &stream, std::string_view in, std::size_t limit,
                                            std::string_view dictionary)
{
    std::string out;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
    stream.avail_in = uInt(in.size());
    char chunk[16384];
    for (;;) {
        stream.next_out = reinterpret_cast<Bytef *>(chunk);
        stream.avail_out = sizeof chunk;
        int code = inflate(&stream, Z_NO_FLUSH);
        if (code == Z_NEED_DICT) {
            if (dictionary.empty())
                return Failure(QStringLiteral("compressed with a dictionary this format does not use"));
            code = inflateSetDictionary(&stream, reinterpret_cast<const Bytef *>(dictionary.data()),
                                        uInt(dictionary.size()));
            if (code != Z_OK)
                return Failure(QStringLiteral("compressed with another dictionary"));
            continue;
        }
        const std::size_t produced = sizeof chunk - stream.avail_out;
        if (out.size() + produced > limit)
            return Failure(QStringLiteral("larger than the %1 bytes it may take").arg(limit));
        out.append(chunk, produced);
        if (code == Z_STREAM_END) {
            if (stream.avail_in != 0)
                return Failure(QStringLiteral("bytes follow the compressed data"));
            return out;
        }
        if (code == Z_BUF_ERROR && stream.avail_in == 0)
            return Failure(QStringLiteral("the compressed data is cut short"));
        if (code != Z_OK && code != Z_BUF_ERROR)
            return Failure(zlibFailure("the compressed data is damaged", stream, code));
    }
}

std::uint64_t zigzag(std::int64_t value)
{
    return (std::uint64_t(value) << 1) ^ std::uint64_t(value >> 63);
}

std::int64_t unzigzag(std::uint64_t value)
{
    return std::int64_t(value >> 1) ^ -std::int64_t(value & 1);
}

// Differences and sums that wrap instead of overflowing: a hostile list may
// name any numbers, and the round trip still holds.
std::int64_t wrappingDifference(std::int64_t a, std::int64_t b)
{
    return std::int64_t(std::uint64_t(a) - std::uint64_t(b));
}

std::int64_t wrappingSum(std::int64_t a, std::int64_t b)
{
    return std::int64_t(std::uint64_t(a) + std::uint64_t(b));
}

} // namespace

void appendVarint(std::string &out, std::uint64_t value)
{
    while (value >= 0x80) {
        out.push_back(char(std::uint8_t(value) | 0x80));
        value >>= 7;
    }
    out.push_back(char(value));
}

bool readVarint(std::string_view &in, std::uint64_t &value)
{
    value = 0;
    for (int shift = 0; shift < 64 && !in.empty(); shift += 7) {
        const auto byte = std::uint8_t(in.front());
        in.remove_prefix(1);
        value |= std::uint64_t(byte & 0x7f) << shift;
        if (!(byte & 0x80))
            return shift < 63 || byte <= 1;
    }
    return false;
}

Result<std::string, json::EncodeError> plainRecord(const TreeExportNode &entry)
{
    std::uint8_t flags = 0;
    if (entry.originalNodeID) {
        flags |= kHasOriginal;
        if (*entry.originalNodeID == entry.node.id())
            flags |= kOriginalIsNode;
    }
    if (entry.title != entry.node.title())
        flags |= kOwnTitle;
    std::string out;
    out.reserve(640);
    out.push_back(char(flags));
    if ((flags & kHasOriginal) && !(flags & kOriginalIsNode)) {
        const QByteArray bytes = entry.originalNodeID->toRfc4122();
        out.append(bytes.constData(), std::size_t(bytes.size()));
    }
    if (flags & kOwnTitle) {
        const QByteArray title = entry.title.toUtf8();
        if (std::size_t(title.size()) > json::kMaxNodeRecordBytes)
            return Failure(json::EncodeError{QStringLiteral("the entry title is larger than a record may take")});
        appendVarint(out, std::uint64_t(title.size()));
        out.append(title.constData(), std::size_t(title.size()));
    }
    if (auto appended = json::appendCompact(out, entry.node); !appended)
        return Failure(appended.error());
    return out;
}

QByteArray recordHash(std::string_view plain)
{
    return QCryptographicHash::hash(QByteArrayView(plain.data(), qsizetype(plain.size())),
                                    QCryptographicHash::Blake2b_256);
}

Result<TreeExportNode, QString> decodeRecord(std::string_view plain, json::BulkDecoder &decoder)
{
    if (plain.empty())
        return Failure(QStringLiteral("the record is empty"));
    const auto flags = std::uint8_t(plain.front());
    plain.remove_prefix(1);
    if ((flags & ~kKnownFlags) || ((flags & kOriginalIsNode) && !(flags & kHasOriginal)))
        return Failure(QStringLiteral("the record's flags %1 are not this format's").arg(flags));
    std::optional<QUuid> original;
    if ((flags & kHasOriginal) && !(flags & kOriginalIsNode)) {
        if (plain.size() < 16)
            return Failure(QStringLiteral("the record is cut short"));
        original = QUuid::fromRfc4122(QByteArrayView(plain.data(), 16));
        plain.remove_prefix(16);
    }
    std::optional<QString> title;
    if (flags & kOwnTitle) {
        std::uint64_t length = 0;
        if (!readVarint(plain, length) || length > plain.size())
            return Failure(QStringLiteral("the record's title is cut short"));
        title = QString::fromUtf8(plain.data(), qsizetype(length));
        plain.remove_prefix(std::size_t(length));
    }
    auto node = decoder.workspaceNode(plain);
    if (!node)
        return Failure(QStringLiteral("the record's node: ") + node.error().description());
    if (flags & kOriginalIsNode)
        original = node->id();
    QString entryTitle = title ? std::move(*title) : node->title();
    return TreeExportNode(QUuid(), original, std::move(entryTitle), std::move(*node));
}

std::string packBlock(const std::vector<std::string_view> &records)
{
    std::string plain;
    appendVarint(plain, records.size());
    for (std::string_view record : records) {
        appendVarint(plain, record.size());
        plain.append(record);
    }
    z_stream s{};
    if (deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::bad_alloc();
    deflateSetDictionary(&s, reinterpret_cast<const Bytef *>(kRecordDictionary.data()), uInt(kRecordDictionary.size()));
    std::string out(deflateBound(&s, uLong(plain.size())), '\0');
    s.next_in = reinterpret_cast<Bytef *>(plain.data());
    s.avail_in = uInt(plain.size());
    s.next_out = reinterpret_cast<Bytef *>(out.data());
    s.avail_out = uInt(out.size());
    // deflateBound leaves room for everything in one call.
    const int code = deflate(&s, Z_FINISH);
    Q_ASSERT(code == Z_STREAM_END);
    (void)code;
    out.resize(out.size() - s.avail_out);
    deflateEnd(&s);
    return out;
}

Result<std::vector<std::string>, QString> unpackBlock(std::string_view stored)
{
    z_stream s{};
    if (inflateInit(&s) != Z_OK)
        throw std::bad_alloc();
    auto inflated = inflateBounded(s, stored, kMaxBlockBytes, kRecordDictionary);
    inflateEnd(&s);
    if (!inflated)
        return Failure(inflated.error());
    std::string_view in = *inflated;
    std::uint64_t count = 0;
    if (!readVarint(in, count) || count == 0 || count > kMaxBlockRecords)
        return Failure(QStringLiteral("the block does not say how many records it holds"));
    std::vector<std::string> records;
    records.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t length = 0;
        if (!readVarint(in, length) || length > in.size() || length > kMaxRecordBytes)
            return Failure(QStringLiteral("record %1 of the block is cut short").arg(i));
        records.emplace_back(in.substr(0, std::size_t(length)));
        in.remove_prefix(std::size_t(length));
    }
    if (!in.empty())
        return Failure(QStringLiteral("bytes follow the block's records"));
    return records;
}

std::string encodeShape(const TreeShape &shape, const QUuid &rootID)
{
    // Column by column: each column alone is a run of near-equal small
    // numbers, which zlib then takes to almost nothing.
    std::string plain;
    plain.reserve(shape.size() * 4 + 16);
    appendVarint(plain, kShapeFormat);
    appendVarint(plain, shape.size());
    std::int64_t previousRecord = 0;
    for (std::int64_t record : shape.records) {
        appendVarint(plain, zigzag(wrappingDifference(record, previousRecord)));
        previousRecord = record;
    }
    std::int64_t previousDepth = 0;
    for (std::uint32_t depth : shape.depths) {
        appendVarint(plain, zigzag(std::int64_t(depth) - previousDepth));
        previousDepth = depth;
    }
    std::string listed;
    QUuid previousID = rootID;
    for (const QUuid &id : shape.ids) {
        const bool follows = id == nextEntryID(previousID);
        plain.push_back(char(follows ? kIdFollows : kIdListed));
        if (!follows) {
            const QByteArray bytes = id.toRfc4122();
            listed.append(bytes.constData(), std::size_t(bytes.size()));
        }
        previousID = id;
    }
    plain += listed;

    z_stream s{};
    if (deflateInit(&s, Z_DEFAULT_COMPRESSION) != Z_OK)
        throw std::bad_alloc();
    std::string out(deflateBound(&s, uLong(plain.size())), '\0');
    s.next_in = reinterpret_cast<Bytef *>(plain.data());
    s.avail_in = uInt(plain.size());
    s.next_out = reinterpret_cast<Bytef *>(out.data());
    s.avail_out = uInt(out.size());
    const int code = deflate(&s, Z_FINISH);
    Q_ASSERT(code == Z_STREAM_END);
    (void)code;
    out.resize(out.size() - s.avail_out);
    deflateEnd(&s);
    return out;
}

Result<TreeShape, QString> decodeShape(std::string_view stored, const QUuid &rootID, bool recordsOnly)
{
    z_stream s{};
    if (inflateInit(&s) != Z_OK)
        throw std::bad_alloc();
    auto inflated = inflateBounded(s, stored, kMaxShapeBytes, {});
    inflateEnd(&s);
    if (!inflated)
        return Failure(QStringLiteral("the entry list: ") + inflated.error());
    std::string_view in = *inflated;
    auto cut = [] { return Failure(QStringLiteral("the entry list is cut short")); };
    std::uint64_t format = 0;
    std::uint64_t count = 0;
    if (!readVarint(in, format) || !readVarint(in, count))
        return cut();
    if (format != kShapeFormat)
        return Failure(QStringLiteral("the entry list has format %1, not %2").arg(format).arg(kShapeFormat));
    // Every entry takes at least three bytes.
    if (count > in.size() / 3)
        return cut();
    TreeShape shape;
    shape.records.reserve(count);
    std::int64_t record = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t delta = 0;
        if (!readVarint(in, delta))
            return cut();
        record = wrappingSum(record, unzigzag(delta));
        shape.records.push_back(record);
    }
    if (recordsOnly)
        return shape;
    shape.depths.reserve(count);
    shape.ids.reserve(count);
    std::int64_t depth = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t delta = 0;
        if (!readVarint(in, delta))
            return cut();
        depth = wrappingSum(depth, unzigzag(delta));
        if (depth < 1 || depth > std::int64_t(json::kMaxTreeDepth))
            return Failure(QStringLiteral("entry %1 has depth %2").arg(i).arg(depth));
        shape.depths.push_back(std::uint32_t(depth));
    }
    if (in.size() < count)
        return cut();
    std::string_view kinds = in.substr(0, count);
    std::string_view listed = in.substr(count);
    QUuid previousID = rootID;
    for (char kind : kinds) {
        if (kind == char(kIdFollows)) {
            previousID = nextEntryID(previousID);
        } else if (kind == char(kIdListed)) {
            if (listed.size() < 16)
                return cut();
            previousID = QUuid::fromRfc4122(QByteArrayView(listed.data(), 16));
            listed.remove_prefix(16);
        } else {
            return Failure(QStringLiteral("the entry list has an unknown kind of id"));
        }
        shape.ids.push_back(previousID);
    }
    if (!listed.empty())
        return Failure(QStringLiteral("bytes follow the entry list"));
    return shape;
}

Flattened flatten(const TreeExportNode &root)
{
    Flattened flat;
    std::vector<std::pair<const TreeExportNode *, std::uint32_t>> pending;
    for (std::size_t i = root.children.size(); i-- > 0;)
        pending.emplace_back(&root.children[i], 1);
    while (!pending.empty()) {
        auto [entry, depth] = pending.back();
        pending.pop_back();
        flat.entries.push_back(entry);
        flat.depths.push_back(depth);
        for (std::size_t i = entry->children.size(); i-- > 0;)
            pending.emplace_back(&entry->children[i], depth + 1);
    }
    return flat;
}

} // namespace tarni::snapshotcontent
