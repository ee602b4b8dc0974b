#pragma once

#include "app/ApplicationBusNames.h"

#include <QDBusMessage>
#include <QVariantList>

#include <filesystem>

namespace tarni::test {

// A call of `method` on the bus interface of the application whose data root
// is `root`; for tests that link the core library.
inline QDBusMessage applicationMethodCall(const std::filesystem::path &root, const char *method,
                                          const QVariantList &arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(bus::serviceNameForDataRoot(root),
                                                          QString::fromLatin1(bus::kObjectPath),
                                                          QString::fromLatin1(bus::kInterface),
                                                          QString::fromLatin1(method));
    message.setArguments(arguments);
    return message;
}

} // namespace tarni::test
