// The Sync section of the settings and the conflicts window, driven as a
// user would, against a second data root whose files are copied into the
// shared folder as a folder-sync program would.

#include "AppTestSupport.h"

#include "app/SyncCoordinator.h"
#include "archive/TreeArchiveService.h"
#include "gui/AppActions.h"
#include "gui/settings/SyncSettingsView.h"
#include "gui/sync/SyncConflictsWindow.h"
#include "tree/TreeViewModel.h"

#include "GuiTestMain.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

using namespace tarni;
using namespace tarni::test;
namespace fs = std::filesystem;

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString &text, std::ostream *out) { *out << '"' << text.toStdString() << '"'; }
QT_END_NAMESPACE

namespace {

// Another machine: its own database, sharing through its own copy of the folder.
struct OtherMachine {
    QTemporaryDir dir;
    fs::path folder = fs::path(dir.path().toStdString()) / "Sync";
    WorkspaceStore store{fs::path(dir.path().toStdString()) / "workspace.sqlite"};
    TreeViewModel tree{store};
    TreeArchiveService archive;
    SyncCoordinator sync{store, tree, archive};

    OtherMachine()
    {
        fs::create_directories(folder);
        EXPECT_TRUE(tree.load());
    }
};

void copyFolder(const fs::path &from, const fs::path &to)
{
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::update_existing);
}

class SyncSettingsTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        AppModel &model = start();
        ASSERT_TRUE(model.sync());
        m_actions = std::make_unique<AppActions>(model, &m_host);
        m_view = std::make_unique<SyncSettingsView>(model, *m_actions);
        m_folder = fs::path(dir.filePath(QStringLiteral("Sync")).toStdString());
    }
    void TearDown() override
    {
        m_view.reset();
        m_actions.reset();
        AppTest::TearDown();
    }

    SyncCoordinator &sync() { return *env->appModel().sync(); }

    // Clicks `button`; the message box it opens (if any) is answered by
    // pressing its button with `answer` and its name is returned.
    QString clickAnswering(QPushButton *button, const QString &answer)
    {
        QString seen;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            seen = box->objectName();
            for (QAbstractButton *choice : box->buttons())
                if (choice->text() == answer) {
                    choice->click();
                    return;
                }
            box->reject();
        });
        poll.start(20);
        button->click();
        return seen;
    }

    void turnOnWith(const fs::path &folder, const QString &device, const QString &answer = {})
    {
        m_view->folderField()->setText(QString::fromStdString(folder.string()));
        m_view->deviceField()->setText(device);
        m_lastBox = clickAnswering(m_view->turnOnButton(), answer);
    }

    QStringList statusTexts(const char *name) const
    {
        QStringList texts;
        for (QLabel *label : m_view->findChildren<QLabel *>(QLatin1String(name)))
            texts << label->text();
        return texts;
    }

    QWidget m_host;
    std::unique_ptr<AppActions> m_actions;
    std::unique_ptr<SyncSettingsView> m_view;
    fs::path m_folder;
    QString m_lastBox;
};

TEST_F(SyncSettingsTest, TurnsOnWithAnEmptyFolderButNeverInsideTheDataFolder)
{
    // A folder inside the data folder is refused, saying why.
    turnOnWith(fs::path(root().toStdString()) / "Shared", QStringLiteral("Laptop"), QStringLiteral("OK"));
    EXPECT_EQ(m_lastBox, QStringLiteral("syncError"));
    EXPECT_FALSE(sync().isOn());

    env->appModel().addGroup();
    turnOnWith(m_folder, QStringLiteral("Laptop"));
    EXPECT_TRUE(m_lastBox.isEmpty()) << m_lastBox.toStdString();
    ASSERT_TRUE(sync().isOn());
    EXPECT_TRUE(fs::is_directory(m_folder));
    EXPECT_EQ(statusTexts("syncDevice"), QStringList{QStringLiteral("This device: Laptop")});
    EXPECT_EQ(statusTexts("syncPeers"), QStringList{QStringLiteral("Other machines seen: none yet")});
    EXPECT_FALSE(m_view->turnOnButton()->isVisibleTo(m_view.get()));

    m_view->findChild<QPushButton *>(QStringLiteral("turnOffSync"))->click();
    EXPECT_FALSE(sync().isOn());
    EXPECT_TRUE(m_view->turnOnButton()->isVisibleTo(m_view.get()));
}

