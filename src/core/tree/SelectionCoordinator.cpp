#include "tree/SelectionCoordinator.h"

namespace tarni {

SelectionCoordinator::SelectionCoordinator(QObject *parent)
    : QObject(parent)
{
}

void SelectionCoordinator::select(const std::optional<QUuid> &nodeID)
{
    m_selectedNodeID = nodeID;
    Q_EMIT selectedNodeIDChanged();
}

} // namespace tarni
