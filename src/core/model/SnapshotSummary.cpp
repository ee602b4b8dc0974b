#include "model/SnapshotSummary.h"

namespace tarni {

std::string_view rawValue(SnapshotOrigin origin)
{
    switch (origin) {
    case SnapshotOrigin::manual:
        return "manual";
    case SnapshotOrigin::daily:
        return "daily";
    case SnapshotOrigin::beforeImport:
        return "beforeImport";
    case SnapshotOrigin::beforeRestore:
        return "beforeRestore";
    }
    return "manual";
}

std::optional<SnapshotOrigin> snapshotOriginFromRawValue(std::string_view text)
{
    for (SnapshotOrigin origin : {SnapshotOrigin::manual, SnapshotOrigin::daily, SnapshotOrigin::beforeImport,
                                  SnapshotOrigin::beforeRestore}) {
        if (rawValue(origin) == text)
            return origin;
    }
    return std::nullopt;
}

} // namespace tarni
