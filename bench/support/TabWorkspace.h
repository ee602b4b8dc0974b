#pragma once

#include "model/NodeList.h"
#include "model/NodePayload.h"
#include "model/Timestamp.h"
#include "model/Uuid.h"
#include "model/WorkspaceNode.h"

#include <QUuid>

#include <optional>
#include <random>

namespace tarni::bench {

// Groups of 40 captured tabs at the top level, about 580 bytes of JSON a
// node. `shuffledOrder`: sort orders drawn at random (fixed seed) instead of
// ascending, so that loading has to sort.
inline NodeList makeTabWorkspace(int count, const QUuid &workspace, bool shuffledOrder)
{
    NodeList nodes;
    nodes.reserve(count);
    std::mt19937 random(42);
    const Timestamp created = currentTimestamp();
    QUuid group;
    for (int i = 0; i < count; ++i) {
        const bool isGroup = i % 40 == 0;
        const QString n = QString::number(i);
        NodePayload payload =
            isGroup ? NodePayload::group()
                    : NodePayload::chromeTab(BrowserTarget{
                          QStringLiteral("https://docs.example.com/projects/tarni/reports/quarterly-review-") + n +
                              QStringLiteral("?section=summary&view=full&ref=sidebar"),
                          QStringLiteral("Quarterly review ") + n + QStringLiteral(" — planning and follow-ups"),
                          QStringLiteral("https://docs.example.com/static/icons/favicon-32x32.png"),
                          BrowserOpenMode::existingTab, std::nullopt});
        const double sortOrder = shuffledOrder ? double(random() % 1000) : double(i);
        WorkspaceNode node(newUuid(), workspace, isGroup ? std::nullopt : std::optional<QUuid>(group), payload.kind(),
                           isGroup ? QStringLiteral("Group ") + n : QStringLiteral("Tab ") + n, std::nullopt, sortOrder,
                           false, std::nullopt, created, created, std::nullopt, payload);
        if (isGroup)
            group = node.id();
        nodes.push_back(node);
    }
    return nodes;
}

} // namespace tarni::bench
