#pragma once

#include "sync/SyncState.h"

#include <QList>

#include <string>

namespace tarni::sync {

// The JSON that `tarnibar-cli sync status --json`, `sync now --json` and
// `sync conflicts --json` print, and that the application's D-Bus methods
// SyncStatus, SyncNow and SyncConflicts return: the same text either way.
std::string syncStatusJson(const SyncStatus &status);
std::string syncRunJson(const SyncRun &run);
std::string syncConflictsJson(const QList<SyncConflict> &conflicts);

} // namespace tarni::sync
