// The snapshot browser on the real application core and a real database
// file: what it lists, and every action from the keyboard.

#include "GuiTestMain.h"
#include "../../core/app/AppTestSupport.h"

#include "archive/TreeExportFile.h"
#include "gui/snapshots/SnapshotBrowserWindow.h"

#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QTreeWidget>

using namespace tarni;
using namespace tarni::test;

namespace {

class SnapshotBrowserTest : public AppTest {
protected:
    void TearDown() override
    {
        browser.reset();
        AppTest::TearDown();
    }

    SnapshotBrowserWindow &open()
    {
        AppModel &model = start({QStringLiteral("--uitest-mode")},
                                {{QStringLiteral("TARNI_UITEST_SEED"), QStringLiteral("sample")}});
        browser = std::make_unique<SnapshotBrowserWindow>(model);
        SnapshotBrowserWindow::Prompts prompts;
        prompts.confirm = [this](QWidget *, const QString &question, const QString &) {
            questions << question;
            return answer;
        };
        prompts.askTitle = [this](QWidget *, const QString &) { return newTitle; };
        prompts.askExportPath = [this](QWidget *, const QString &suggested) {
            suggestedNames << suggested;
            return exportPath;
        };
        browser->setPrompts(prompts);
        browser->show();
        browser->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(browser.get()));
        return *browser;
    }
    AppModel &model() { return env->appModel(); }
    QTreeWidget *list() { return browser->findChild<QTreeWidget *>(QStringLiteral("snapshotList")); }
    QTreeWidget *preview() { return browser->findChild<QTreeWidget *>(QStringLiteral("snapshotPreview")); }
    QStringList row(int i)
    {
        QStringList texts;
        for (int column = 0; column < 4; ++column)
            texts << list()->topLevelItem(i)->text(column);
        return texts;
    }
    void key(QKeySequence sequence) { QTest::keySequence(browser.get(), sequence); }

    std::unique_ptr<SnapshotBrowserWindow> browser;
    QStringList questions;
    bool answer = true;
    std::optional<QString> newTitle;
    QString exportPath;
    QStringList suggestedNames;
};

TEST_F(SnapshotBrowserTest, ListsEachSnapshotWithItsKindAndCountAndShowsAnEmptyState)
{
    SnapshotBrowserWindow &window = open();
    auto *empty = window.findChild<QLabel *>(QStringLiteral("snapshotsEmpty"));
    EXPECT_TRUE(empty->isVisible());
    EXPECT_TRUE(empty->text().startsWith(QStringLiteral("No snapshots yet.")));
    for (const char *name : {"restoreSnapshot", "addSnapshotBeside", "renameSnapshot", "deleteSnapshot", "exportSnapshot"})
        EXPECT_FALSE(window.findChild<QPushButton *>(QLatin1String(name))->isEnabled()) << name;

    const WorkspaceNode today = children(std::nullopt).front();
    model().selectNodeWithoutOpening(today.id());
    model().saveSnapshotOfSelectedSubtree();
    takeDailySnapshot();
    // Saved from the model: the open window follows.
    ASSERT_EQ(list()->topLevelItemCount(), 2);
    EXPECT_FALSE(empty->isVisible());
    EXPECT_EQ(row(0).mid(2), (QStringList{QStringLiteral("Automatic (daily)"), QStringLiteral("4")}));
    EXPECT_EQ(row(1).mid(2), (QStringList{QStringLiteral("Manual · Subtree"), QStringLiteral("4")}));
    EXPECT_EQ(row(1).front(), QStringLiteral("Today Snapshot"));

    // The preview shows the selected snapshot's tree, without the added root
    // of a whole-workspace one.
    list()->setCurrentItem(list()->topLevelItem(0));
    ASSERT_EQ(preview()->topLevelItemCount(), 1);
    EXPECT_EQ(preview()->topLevelItem(0)->text(0), QStringLiteral("Today"));
    EXPECT_EQ(preview()->topLevelItem(0)->childCount(), 3);
    EXPECT_TRUE(window.findChild<QPushButton *>(QStringLiteral("restoreSnapshot"))->isEnabled());
    // A subtree snapshot is no workspace: it can be added, not restored.
    list()->setCurrentItem(list()->topLevelItem(1));
    EXPECT_FALSE(window.findChild<QPushButton *>(QStringLiteral("restoreSnapshot"))->isEnabled());
    key(QKeySequence(Qt::CTRL | Qt::Key_R));
    EXPECT_TRUE(questions.isEmpty());
}

