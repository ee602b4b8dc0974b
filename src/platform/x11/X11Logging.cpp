#include "platform/x11/X11Logging.h"

namespace tarni {
Q_LOGGING_CATEGORY(lcX11, "tarnibar.x11")
}
