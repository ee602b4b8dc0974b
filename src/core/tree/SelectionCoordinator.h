#pragma once

#include <QObject>
#include <QUuid>

#include <optional>

namespace tarni {

// The one selected node of the sidebar, by identifier. The identifier is not
// checked against the node list: a stale one reads like no selection.
class SelectionCoordinator : public QObject {
    Q_OBJECT
public:
    explicit SelectionCoordinator(QObject *parent = nullptr);

    const std::optional<QUuid> &selectedNodeID() const { return m_selectedNodeID; }
    // Always announces, also when the value does not change.
    void select(const std::optional<QUuid> &nodeID);

Q_SIGNALS:
    void selectedNodeIDChanged();

private:
    std::optional<QUuid> m_selectedNodeID;
};

} // namespace tarni
