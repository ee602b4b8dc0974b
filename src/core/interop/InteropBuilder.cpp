#include "interop/InteropBuilder.h"

#include "model/Uuid.h"
#include "model/SlackURLParser.h"

#include <QUrl>

#include <algorithm>
#include <array>

namespace tarni::interop {

EntryResult<NodePayload> payloadForAddress(const QString &text)
{
    const QString address = text.trimmed();
    if (address.isEmpty())
        return Failure(EntryProblem::blankAddress);
    // An address never holds blanks; text that does is a sentence.
    for (const QChar c : address) {
        if (c.isSpace())
            return Failure(EntryProblem::notWebAddress);
    }
    const QUrl url(address, QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("file")) {
        const QString path = url.toLocalFile();
        auto accepted = EntryRules::absolutePath(path);
        if (!accepted)
            return Failure(accepted.error());
        if (path.endsWith(QLatin1Char('/')))
            return NodePayload::folder(FileTarget{*accepted, std::nullopt});
        return NodePayload::file(FileTarget{*accepted, std::nullopt});
    }
    if (scheme == QLatin1String("slack")) {
        auto target = EntryRules::slackAddress(address);
        if (!target)
            return Failure(target.error());
        return NodePayload::slackThread(std::move(*target));
    }
    auto web = EntryRules::webAddress(address);
    if (!web)
        return Failure(web.error());
    // A Slack page that names no channel stays a web link.
    if (web->url().host().contains(QLatin1String(kSlackDomain), Qt::CaseInsensitive)) {
        if (auto slack = EntryRules::slackAddress(address))
            return NodePayload::slackThread(std::move(*slack));
    }
    return NodePayload::webLink(WebLinkTarget{address, std::nullopt});
}

std::optional<QString> addressOfPayload(const NodePayload &payload)
{
    if (const auto *tab = payload.asChromeTab())
        return tab->url;
    if (const auto *link = payload.asWebLink())
        return link->url;
    if (const auto *slack = payload.asSlackThread())
        return slack->permalinkURL;
    if (const auto *file = payload.asFileTarget()) {
        QString address = QUrl::fromLocalFile(file->path).toString(QUrl::FullyEncoded);
        if (payload.kind() == WorkspaceNodeKind::folder && !address.endsWith(QLatin1Char('/')))
            address += QLatin1Char('/');
        return address;
    }
    return std::nullopt;
}

bool isSafeToLink(const QString &address)
{
    const QUrl url(address, QUrl::StrictMode);
    if (!url.isValid())
        return false;
    const QString scheme = url.scheme().toLower();
    static const std::array safe{QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("file"),
                                 QStringLiteral("slack"), QStringLiteral("ftp"), QStringLiteral("mailto")};
    return std::find(safe.begin(), safe.end(), scheme) != safe.end();
}

// --- builder --------------------------------------------------------------

ImportBuilder::ImportBuilder(const ImportOptions &options, std::int64_t totalBytes)
    : m_options(options)
    , m_total(totalBytes)
{
    TreeExportNode root = makeNode(options.groupTitle, NodePayload::group(), std::nullopt);
    root.id = newUuid();
    root.originalNodeID = root.id; // a subtree document: the root itself is imported
    m_stack.push_back(std::move(root));
}

TreeExportNode ImportBuilder::makeNode(const QString &title, NodePayload payload, std::optional<Timestamp> createdAt,
                                       std::optional<QString> subtitle) const
{
    const Timestamp created = createdAt.value_or(m_options.now);
    WorkspaceNode node(QUuid(), QUuid(), std::nullopt, payload.kind(), title, std::move(subtitle), 0, false,
                       std::nullopt, created, m_options.now, std::nullopt, std::move(payload));
    TreeExportNode entry;
    entry.title = title;
    entry.node = std::move(node);
    return entry;
}

void ImportBuilder::openGroup(const QString &title, std::optional<Timestamp> createdAt)
{
    ++m_summary.groups;
    m_stack.push_back(makeNode(title, NodePayload::group(), createdAt));
}

void ImportBuilder::addGroup(const QString &title, std::optional<Timestamp> createdAt)
{
    ++m_summary.groups;
    m_stack.back().children.push_back(makeNode(title, NodePayload::group(), createdAt));
}

bool ImportBuilder::reopenLast()
{
    auto &children = m_stack.back().children;
    if (children.empty())
        return false;
    TreeExportNode last = std::move(children.back());
    children.pop_back();
    m_stack.push_back(std::move(last));
    return true;
}

bool ImportBuilder::closeGroup()
{
    if (m_stack.size() <= 1)
        return false;
    TreeExportNode done = std::move(m_stack.back());
    m_stack.pop_back();
    m_stack.back().children.push_back(std::move(done));
    return true;
}

bool ImportBuilder::addLink(QString title, const QString &address, std::optional<Timestamp> createdAt,
                            std::optional<QString> subtitle)
{
    auto payload = payloadForAddress(address);
    if (!payload) {
        ++m_summary.skipped;
        m_summary.refused.add(payload.error());
        return false;
    }
    ++m_summary.links;
    title = title.trimmed();
    if (title.isEmpty())
        title = address.trimmed();
    m_stack.back().children.push_back(makeNode(title, std::move(*payload), createdAt, std::move(subtitle)));
    return true;
}

bool ImportBuilder::progress(std::int64_t done)
{
    if (m_options.cancelled && m_options.cancelled->load(std::memory_order_relaxed))
        return false;
    // Every 256 KiB is often enough for a bar and cheap enough for the parse.
    if (m_options.progress && done - m_lastReported >= (std::int64_t(1) << 18)) {
        m_lastReported = done;
        m_options.progress(done, m_total);
    }
    return true;
}

InteropImport ImportBuilder::finish(InteropFormat format)
{
    while (closeGroup()) {
    }
    if (m_options.progress)
        m_options.progress(m_total, m_total);
    InteropImport result;
    result.format = format;
    result.document.exportedAt = m_options.now;
    result.document.rootNode = std::move(m_stack.front());
    m_stack.clear();
    result.summary = m_summary;
    return result;
}

// --- text helpers ---------------------------------------------------------

std::optional<InteropError> checkUtf8(std::string_view bytes)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t code = 0;
        if ((c & 0xE0) == 0xC0) {
            length = 2;
            code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3;
            code = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4;
            code = c & 0x07;
        }
        bool good = length != 0 && i + length <= n;
        for (std::size_t k = 1; good && k < length; ++k) {
            good = (p[i + k] & 0xC0) == 0x80;
            code = (code << 6) | (p[i + k] & 0x3F);
        }
        static constexpr std::uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (good)
            good = code >= kMinimum[length] && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        if (!good)
            return errorAt(bytes, i, QStringLiteral("the text is not UTF-8"));
        i += length;
    }
    return std::nullopt;
}

