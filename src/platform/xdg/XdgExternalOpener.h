#pragma once

#include "opening/ExternalOpening.h"

#include <QProcessEnvironment>
#include <QString>

namespace tarni {

// Opens URLs with xdg-open and reveals files through the file manager's
// org.freedesktop.FileManager1 service on the session bus.
//
// xdg-open is started detached and never waited for: without a desktop
// environment it runs the application in the foreground until it exits.
// Nothing goes through a shell; an address that begins with "-" is refused,
// as xdg-open would read it as an option.
class XdgExternalOpener final : public ExternalOpening {
public:
    struct Options {
        // The environment xdg-open runs in and whose PATH finds it.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        QString program = QStringLiteral("xdg-open");
        // How long a file manager may take to answer before the folder is
        // opened instead.
        int revealTimeoutMs = 3000;
    };

    XdgExternalOpener() : XdgExternalOpener(Options{}) {}
    explicit XdgExternalOpener(Options options);

    bool open(const AcceptedAddress &address) override;
    // The opener must outlive the task.
    QCoro::Task<bool> reveal(QUrl fileURL) override;

private:
    Options m_options;
};

} // namespace tarni
