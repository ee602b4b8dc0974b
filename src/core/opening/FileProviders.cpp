#include "opening/FileProviders.h"
#include "opening/UrlProviders.h"
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
    const auto address = EntryRules::fileAddress(item->path);
    if (!address)
        co_return refusedOpen(address.error());
    const QString path = address->url().toLocalFile();
    // Handed on, a missing item makes the desktop wait and then show nothing
    // (or an error dialog of its own); said here at once instead.
    if (!QFileInfo::exists(path))
        co_return OpenResult::failure(formatted(localized("“%@” no longer exists"), {path}));

    // The windows there are before the request tell the one it creates
    // from the user's other windows, which are never moved.
    QPointer<AsyncWindowController> windows = m_windows;
    std::optional<WindowBaseline> baseline;
    if (context.contentRect && windows)
        baseline = co_await windows->windowBaseline();

    if (!m_opener.open(*address))
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
    co_return OpenResult::success(isFile ? localized("Opened file") : localized("Opened folder"), address->url());
}

QCoro::Task<RestoreOutcome> FileItemProvider::restore(NodeList nodes, RestoreContext)
{
    const QString pattern =
        m_kind == WorkspaceNodeKind::file ? localized("Prepared file %@") : localized("Prepared folder %@");
    RestoreResult restored;
    for (const WorkspaceNode &node : nodes) {
        const FileTarget *item = target(node);
        const auto address = item ? EntryRules::fileAddress(item->path) : EntryResult<AcceptedAddress>(Failure(EntryProblem::notAbsolutePath));
        if (address)
            restored.results.append(OpenResult::success(formatted(pattern, {item->path}), address->url()));
    }
    co_return restored;
}

} // namespace tarni
