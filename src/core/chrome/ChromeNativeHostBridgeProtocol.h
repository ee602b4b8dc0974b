#pragma once

#include "chrome/ChromeHostMessages.h"
#include "util/Result.h"

#include <QCoro/QCoroTask>
#include <QString>

namespace tarni {

// Why a command could not be sent. A missing reply is not an error: the
// bridge answers with a response of its own then.
struct ChromeBridgeError {
    enum class Code {
        cannotCreateDirectory,
        cannotWriteRequest,
        cancelled,
        handlerFailed,
        cannotInstallHost,
        cannotWriteManifest,
    };
    Code code = Code::cancelled;
    QString detail;

    QString description() const;
    bool operator==(const ChromeBridgeError &) const = default;
};

using ChromeSendResult = Result<ChromeCommandResponse, ChromeBridgeError>;

// The application's end of the link to the browser, as the rest of the
// application sees it (the composition root can put a simulated one in).
class ChromeNativeHostBridgeProtocol {
public:
    virtual ~ChromeNativeHostBridgeProtocol() = default;

    // A browser is connected to the extension's host right now.
    virtual bool isConnected() const = 0;
    // Sends one command and returns the extension's reply; answers at once
    // with a failed response when no browser is connected.
    virtual QCoro::Task<ChromeSendResult> send(ChromeCommand command) = 0;
    // Applies one event as if the extension had sent it.
    virtual void simulate(const ChromeEvent &event) = 0;
    // Forgets the Slack thread last sent for saving, once it is stored.
    virtual void consumeLatestSlackCapture() = 0;
};

} // namespace tarni
