#pragma once

#include "model/EntryRules.h"

#include <QCoro/QCoroTask>
#include <QUrl>

namespace tarni {

// Hands URLs and files to the desktop: a web address to the default browser,
// a file to its default application, a folder to the file manager.
class ExternalOpening {
public:
    virtual ~ExternalOpening() = default;

    // Whether a launcher could be started for the address. It returns at
    // once: the launched program is never waited for. Only addresses the
    // entry rules accepted can be handed on.
    virtual bool open(const AcceptedAddress &address) = 0;
    // Shows the item selected in a file-manager window, or its folder when
    // no file manager can select it. False only when neither worked.
    virtual QCoro::Task<bool> reveal(QUrl fileURL) = 0;

protected:
    ExternalOpening() = default;
    ExternalOpening(const ExternalOpening &) = default;
    ExternalOpening &operator=(const ExternalOpening &) = default;
};

} // namespace tarni
