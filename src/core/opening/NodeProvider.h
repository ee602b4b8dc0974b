#pragma once

#include "model/NodeList.h"
#include "model/WorkspaceNode.h"
#include "util/Result.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QRectF>
#include <QString>
#include <QUrl>

#include <optional>

namespace tarni {

// The outcome of opening one node (or, for Chrome restores, one batch).
struct OpenResult {
    // One line for the status, in the interface language (the extension's
    // own words for what Chrome did).
    QString summary;
    // What was handed to another application; absent when nothing was.
    std::optional<QUrl> openedURL;
    // False when nothing could be opened (a refused open, a bad payload, a
    // browser that did not answer). Callers stamp a node as opened only when
    // this is true.
    bool succeeded = true;

    static OpenResult success(QString summary, std::optional<QUrl> url = std::nullopt)
    {
        return {std::move(summary), std::move(url), true};
    }
    static OpenResult failure(QString summary) { return {std::move(summary), std::nullopt, false}; }

    bool operator==(const OpenResult &) const = default;
};

struct RestoreResult {
    QList<OpenResult> results;
    bool operator==(const RestoreResult &) const = default;
};

// Built by the caller just before each open.
struct OpenContext {
    // QScreen::name() of the main screen, when there is one.
    std::optional<QString> screen;
    // The content rectangle beside the sidebar, in screen coordinates; absent
    // without a sidebar or a screen. Windows that opening creates go there.
    std::optional<QRectF> contentRect;
    bool accessibilityGranted = false;
    // Set by the automation hooks only; no provider reads them.
    std::optional<QString> automationTag;
    bool fromAutomation = false;

    bool operator==(const OpenContext &) const = default;
};

struct RestoreContext {
    std::optional<QString> screen;
    std::optional<QRectF> contentRect;
    bool accessibilityGranted = false;

    bool operator==(const RestoreContext &) const = default;
};

// Why a provider could not do its work at all (as opposed to a result that
// says nothing opened): the Chrome link's queue could not be written, or the
// request was cancelled.
struct ProviderError {
    QString description;
    bool operator==(const ProviderError &) const = default;
};

using OpenOutcome = Result<OpenResult, ProviderError>;
using RestoreOutcome = Result<RestoreResult, ProviderError>;

// Opens one kind of node. Calls run on the GUI thread and may suspend; the
// provider must outlive the calls it started.
class NodeProvider {
public:
    virtual ~NodeProvider() = default;

    virtual bool supports(WorkspaceNodeKind kind) const = 0;
    virtual QCoro::Task<OpenOutcome> open(WorkspaceNode node, OpenContext context) = 0;
    // `nodes` are all of one kind, in the order they are to be restored.
    virtual QCoro::Task<RestoreOutcome> restore(NodeList nodes, RestoreContext context) = 0;

protected:
    NodeProvider() = default;
};

} // namespace tarni
