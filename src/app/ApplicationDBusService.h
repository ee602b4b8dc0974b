#pragma once

#include <QObject>
#include <QString>

#include <filesystem>
#include <functional>

namespace tarni {

class AppModel;

// The running application's commands on the session bus (name
// "com.tarni.bar", object "/com/tarni/bar", interface
// "com.tarni.bar.Application"): desktop shortcuts, scripts and tarnibar-cli
// drive the application through it.
class ApplicationDBusService : public QObject {
    Q_OBJECT
public:
    struct Shell {
        std::function<void()> showSidebar;
        std::function<void()> quit;
    };

    ApplicationDBusService(AppModel &model, std::filesystem::path dataRoot, Shell shell, QObject *parent = nullptr);
    ~ApplicationDBusService() override;

    // Registers the object and takes the name. False (with the reason) when
    // there is no session bus or the name is taken.
    bool registerOnSessionBus(QString *error = nullptr);

    // Asks the application that serves `dataRoot` to show its sidebar.
    // False when no such application answers.
    static bool activateRunningInstance(const std::filesystem::path &dataRoot);

private:
    AppModel &m_model;
    std::filesystem::path m_dataRoot;
    Shell m_shell;
};

} // namespace tarni
