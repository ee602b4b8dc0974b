#include "app/ApplicationDBusService.h"

#include "app/AppModel.h"

namespace tarni {

ApplicationDBusService::ApplicationDBusService(AppModel &model, std::filesystem::path dataRoot, Shell shell,
                                               QObject *parent)
    : QObject(parent)
    , m_model(model)
    , m_dataRoot(std::move(dataRoot))
    , m_shell(std::move(shell))
{
}

ApplicationDBusService::~ApplicationDBusService() = default;

bool ApplicationDBusService::registerOnSessionBus(QString *error)
{
    if (error)
        *error = QStringLiteral("not built yet");
    return false;
}

bool ApplicationDBusService::activateRunningInstance(const std::filesystem::path &)
{
    return false;
}

} // namespace tarni
