#pragma once

#include <QObject>
#include <QString>

#include <filesystem>
#include <functional>
#include <memory>

namespace tarni {

class AppModel;

// The running application's commands on the session bus (name
// "com.tarni.bar", object "/com/tarni/bar", interface
// "com.tarni.bar.Application"): desktop shortcuts, scripts and tarnibar-cli
// drive the application through it. docs/dbus.md lists the methods.
//
// Besides "com.tarni.bar" (which goes to the first application that asks),
// the application owns a name made from its data root
// (bus::serviceNameForDataRoot), which clients that care about the root use.
class ApplicationDBusService : public QObject {
    Q_OBJECT
public:
    struct Shell {
        std::function<void()> showSidebar;
        std::function<void()> quit;
    };

    ApplicationDBusService(AppModel &model, std::filesystem::path dataRoot, Shell shell, QObject *parent = nullptr);
    ~ApplicationDBusService() override;

    // Registers the object and takes the data root's name, and queues for
    // "com.tarni.bar" (the first application to ask has it). False (with the
    // reason) when there is no session bus or another application already
    // serves this data root.
    bool registerOnSessionBus(QString *error = nullptr);

    // Asks the application that serves `dataRoot` to show its sidebar.
    // False when no such application answers within a short time.
    static bool activateRunningInstance(const std::filesystem::path &dataRoot);

private:
    class Adaptor;
    class HeldAdaptor;
    friend class Adaptor;

    AppModel &m_model;
    std::filesystem::path m_dataRoot;
    Shell m_shell;
    Adaptor *m_adaptor = nullptr;
    bool m_registered = false;
};

} // namespace tarni
