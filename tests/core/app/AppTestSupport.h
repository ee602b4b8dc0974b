#pragma once

#include "app/AppEnvironment.h"
#include "windowing/UITestAXWindowController.h"

#include "../opening/OpeningTestSupport.h"

#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace tarni::test {

// A data root and a settings folder of the test's own, and the application
// core started on them: in automation mode, or in the normal composition on
// a recording opener and a simulated window controller.
class AppTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit());
        qputenv("TARNI_UITEST_ROOT", root().toLocal8Bit());
    }
    void TearDown() override
    {
        env.reset();
        qunsetenv("TARNI_UITEST_ROOT");
        setLocalizedStrings(nullptr);
    }

    QString root() const { return dir.filePath(QStringLiteral("root")); }

    // Starts (after stopping any earlier one) and launches.
    AppModel &start(const QStringList &arguments = {QStringLiteral("--uitest-mode")},
                    const QHash<QString, QString> &variables = {})
    {
        env.reset();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (auto it = variables.begin(); it != variables.end(); ++it)
            environment.insert(it.key(), it.value());
        PlatformServices platform;
        platform.makeExternalOpener = [this] {
            auto made = std::make_unique<RecordingOpener>();
            opener = made.get();
            opener->accepts = openerAccepts;
            return made;
        };
        platform.makeWindowController = [](ManagedWindowRegistry &registry) {
            return std::make_unique<UITestAXWindowController>(registry, PermissionStatus::granted);
        };
        platform.mainScreen = [this] { return screen; };
        platform.lockWait = std::chrono::milliseconds(300);
        platform.updatesConfigured = [this] { return updatesConfigured; };
        platform.executable = QCoreApplication::applicationFilePath().toStdString();
        auto created = AppEnvironment::create(UITestConfig::read(arguments, environment), std::move(platform));
        if (!created) {
            ADD_FAILURE() << created.error().description.toStdString();
            std::abort();
        }
        env = std::move(*created);
        QCoro::waitFor(env->appModel().launch());
        return env->appModel();
    }

    // The daily snapshot check, waited for: it is written on a worker thread.
    void takeDailySnapshot()
    {
        QSignalSpy checked(&env->appModel(), &AppModel::dailySnapshotChecked);
        env->appModel().takeDailySnapshotIfDue();
        ASSERT_TRUE(!checked.isEmpty() || checked.wait(30000));
    }

    template <class T>
    static T await(QCoro::Task<T> task) { return runTask(std::move(task)); }
    static void await(QCoro::Task<> task) { QCoro::waitFor(std::move(task)); }

    NodeList children(const std::optional<QUuid> &parent) const
    {
        NodeList out;
        for (const WorkspaceNode &n : env->appModel().treeViewModel().nodes())
            if (n.parentID() == parent)
                out.append(n);
        std::stable_sort(out.begin(), out.end(), [](const auto &a, const auto &b) { return a.sortOrder() < b.sortOrder(); });
        return out;
    }
    QStringList titles(const std::optional<QUuid> &parent) const
    {
        QStringList out;
        for (const WorkspaceNode &n : children(parent))
            out << n.title();
        return out;
    }

    QTemporaryDir dir;
    std::unique_ptr<AppEnvironment> env;
    RecordingOpener *opener = nullptr;
    bool openerAccepts = true;
    bool updatesConfigured = false;
    std::optional<ScreenDescription> screen = ScreenDescription{QStringLiteral("Screen-1"), QRectF(0, 0, 1600, 1000)};
};

} // namespace tarni::test
