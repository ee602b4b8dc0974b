#pragma once

#include "opening/ExternalOpening.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>

class QProcess;

namespace tarni {

// Opens URLs with xdg-open and reveals files through the file manager's
// org.freedesktop.FileManager1 service on the session bus.
//
// xdg-open is started detached and never waited for: without a desktop
// environment it runs the application in the foreground until it exits.
// Opening the folder of an item to reveal waits a moment for it to fail.
// Nothing goes through a shell; an address that begins with "-" is refused,
// as xdg-open would read it as an option.
class XdgExternalOpener final : public ExternalOpening {
public:
    struct Options {
        // The environment xdg-open runs in and whose PATH finds it.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        QString program = QStringLiteral("xdg-open");
        // How long a file manager may take to answer before the folder is
        // opened instead, and xdg-open then to fail.
        int revealTimeoutMs = 3000;
    };

    XdgExternalOpener() : XdgExternalOpener(Options{}) {}
    explicit XdgExternalOpener(Options options);

    bool open(const AcceptedAddress &address) override;
    // The opener must outlive the task.
    QCoro::Task<bool> reveal(QUrl fileURL) override;

private:
    // The program and its one argument, or none when the address is refused
    // or there is no launcher.
    std::optional<QStringList> launcher(const AcceptedAddress &address) const;
    void prepare(QProcess &process, const QStringList &launcher) const;

    Options m_options;
};

} // namespace tarni
