#include "app/ClipboardContent.h"

#include "archive/TreeExportFile.h"
#include "model/EntryRules.h"
#include "model/JsonDecoding.h"
#include "util/Localized.h"

#include <QStringDecoder>

#include <vector>

namespace tarni::ClipboardContent {

namespace {

QString sizeInKiB(qsizetype bytes)
{
    return QString::number(bytes / 1024);
}

QString shortened(const QString &line)
{
    QString text = line.simplified();
    if (text.size() > kRefusedLineChars)
        text = text.left(kRefusedLineChars - 1) + QChar(0x2026);
    return text;
}

// Adds `url` when the rules accept it; else counts the line as refused.
void take(PastedLinks &out, const QString &url, std::optional<QString> title = std::nullopt)
{
    if (url.trimmed().isEmpty())
        return;
    if (!EntryRules::webAddress(url)) {
        ++out.refusedCount;
        if (out.refusedLines.size() < kNamedRefusedLines)
            out.refusedLines << shortened(url);
        return;
    }
    if (title && EntryRules::titleProblem(*title))
        title.reset();
    out.links.append(PastedLink{url.trimmed(), std::move(title)});
}

std::optional<Problem> tooMany(const PastedLinks &links)
{
    if (links.links.size() <= kMaxPastedLinks)
        return std::nullopt;
    return Problem{textKey("Too many addresses to paste at once (more than %d)."),
                   {QString::number(kMaxPastedLinks)}};
}

PastedLinks tooLarge()
{
    PastedLinks out;
    out.problem = Problem{textKey("The copied text is too large to paste (more than %d KB)."),
                          {sizeInKiB(kMaxTextBytes)}};
    return out;
}

} // namespace

Result<std::string, Problem> encodeNodes(const TreeExport &document)
{
    auto text = TreeExportFile::encode(document);
    if (!text)
        return Failure(Problem{textKey("The nodes could not be copied: %@"), {text.error().description()}});
    if (qsizetype(text->size()) > kMaxNodesBytes)
        return Failure(Problem{textKey("Too much to copy at once (more than %d KB); export it instead."),
                               {sizeInKiB(kMaxNodesBytes)}});
    return std::move(*text);
}

Result<TreeExport, Problem> decodeNodes(std::string_view bytes)
{
    if (qsizetype(bytes.size()) > kMaxNodesBytes)
        return Failure(Problem{textKey("The copied nodes are too large to paste (more than %d KB)."),
                               {sizeInKiB(kMaxNodesBytes)}});
    auto document = json::decodeTreeExport(bytes);
    if (!document)
        return Failure(Problem{textKey("The copied nodes could not be read: %@"), {document.error().description()}});
    if (document->schemaVersion > TreeExport::kSchemaVersion)
        return Failure(Problem{textKey("The copied nodes could not be read: %@"),
                               {QStringLiteral("schema %1 is newer than this version").arg(document->schemaVersion)}});
    return std::move(*document);
}

QString plainText(const TreeExport &document)
{
    QStringList lines;
    // Depth first without recursion: trees can be very deep.
    std::vector<const TreeExportNode *> pending{&document.rootNode};
    while (!pending.empty()) {
        const TreeExportNode *entry = pending.back();
        pending.pop_back();
        const NodePayload &payload = entry->node.payload();
        QString line = entry->title;
        if (const auto *link = payload.asWebLink())
            line = link->url;
        else if (const auto *tab = payload.asChromeTab())
            line = tab->url;
        else if (const auto *slack = payload.asSlackThread())
            line = slack->permalinkURL;
        else if (const auto *file = payload.asFileTarget())
            line = file->path;
        // A whole-workspace document's added root is no node of the tree.
        if (entry->originalNodeID)
            lines << line.simplified();
        for (auto child = entry->children.rbegin(); child != entry->children.rend(); ++child)
            pending.push_back(&*child);
    }
    return lines.join(QLatin1Char('\n'));
}

PastedLinks linksFromText(const QString &text)
{
    if (text.size() > kMaxTextBytes)
        return tooLarge();
    PastedLinks out;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        take(out, line);
        if (out.links.size() > kMaxPastedLinks)
            break;
    }
    out.problem = tooMany(out);
    return out;
}

PastedLinks linksFromUriList(const QByteArray &bytes)
{
    if (bytes.size() > kMaxTextBytes)
        return tooLarge();
    PastedLinks out;
    for (const QByteArray &line : bytes.split('\n')) {
        if (!line.startsWith('#'))
            take(out, QString::fromUtf8(line));
        if (out.links.size() > kMaxPastedLinks)
            break;
    }
    out.problem = tooMany(out);
    return out;
}

PastedLinks linksFromMozUrl(const QByteArray &bytes)
{
    if (bytes.size() > kMaxTextBytes)
        return tooLarge();
    QStringDecoder decode(QStringDecoder::Utf16LE);
    QString text = decode(bytes);
    if (decode.hasError())
        return linksFromText(QString::fromUtf8(bytes));
    text.remove(QChar(0)); // some browsers end the text with a NUL
    const QStringList lines = text.split(QLatin1Char('\n'));
    PastedLinks out;
    for (qsizetype i = 0; i < lines.size() && out.links.size() <= kMaxPastedLinks; i += 2)
        take(out, lines[i], i + 1 < lines.size() ? std::optional(lines[i + 1].trimmed()) : std::nullopt);
    out.problem = tooMany(out);
    return out;
}

} // namespace tarni::ClipboardContent
