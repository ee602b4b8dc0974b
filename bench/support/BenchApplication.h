#pragma once

// The application core as the benchmarks compose it: one data root per
// workspace size with the real SQLite store, a composition that opens
// nothing and moves no windows, and a wall clock in milliseconds.

#include "app/AppEnvironment.h"
#include "common/DataRoot.h"
#include "windowing/UITestAXWindowController.h"

#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>

namespace tarni::bench {

using Clock = std::chrono::steady_clock;

inline double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class NullOpener final : public ExternalOpening {
public:
    bool open(const AcceptedAddress &) override { return true; }
    QCoro::Task<bool> reveal(QUrl) override { co_return true; }
};

struct Fixture {
    QTemporaryDir dir;
    UITestConfig config;
};

// One data root per size, filled by `makeWorkspace` once per process.
inline Fixture &fixture(int count, NodeList (*makeWorkspace)(const QUuid &, int))
{
    static std::map<int, std::unique_ptr<Fixture>> fixtures;
    auto &slot = fixtures[count];
    if (!slot) {
        slot = std::make_unique<Fixture>();
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("TARNI_UITEST_ROOT"), slot->dir.path());
        slot->config = UITestConfig::read({}, environment);
        WorkspaceStore store(slot->config.applicationSupportRoot / kWorkspaceDatabaseName);
        auto workspace = store.fetchOrCreateDefaultWorkspace();
        if (!workspace || !store.replaceNodes(makeWorkspace(workspace->id, count), workspace->id))
            std::abort();
    }
    return *slot;
}

inline std::unique_ptr<AppEnvironment> compose(const UITestConfig &config)
{
    PlatformServices platform;
    platform.makeExternalOpener = [] { return std::make_unique<NullOpener>(); };
    platform.makeWindowController = [](ManagedWindowRegistry &registry) {
        return std::make_unique<UITestAXWindowController>(registry, PermissionStatus::granted);
    };
    platform.mainScreen = [] { return ScreenDescription{QStringLiteral("bench"), QRectF(0, 0, 1920, 1080)}; };
    auto env = AppEnvironment::create(config, std::move(platform));
    if (!env)
        std::abort();
    return std::move(*env);
}

} // namespace tarni::bench