std::int64_t lineOfOffset(std::string_view bytes, std::size_t offset)
{
    offset = std::min(offset, bytes.size());
    return 1 + std::int64_t(std::count(bytes.begin(), bytes.begin() + std::ptrdiff_t(offset), '\n'));
}

InteropError errorAt(std::string_view bytes, std::size_t offset, QString reason)
{
    return InteropError{std::move(reason), lineOfOffset(bytes, offset), std::int64_t(offset)};
}

QString utf8(std::string_view text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

namespace {

struct NamedEntity {
    std::string_view name;
    const char *utf8;
};

constexpr NamedEntity kEntities[] = {
    {"amp", "&"},        {"lt", "<"},          {"gt", ">"},          {"quot", "\""},       {"apos", "'"},
    {"nbsp", "\xC2\xA0"}, {"copy", "\xC2\xA9"}, {"reg", "\xC2\xAE"}, {"hellip", "\xE2\x80\xA6"},
    {"ndash", "\xE2\x80\x93"}, {"mdash", "\xE2\x80\x94"}, {"lsquo", "\xE2\x80\x98"}, {"rsquo", "\xE2\x80\x99"},
    {"ldquo", "\xE2\x80\x9C"}, {"rdquo", "\xE2\x80\x9D"}, {"middot", "\xC2\xB7"}, {"bull", "\xE2\x80\xA2"},
};

void appendCodePoint(std::string &out, std::uint32_t code)
{
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        code = 0xFFFD;
    if (code < 0x80) {
        out.push_back(char(code));
    } else if (code < 0x800) {
        out.push_back(char(0xC0 | (code >> 6)));
        out.push_back(char(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(char(0xE0 | (code >> 12)));
        out.push_back(char(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(char(0x80 | (code & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (code >> 18)));
        out.push_back(char(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(char(0x80 | (code & 0x3F)));
    }
}

// Length of the entity at text[0] == '&' and its expansion, or 0.
std::size_t decodeEntity(std::string_view text, std::string &out)
{
    const std::size_t semicolon = text.substr(0, 12).find(';');
    if (semicolon == std::string_view::npos || semicolon < 2)
        return 0;
    const std::string_view body = text.substr(1, semicolon - 1);
    if (body[0] == '#') {
        const bool hex = body.size() > 1 && (body[1] == 'x' || body[1] == 'X');
        const std::string_view digits = body.substr(hex ? 2 : 1);
        if (digits.empty())
            return 0;
        std::uint32_t code = 0;
        for (char c : digits) {
            int value = -1;
            if (c >= '0' && c <= '9')
                value = c - '0';
            else if (hex && c >= 'a' && c <= 'f')
                value = c - 'a' + 10;
            else if (hex && c >= 'A' && c <= 'F')
                value = c - 'A' + 10;
            if (value < 0)
                return 0;
            code = std::min<std::uint32_t>(code * (hex ? 16 : 10) + std::uint32_t(value), 0x110000);
        }
        appendCodePoint(out, code);
        return semicolon + 1;
    }
    for (const NamedEntity &entity : kEntities) {
        if (entity.name == body) {
            out += entity.utf8;
            return semicolon + 1;
        }
    }
    return 0;
}

} // namespace

std::string decodeEntities(std::string_view text)
{
    if (text.find('&') == std::string_view::npos)
        return std::string(text);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '&') {
            if (const std::size_t used = decodeEntity(text.substr(i), out)) {
                i += used;
                continue;
            }
        }
        out.push_back(text[i++]);
    }
    return out;
}

std::string escapeHtml(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::string out;
    out.reserve(std::size_t(bytes.size()) + 16);
    for (char c : bytes) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

QString oneLine(const QString &text)
{
    QString line = text;
    for (QChar &c : line) {
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QLatin1Char('\t') ||
            c == QChar(0x2028) || c == QChar(0x2029))
            c = QLatin1Char(' ');
    }
    return line;
}

} // namespace tarni::interop
