#include "platform/sway/SwayLogging.h"

Q_LOGGING_CATEGORY(lcSway, "tarnibar.sway")
