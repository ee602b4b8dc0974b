#pragma once

#include <QLoggingCategory>

namespace tarni {
Q_DECLARE_LOGGING_CATEGORY(lcX11)
}
