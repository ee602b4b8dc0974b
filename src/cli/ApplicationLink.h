#pragma once

// Write commands while the application runs: the application holds the
// instance lock for its whole run, so the edit is sent to it over the session
// bus and its own model makes the change (which its sidebar shows at once).

#include "CliCommand.h"

#include <QVariant>

namespace tarni::cli {

// Calls `method` of the application that serves the context's root. Returns
// kExitOk with the reply's values in `reply`, or prints why not and returns
// the exit code: the one the same failure has without the application, or
// kExitAppRunning when no application answers for this root.
int callApplication(const CliContext &context, const char *method, const QVariantList &arguments,
                    QVariantList *reply = nullptr);

} // namespace tarni::cli
