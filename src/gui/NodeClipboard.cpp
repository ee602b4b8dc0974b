#include "gui/NodeClipboard.h"

#include "app/AppModel.h"
#include "app/ClipboardContent.h"
#include "model/Uuid.h"
#include "util/Localized.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

#include <string_view>
#include <utility>

namespace tarni {

namespace {

const QString kNodesType = QString::fromLatin1(ClipboardContent::kNodesMimeType);
const QString kCutType = QString::fromLatin1(ClipboardContent::kCutMimeType);
const QString kMozUrlType = QStringLiteral("text/x-moz-url");
const QString kUriListType = QStringLiteral("text/uri-list");

QByteArray cutMark(const QUuid &token, const QUuid &nodeID)
{
    return token.toByteArray(QUuid::WithoutBraces) + ' ' + nodeID.toByteArray(QUuid::WithoutBraces);
}

} // namespace

NodeClipboard::NodeClipboard(AppModel &model, QObject *parent)
    : QObject(parent)
    , m_model(model)
{
    if (QClipboard *clipboard = QGuiApplication::clipboard())
        connect(clipboard, &QClipboard::dataChanged, this, &NodeClipboard::clipboardChanged);
    clipboardChanged();
}

void NodeClipboard::copySelected()
{
    put(false);
}

void NodeClipboard::cutSelected()
{
    put(true);
}

std::optional<QUuid> NodeClipboard::pendingCut() const
{
    return m_cut ? std::optional(m_cut->nodeID) : std::nullopt;
}

void NodeClipboard::put(bool cut)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    const auto selected = m_model.inspectorViewModel().selectedNode();
    if (!clipboard || !selected)
        return;
    const auto document = m_model.selectedSubtreeDocument();
    if (!document)
        return;
    auto encoded = ClipboardContent::encodeNodes(*document);
    if (!encoded) {
        m_model.showGeneralStatus(StatusLine::lookedUp(QString::fromUtf8(encoded.error().key), encoded.error().values));
        return;
    }
    auto *data = new QMimeData;
    data->setData(kNodesType, QByteArray::fromStdString(*encoded));
    data->setText(ClipboardContent::plainText(*document));
    m_cut.reset();
    std::optional<Cut> made;
    if (cut) {
        made = Cut{newUuid(), selected->id()};
        data->setData(kCutType, cutMark(made->token, made->nodeID));
    }
    clipboard->setMimeData(data);
    m_cut = made;
    m_model.showGeneralStatus(cut ? StatusLine::lookedUp(textKey("Cut “%@”: paste it where it should go."),
                                                         {selected->title()})
                                  : StatusLine::lookedUp(textKey("Copied “%@”"), {selected->title()}));
}

void NodeClipboard::paste()
{
    const QClipboard *clipboard = QGuiApplication::clipboard();
    const QMimeData *data = clipboard ? clipboard->mimeData() : nullptr;
    if (!data) {
        m_model.pasteLinks({});
        return;
    }
    if (data->hasFormat(kNodesType)) {
        const QByteArray bytes = data->data(kNodesType);
        auto document = ClipboardContent::decodeNodes(std::string_view(bytes.constData(), std::size_t(bytes.size())));
        if (!document) {
            m_model.showGeneralStatus(
                StatusLine::lookedUp(QString::fromUtf8(document.error().key), document.error().values));
            return;
        }
        // Only the cut this run made moves a node; content of our type from
        // anywhere else is a copy.
        if (m_cut && data->data(kCutType) == cutMark(m_cut->token, m_cut->nodeID)) {
            const QUuid nodeID = std::exchange(m_cut, std::nullopt)->nodeID;
            m_model.pasteCutNode(nodeID, *document);
            return;
        }
        m_model.pasteDocument(*document);
        return;
    }
    ClipboardContent::PastedLinks links;
    if (data->hasFormat(kMozUrlType))
        links = ClipboardContent::linksFromMozUrl(data->data(kMozUrlType));
    else if (data->hasFormat(kUriListType))
        links = ClipboardContent::linksFromUriList(data->data(kUriListType));
    // On X11, Qt offers a browser's text/x-moz-url as a uri-list and then
    // hands over nothing for it; the browser's plain text holds the address.
    if (links.links.isEmpty() && links.refusedCount == 0 && !links.problem && data->hasText())
        links = ClipboardContent::linksFromText(data->text());
    m_model.pasteLinks(links);
}

void NodeClipboard::clipboardChanged()
{
    const QClipboard *clipboard = QGuiApplication::clipboard();
    const QMimeData *data = clipboard ? clipboard->mimeData() : nullptr;
    const bool can = data &&
        (data->hasFormat(kNodesType) || data->hasFormat(kMozUrlType) || data->hasFormat(kUriListType) ||
         data->hasText());
    // Whatever replaced our cut on the clipboard ends it.
    if (m_cut && (!data || data->data(kCutType) != cutMark(m_cut->token, m_cut->nodeID)))
        m_cut.reset();
    if (can != m_canPaste) {
        m_canPaste = can;
        Q_EMIT canPasteChanged();
    }
}

} // namespace tarni
