#pragma once

#include "model/Timestamp.h"

#include <QString>
#include <QUuid>

namespace tarni {

struct Workspace {
    QUuid id;
    QString title;
    Timestamp createdAt{};
    // Set by the tree engine just before each save of the node list.
    Timestamp updatedAt{};

    bool operator==(const Workspace &) const = default;
};

} // namespace tarni