// At scale 2 a 1600-pixel screen is 800 points wide, and the sidebar takes
// 300 of them: the browser must fit the rest in every language.
TEST_F(SnapshotBrowserTest, FitsBesideTheSidebarOnASmallScreenInEveryLanguage)
{
    SnapshotBrowserWindow &window = open();
    for (const AppLanguage language : {AppLanguage::english, AppLanguage::japanese, AppLanguage::simplifiedChinese}) {
        model().setLanguage(language);
        QCoreApplication::processEvents();
        EXPECT_LE(window.minimumSizeHint().width(), 500) << static_cast<int>(language);
    }
}

TEST_F(SnapshotBrowserTest, EveryActionWorksFromTheKeyboard)
{
    open();
    model().selectNodeWithoutOpening(std::nullopt);
    model().saveSnapshotOfWorkspace();
    const QUuid saved = browser->selectedSnapshotID().value();
    model().addGroup();
    const qsizetype edited = model().treeViewModel().nodes().size();

    // Restore asks first; "no" changes nothing.
    answer = false;
    key(QKeySequence(Qt::CTRL | Qt::Key_R));
    ASSERT_EQ(questions.size(), 1);
    EXPECT_EQ(model().treeViewModel().nodes().size(), edited);
    answer = true;
    key(QKeySequence(Qt::CTRL | Qt::Key_R));
    EXPECT_EQ(model().treeViewModel().nodes().size(), edited - 1);
    // The safety snapshot shows up at the top; the selection stays put.
    ASSERT_EQ(list()->topLevelItemCount(), 2);
    EXPECT_EQ(row(0)[2], QStringLiteral("Automatic (before restore)"));
    EXPECT_EQ(browser->selectedSnapshotID(), saved);

    key(QKeySequence(Qt::CTRL | Qt::Key_B));
    EXPECT_EQ(model().treeViewModel().nodes().size(), 2 * (edited - 1));

    newTitle = QStringLiteral("  Kept  ");
    key(QKeySequence(Qt::Key_F2));
    EXPECT_EQ(row(1).front(), QStringLiteral("Kept"));
    newTitle.reset();
    key(QKeySequence(Qt::Key_F2));
    EXPECT_EQ(row(1).front(), QStringLiteral("Kept"));

    exportPath = dir.filePath(QStringLiteral("out/kept.json"));
    key(QKeySequence(Qt::CTRL | Qt::Key_E));
    EXPECT_EQ(suggestedNames, QStringList{QStringLiteral("Kept.json")});
    auto written = TreeExportFile::read(exportPath.toStdString());
    ASSERT_TRUE(written) << written.error().description().toStdString();
    EXPECT_EQ(written->rootNode, model().snapshot(saved)->rootNode);

    answer = false;
    key(QKeySequence(QKeySequence::Delete));
    EXPECT_EQ(list()->topLevelItemCount(), 2);
    answer = true;
    key(QKeySequence(QKeySequence::Delete));
    ASSERT_EQ(list()->topLevelItemCount(), 1);
    EXPECT_NE(browser->selectedSnapshotID(), saved);
    EXPECT_FALSE(model().alertMessage());

    key(QKeySequence(Qt::Key_Escape));
    EXPECT_FALSE(browser->isVisible());
}

} // namespace

int main(int argc, char **argv)
{
    return runGuiTests(argc, argv);
}
