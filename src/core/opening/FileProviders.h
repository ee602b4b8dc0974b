#pragma once

#include "opening/ExternalOpening.h"
#include "opening/NodeProvider.h"
#include "windowing/AsyncWindowController.h"

#include <QPointer>

namespace tarni {

// Opens file or folder nodes in their default application and moves the
// window that the open created into the content rectangle. A restore opens
// nothing: it lists the items as prepared.
class FileItemProvider : public NodeProvider {
public:
    // How long opening waits for the application's window by default.
    static constexpr int kDefaultWindowTimeoutMs = 5000;

    bool supports(WorkspaceNodeKind kind) const override { return kind == m_kind; }
    QCoro::Task<OpenOutcome> open(WorkspaceNode node, OpenContext context) override;
    QCoro::Task<RestoreOutcome> restore(NodeList nodes, RestoreContext context) override;

protected:
    // `kind` is file or folder. The opener must outlive the provider;
    // `windows` may be null (nothing is ever moved then).
    FileItemProvider(WorkspaceNodeKind kind, ExternalOpening &opener, AsyncWindowController *windows,
                     int windowTimeoutMs);

private:
    const FileTarget *target(const WorkspaceNode &node) const;

    WorkspaceNodeKind m_kind;
    ExternalOpening &m_opener;
    QPointer<AsyncWindowController> m_windows;
    int m_windowTimeoutMs;
};

class FileProvider final : public FileItemProvider {
public:
    FileProvider(ExternalOpening &opener, AsyncWindowController *windows,
                 int windowTimeoutMs = kDefaultWindowTimeoutMs)
        : FileItemProvider(WorkspaceNodeKind::file, opener, windows, windowTimeoutMs)
    {
    }
};

class FolderProvider final : public FileItemProvider {
public:
    FolderProvider(ExternalOpening &opener, AsyncWindowController *windows,
                   int windowTimeoutMs = kDefaultWindowTimeoutMs)
        : FileItemProvider(WorkspaceNodeKind::folder, opener, windows, windowTimeoutMs)
    {
    }
};

} // namespace tarni