TEST_F(SyncSettingsTest, JoiningAnotherMachinesTreeAsksFirstAndCancelChangesNothing)
{
    OtherMachine desktop;
    ASSERT_TRUE(desktop.tree.addGroup(QStringLiteral("From the desktop")));
    ASSERT_TRUE(desktop.sync.enable(desktop.folder, QStringLiteral("Desktop")));
    copyFolder(desktop.folder, m_folder);
    ASSERT_TRUE(env->appModel().treeViewModel().addGroup(QStringLiteral("Made here")));
    const QStringList here = titles(std::nullopt);

    turnOnWith(m_folder, QStringLiteral("Laptop"), QStringLiteral("Cancel"));
    EXPECT_EQ(m_lastBox, QStringLiteral("confirmJoin"));
    EXPECT_FALSE(sync().isOn());
    EXPECT_EQ(titles(std::nullopt), here);

    turnOnWith(m_folder, QStringLiteral("Laptop"), QStringLiteral("Replace and Turn On"));
    EXPECT_EQ(m_lastBox, QStringLiteral("confirmJoin"));
    ASSERT_TRUE(sync().isOn());
    EXPECT_EQ(titles(std::nullopt), QStringList{QStringLiteral("From the desktop")});
    EXPECT_TRUE(m_view->findChild<QLabel *>(QStringLiteral("syncNote"))->isVisibleTo(m_view.get()));
}

TEST_F(SyncSettingsTest, ShowsTheOtherMachineAndRestoresItsConflictAsACopy)
{
    ASSERT_TRUE(env->appModel().treeViewModel().addGroup(QStringLiteral("Shared")));
    turnOnWith(m_folder, QStringLiteral("Laptop"));
    ASSERT_TRUE(sync().isOn());
    OtherMachine desktop;
    copyFolder(m_folder, desktop.folder);
    ASSERT_TRUE(desktop.sync.enable(desktop.folder, QStringLiteral("Desktop")));
    const auto nodes = desktop.tree.nodes();
    const auto found = std::find_if(nodes.begin(), nodes.end(),
                                    [](const WorkspaceNode &node) { return node.title() == QLatin1String("Shared"); });
    ASSERT_NE(found, nodes.end());
    const QUuid shared = found->id();

    // Both rename the same group before seeing the other's change.
    ASSERT_TRUE(desktop.tree.rename(shared, QStringLiteral("Renamed on the desktop")));
    ASSERT_TRUE(desktop.sync.syncNow());
    ASSERT_TRUE(env->appModel().treeViewModel().rename(shared, QStringLiteral("Renamed here")));
    ASSERT_TRUE(sync().syncNow());
    copyFolder(desktop.folder, m_folder);
    m_view->findChild<QPushButton *>(QStringLiteral("syncNow"))->click();

    const QStringList peers = statusTexts("syncPeer");
    ASSERT_EQ(peers.size(), 1);
    EXPECT_TRUE(peers.front().startsWith(QStringLiteral("Desktop — last change taken in"))) << peers.front().toStdString();
    EXPECT_EQ(statusTexts("syncConflicts"), QStringList{QStringLiteral("Conflicts waiting: 1")});
    auto *showConflicts = m_view->findChild<QPushButton *>(QStringLiteral("showSyncConflicts"));
    ASSERT_TRUE(showConflicts->isEnabled());

    showConflicts->click();
    SyncConflictsWindow *window = m_host.findChild<SyncConflictsWindow *>();
    ASSERT_TRUE(window && window->isVisible());
    auto *list = window->findChild<QTreeWidget *>();
    ASSERT_EQ(list->topLevelItemCount(), 1);
    const QStringList versions{QStringLiteral("Renamed on the desktop"), QStringLiteral("Renamed here")};
    const QString keptTitle = list->topLevelItem(0)->text(0);
    EXPECT_TRUE(versions.contains(keptTitle)) << keptTitle.toStdString();
    const int before = int(env->appModel().treeViewModel().nodes().size());
    window->findChild<QPushButton *>(QStringLiteral("syncConflictRestore"))->click();
    EXPECT_EQ(int(env->appModel().treeViewModel().nodes().size()), before + 1);
    EXPECT_TRUE(titles(std::nullopt).contains(keptTitle));
    EXPECT_FALSE(list->topLevelItem(0)->data(0, Qt::UserRole + 1).isValid()); // only "no conflicts" is left
    EXPECT_EQ(statusTexts("syncConflicts"), QStringList{QStringLiteral("Conflicts waiting: 0")});
}

} // namespace

int main(int argc, char **argv)
{
    return runGuiTests(argc, argv);
}
