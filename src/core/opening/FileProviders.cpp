#include "opening/FileProviders.h"
#include "util/Localized.h"

#include <QFileInfo>

namespace tarni {

FileItemProvider::FileItemProvider(WorkspaceNodeKind kind, ExternalOpening &opener, AsyncWindowController *windows,
                                   int windowTimeoutMs)
    : m_kind(kind), m_opener(opener), m_windows(windows), m_windowTimeoutMs(windowTimeoutMs)
{
}

const FileTarget *FileItemProvider::target(const WorkspaceNode &node) const
{
    return m_kind == WorkspaceNodeKind::file ? node.payload().asFile() : node.payload().asFolder();
}

QCoro::Task<OpenOutcome> FileItemProvider::open(WorkspaceNode node, OpenContext context)
{
    const bool isFile = m_kind == WorkspaceNodeKind::file;
    const FileTarget *item = target(node);
    if (!item)
        co_return OpenResult::failure(isFile ? localized("Unsupported file payload")
                                             : localized("Unsupported folder payload"));
    const QString path = item->path;
    const QUrl url = QUrl::fromLocalFile(path);

    // The windows there are before the request tell the one it creates
    // from the user's other windows, which are never moved.
    QPointer<AsyncWindowController> windows = m_windows;
    std::optional<WindowBaseline> baseline;
    if (context.contentRect && windows)
        baseline = co_await windows->windowBaseline();

    if (!m_opener.open(url))
        co_return OpenResult::failure(formatted(localized("Could not open %@"), {path}));

    if (baseline && windows) {
        OpenedWindowRequest request;
        request.identifier = path;
        request.frame = *context.contentRect;
        request.baseline = std::move(*baseline);
        request.itemName = QFileInfo(path).fileName();
        request.timeoutMs = m_windowTimeoutMs;
        // Window control is silent: a window that never comes moves nothing
        // and changes nothing in the result.
        co_await windows->moveOpenedWindow(std::move(request));
    }
    co_return OpenResult::success(isFile ? localized("Opened file") : localized("Opened folder"), url);
}

QCoro::Task<RestoreOutcome> FileItemProvider::restore(NodeList nodes, RestoreContext)
{
    const QString pattern =
        m_kind == WorkspaceNodeKind::file ? localized("Prepared file %@") : localized("Prepared folder %@");
    RestoreResult restored;
    for (const WorkspaceNode &node : nodes) {
        if (const FileTarget *item = target(node))
            restored.results.append(
                OpenResult::success(formatted(pattern, {item->path}), QUrl::fromLocalFile(item->path)));
    }
    co_return restored;
}

} // namespace tarni
