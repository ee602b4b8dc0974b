#pragma once

#include "util/Localized.h"

#include <QString>
#include <QStringList>

namespace tarni {

// Why an update was refused or failed: a looked-up text (an English key
// marked with textKey) and the values for its placeholders.
struct UpdateProblem {
    const char *key = "";
    QStringList values;

    QString text() const { return formatted(localized(key), values); }
};

} // namespace tarni
