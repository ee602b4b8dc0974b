#pragma once

#include "model/WorkspaceNode.h"

#include <QList>

namespace tarni {

// The flat node list of a workspace. QList is implicitly shared, so handing
// the list around (signals, snapshots of state) copies nothing until written.
using NodeList = QList<WorkspaceNode>;

} // namespace tarni
