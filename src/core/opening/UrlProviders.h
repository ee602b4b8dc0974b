#pragma once

#include "opening/ExternalOpening.h"
#include "opening/NodeProvider.h"

namespace tarni {

// The result of refusing to open a node whose stored value the entry rules
// do not accept: nothing is handed on, and the person is told why.
OpenResult refusedOpen(EntryProblem problem);
// The line a restore adds for the entries it left out.
OpenResult skippedEntries(qsizetype count);

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

} // namespace tarni
