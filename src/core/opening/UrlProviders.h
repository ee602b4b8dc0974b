#pragma once

#include "opening/ExternalOpening.h"
#include "opening/NodeProvider.h"

namespace tarni {

// The URL a node's text forms, the way addresses typed by the user are read
// everywhere: nothing for empty text or text that is no URL.
std::optional<QUrl> urlFromText(const QString &text);

// Opens web link nodes in the default browser. The opener must outlive it.
class WebLinkProvider final : public NodeProvider {
public:
    explicit WebLinkProvider(ExternalOpening &opener) : m_opener(opener) {}

    bool supports(WorkspaceNodeKind kind) const override { return kind == WorkspaceNodeKind::webLink; }
    QCoro::Task<OpenOutcome> open(WorkspaceNode node, OpenContext context) override;
    QCoro::Task<RestoreOutcome> restore(NodeList nodes, RestoreContext context) override;

private:
    ExternalOpening &m_opener;
};

// Opens Slack nodes at their permalink (wherever the desktop routes it).
class SlackProvider final : public NodeProvider {
public:
    explicit SlackProvider(ExternalOpening &opener) : m_opener(opener) {}

    bool supports(WorkspaceNodeKind kind) const override { return kind == WorkspaceNodeKind::slackThread; }
    QCoro::Task<OpenOutcome> open(WorkspaceNode node, OpenContext context) override;
    QCoro::Task<RestoreOutcome> restore(NodeList nodes, RestoreContext context) override;

private:
    ExternalOpening &m_opener;
};

// "slack://channel?team=T&id=C" for a target that names both; nothing
// otherwise. Both values are percent-encoded, so a "&" or "#" inside one
// cannot add or cut parts of the link.
std::optional<QUrl> slackAppURL(const SlackTarget &target);

} // namespace tarni
