// The sidebar's views on the real application core in automation mode, with
// the sample workspace: context menus per kind, shortcuts, the alert, live
// language switching, the onboarding, progress of long commands and the
// layout at the narrowest sidebar width.

#include "GuiTestMain.h"
#include "../../core/app/AppTestSupport.h"

#include "gui/AppActions.h"
#include "gui/EntryDialogs.h"
#include "gui/HeaderView.h"
#include "gui/InteropDialogs.h"
#include "gui/NodeContextMenu.h"
#include "gui/SidebarRootView.h"
#include "gui/inspector/InspectorView.h"
#include "gui/onboarding/OnboardingView.h"
#include "gui/outline/WorkspaceItemModel.h"
#include "gui/outline/WorkspaceOutlineView.h"
#include "gui/settings/SettingsWindow.h"
#include "gui/snapshots/SnapshotBrowserWindow.h"

#include <QAction>
#include <QCheckBox>
#include <QApplication>
#include <QComboBox>
#include <QCoro/QCoroTimer>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QTreeWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

using namespace tarni;
using namespace tarni::test;

namespace {

const QHash<QString, QString> kSample{{QStringLiteral("TARNI_UITEST_SEED"), QStringLiteral("sample")}};

class SidebarTest : public AppTest {
protected:
    void TearDown() override
    {
        view.reset();
        AppTest::TearDown();
    }

    SidebarRootView &show(QHash<QString, QString> variables = kSample)
    {
        AppModel &model = start({QStringLiteral("--uitest-mode")}, variables);
        view = std::make_unique<SidebarRootView>(model);
        view->resize(320, 800);
        view->show();
        view->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(view.get()));
        return *view;
    }
    AppModel &model() { return env->appModel(); }
    WorkspaceNode today() { return children(std::nullopt).front(); }
    // Example (web link), C456 (Slack thread), the data root (folder).
    WorkspaceNode child(int i) { return children(today().id()).at(i); }
    void select(const WorkspaceNode &node) { model().selectNodeWithoutOpening(node.id()); }
    QStringList menuTitles(const WorkspaceNode &node)
    {
        QStringList out;
        for (const auto &item : nodeContextMenuItems(model(), view->actions(), node.id()))
            out << (item.isSeparator ? QStringLiteral("|") : item.title);
        return out;
    }
    template <class W>
    W *find(const char *name) const
    {
        for (QWidget *w : QApplication::allWidgets())
            if (w->objectName() == QLatin1String(name) && w->isVisible())
                if (auto *cast = qobject_cast<W *>(w))
                    return cast;
        return nullptr;
    }

    std::unique_ptr<SidebarRootView> view;
};

TEST_F(SidebarTest, ContextMenusOfferWhatEachKindCanDoAndActOnThatNode)
{
    show();
    const QStringList editing{QStringLiteral("Rename"), QStringLiteral("Duplicate"), QStringLiteral("Delete"),
                              QStringLiteral("|"), QStringLiteral("Cut"), QStringLiteral("Copy"),
                              QStringLiteral("Paste"), QStringLiteral("Move to…"), QStringLiteral("Move Up"),
                              QStringLiteral("Move Down"), QStringLiteral("Move Out of Group"),
                              QStringLiteral("Move into Group Above"), QStringLiteral("|")};
    const QStringList outwards{QStringLiteral("Export"), QStringLiteral("Export As…"), QStringLiteral("Save Snapshot")};
    const QStringList imports{QStringLiteral("Import into Here…"), QStringLiteral("Import from Other Formats…")};
    EXPECT_EQ(menuTitles(today()), editing + imports + outwards);
    EXPECT_EQ(menuTitles(child(0)), QStringList({QStringLiteral("Open"), QStringLiteral("|")}) + editing + outwards);
    EXPECT_EQ(menuTitles(child(1)), QStringList({QStringLiteral("Open"), QStringLiteral("Open in Slack App"),
                                                 QStringLiteral("|")}) + editing + outwards);
    EXPECT_EQ(menuTitles(child(2)), QStringList({QStringLiteral("Open"), QStringLiteral("Reveal in File Manager"),
                                                 QStringLiteral("|")}) + editing + outwards);

    // A Chrome tab anywhere below offers the browser session, also under a
    // web link.
    const BrowserTarget tab{QStringLiteral("https://example.org/"), QStringLiteral("Tab"), std::nullopt,
                            BrowserOpenMode::existingTab, std::nullopt};
    ASSERT_TRUE(model().treeViewModel().addChromeTarget(tab, child(0).id()));
    EXPECT_EQ(menuTitles(today()).front(), QStringLiteral("Restore Browser Session"));
    EXPECT_TRUE(menuTitles(child(0)).contains(QStringLiteral("Restore Browser Session")));

    // An entry acts on its own node even when another one is selected.
    select(today());
    const auto items = nodeContextMenuItems(model(), view->actions(), child(1).id());
    const auto duplicate = std::find_if(items.begin(), items.end(),
                                        [](const auto &item) { return item.title == QStringLiteral("Duplicate"); });
    ASSERT_NE(duplicate, items.end());
    EXPECT_EQ(duplicate->shortcut, QKeySequence(Qt::CTRL | Qt::Key_D));
    duplicate->action();
    EXPECT_EQ(titles(today().id()).count(QStringLiteral("C456")), 2);
    EXPECT_EQ(titles(std::nullopt).size(), 1);
}

TEST_F(SidebarTest, UndoKeysActOnTheTreeButLeaveTypingToAFocusedField)
{
    SidebarRootView &sidebar = show();
    const WorkspaceNode group = today();
    select(group);
    QTest::keyClick(&sidebar, Qt::Key_Delete);
    auto *confirm = find<QMessageBox>("confirmDelete");
    ASSERT_TRUE(confirm);
    for (QAbstractButton *button : confirm->buttons())
        if (confirm->buttonRole(button) == QMessageBox::DestructiveRole)
            button->click();
    ASSERT_FALSE(model().treeViewModel().node(group.id()));
    EXPECT_EQ(sidebar.actions().undo->text(), QStringLiteral("Undo Delete “Today”"));
    EXPECT_FALSE(sidebar.actions().redo->isEnabled());

    // In the search field Ctrl+Z takes back typing, not the delete.
    QTest::keyClick(&sidebar, Qt::Key_F, Qt::ControlModifier);
    QTest::keyClicks(sidebar.searchField(), QStringLiteral("ab"));
    QTest::keyClick(sidebar.searchField(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_NE(sidebar.searchField()->text(), QStringLiteral("ab"));
    EXPECT_FALSE(model().treeViewModel().node(group.id()));
    QTest::keyClick(sidebar.searchField(), Qt::Key_Escape);

    QTest::keyClick(sidebar.outline(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_TRUE(model().treeViewModel().node(group.id()));
    EXPECT_EQ(sidebar.actions().redo->text(), QStringLiteral("Redo Delete “Today”"));
    QTest::keyClick(sidebar.outline(), Qt::Key_Y, Qt::ControlModifier);
    EXPECT_FALSE(model().treeViewModel().node(group.id()));
    QTest::keyClick(sidebar.outline(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_FALSE(model().treeViewModel().node(group.id())) << "nothing left to redo";

    // The trash window lists it and puts it back from the keyboard.
    QTest::keyClick(sidebar.outline(), Qt::Key_Delete, Qt::ControlModifier | Qt::ShiftModifier);
    auto *list = find<QTreeWidget>("trashList");
    ASSERT_TRUE(list);
    ASSERT_EQ(list->topLevelItemCount(), 1);
    EXPECT_EQ(list->topLevelItem(0)->text(0), QStringLiteral("Today"));
    EXPECT_EQ(list->topLevelItem(0)->text(2), QStringLiteral("4"));
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Return);
    EXPECT_TRUE(model().treeViewModel().node(group.id()));
    ASSERT_EQ(list->topLevelItemCount(), 1);
    EXPECT_EQ(list->topLevelItem(0)->flags(), Qt::NoItemFlags) << "only the line saying it is empty";
}

TEST_F(SidebarTest, TheKeyboardReachesEveryCommand)
{
    SidebarRootView &sidebar = show();
    QLineEdit *title = sidebar.inspector()->titleField();

    select(child(0));
    QTest::keyClick(&sidebar, Qt::Key_D, Qt::ControlModifier);
    EXPECT_EQ(titles(today().id()).count(QStringLiteral("Example")), 2);

    // F2 renames in the inspector: Enter keeps, Esc puts the title back.
    QTest::keyClick(&sidebar, Qt::Key_F2);
    ASSERT_TRUE(title->hasFocus());
    QTest::keyClicks(title, QStringLiteral("  Renamed"));
    QTest::keyClick(title, Qt::Key_Return);
    const QUuid copy = *model().selectionCoordinator().selectedNodeID();
    EXPECT_EQ(model().treeViewModel().node(copy)->title(), QStringLiteral("  Renamed"));
    EXPECT_TRUE(sidebar.outline()->hasFocus());
    QTest::keyClick(&sidebar, Qt::Key_F2);
    QTest::keyClicks(title, QStringLiteral("Discarded"));
    QTest::keyClick(title, Qt::Key_Escape);
    sidebar.outline()->setFocus();
    EXPECT_EQ(model().treeViewModel().node(copy)->title(), QStringLiteral("  Renamed"));
    EXPECT_EQ(title->text(), QStringLiteral("  Renamed"));
    QTest::keyClick(&sidebar, Qt::Key_F2);
    QTest::keyClicks(title, QStringLiteral("   "));
    QTest::keyClick(title, Qt::Key_Return);
    EXPECT_EQ(model().treeViewModel().node(copy)->title(), QStringLiteral("  Renamed")) << "a blank title was kept";

    // A leaf goes at once; a group with children only once confirmed.
    QTest::keyClick(&sidebar, Qt::Key_Delete);
    EXPECT_FALSE(model().treeViewModel().node(copy));
    select(today());
    QTest::keyClick(&sidebar, Qt::Key_Delete);
    auto *confirm = find<QMessageBox>("confirmDelete");
    ASSERT_TRUE(confirm);
    EXPECT_TRUE(model().treeViewModel().node(today().id()));
    confirm->reject();
    EXPECT_EQ(model().treeViewModel().nodes().size(), 4);

    // Ctrl+F searches as the user types; Esc clears and returns to the tree.
    QTest::keyClick(&sidebar, Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(sidebar.searchField()->hasFocus());
    QTest::keyClicks(sidebar.searchField(), QStringLiteral("c45"));
    EXPECT_EQ(model().treeViewModel().searchQuery(), QStringLiteral("c45"));
    QTest::keyClick(sidebar.searchField(), Qt::Key_Escape);
    EXPECT_TRUE(model().treeViewModel().searchQuery().isEmpty());
    EXPECT_TRUE(sidebar.outline()->hasFocus());

    // Ctrl+L asks for an address and adds it, trimmed, into the selected group.
    QTest::keyClick(&sidebar, Qt::Key_L, Qt::ControlModifier);
    auto *entry = find<AddressEntryDialog>("");
    ASSERT_TRUE(entry);
    entry->field()->setText(QStringLiteral(" https://qt.io/docs "));
    entry->accept();
    EXPECT_EQ(model().treeViewModel().node(model().selectionCoordinator().selectedNodeID())->payload().asWebLink()->url,
              QStringLiteral("https://qt.io/docs"));
    EXPECT_TRUE(titles(today().id()).contains(QStringLiteral("qt.io")));

    // A new group waits for its name.
    QTest::keyClick(&sidebar, Qt::Key_N, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(title->hasFocus());
    EXPECT_EQ(title->selectedText(), QStringLiteral("New Group"));
    QTest::keyClick(title, Qt::Key_Escape);

    // Ctrl+S keeps the workspace; the menu lists it to restore.
    QTest::keyClick(&sidebar, Qt::Key_S, Qt::ControlModifier);
    QMenu *snapshots = sidebar.header()->menu()->findChild<QMenu *>(QStringLiteral("snapshotMenu"));
    Q_EMIT snapshots->aboutToShow();
    ASSERT_EQ(snapshots->actions().size(), 1);
    snapshots->actions().front()->trigger();
    EXPECT_EQ(model().latestImportStatus(), QStringLiteral("Restored workspace snapshot"));
    // Ctrl+Shift+S shows them all.
    QTest::keyClick(&sidebar, Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_TRUE(sidebar.snapshotBrowser());
    EXPECT_TRUE(sidebar.snapshotBrowser()->isVisible());
    sidebar.snapshotBrowser()->close();
    sidebar.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&sidebar));

    QSignalSpy quit(&sidebar, &SidebarRootView::quitRequested);
    QTest::keyClick(&sidebar, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quit.size(), 1);

    // Settings open with Ctrl+, and closing them quits nothing, even as the
    // only window shown.
    QTest::keyClick(&sidebar, Qt::Key_Comma, Qt::ControlModifier);
    ASSERT_TRUE(sidebar.settingsWindow() && sidebar.settingsWindow()->isVisible());
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
    sidebar.hide();
    sidebar.settingsWindow()->close();
    QCoreApplication::processEvents();
    EXPECT_EQ(lastClosed.size(), 0);
}

TEST_F(SidebarTest, OtherFormatsArePreviewedBeforeTheyAreAddedAndExportedAsChosen)
{
    show();
    select(today());
    const QString file = root() + QStringLiteral("/bookmarks.html");
    {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write("<!DOCTYPE NETSCAPE-Bookmark-file-1>\n<DL><p>\n<DT><H3>Bar</H3>\n<DL><p>\n"
                  "<DT><A HREF=\"https://a.example/\">A</A>\n<DT><A HREF=\"javascript:void(0)\">J</A>\n</DL><p>\n"
                  "<DT><A HREF=\"https://b.example/\">B</A>\n</DL><p>\n");
    }
    const qsizetype before = model().treeViewModel().nodes().size();
    QPointer<ImportPreviewDialog> dialog = view->actions().previewImport(file);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->isReading(); }, 10000));
    EXPECT_EQ(dialog->summaryText(),
              QStringLiteral("1 group(s) and 2 link(s) will be added in a new group “bookmarks.html”.\n"
                             "1 entries will be skipped: their addresses are not web, Slack or file addresses."));
    EXPECT_EQ(model().treeViewModel().nodes().size(), before) << "nothing is added before Import";

    // Another format is read again; one that does not fit says why.
    dialog->formatChooser()->setCurrentIndex(dialog->formatChooser()->findText(QStringLiteral("Tab sessions")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->isReading(); }, 10000));
    EXPECT_TRUE(dialog->summaryText().startsWith(QStringLiteral("This file cannot be imported: line 1 (byte 0)")))
        << dialog->summaryText().toStdString();
    EXPECT_FALSE(dialog->findChild<QPushButton *>(QStringLiteral("importButton"))->isEnabled());
    dialog->formatChooser()->setCurrentIndex(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->isReading(); }, 10000));
    QTest::keyClick(dialog, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return dialog.isNull(); }, 5000));
    EXPECT_EQ(model().treeViewModel().nodes().size(), before + 4);
    EXPECT_TRUE(titles(today().id()).contains(QStringLiteral("bookmarks.html")));
    EXPECT_EQ(model().latestImportStatus(), QStringLiteral("Imported 4 node(s); 1 items were not imported: not a web address"));

    select(today());
    const QString markdown = root() + QStringLiteral("/today.md");
    model().exportSelectedSubtreeAs(InteropFormat::markdown, markdown);
    QFile written(markdown);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(written.readAll().startsWith("# Today\n\n- [Example](https://"));
}

TEST_F(SidebarTest, TheInspectorShowsTheSelectedNodeOrSaysToSelectOne)
{
    SidebarRootView &sidebar = show();
    auto *empty = sidebar.inspector()->findChild<QLabel *>(QStringLiteral("inspector-empty"));
    select(child(1));
    EXPECT_FALSE(empty->isVisible());
    QStringList shown;
    for (QLabel *label : sidebar.inspector()->findChildren<QLabel *>())
        if (label->isVisible())
            shown << label->text();
    for (const char *text : {"Slack Thread", "T123", "C456", "1712345678.900100", "Never"})
        EXPECT_TRUE(shown.contains(QString::fromUtf8(text))) << text << " in " << shown.join(u'|').toStdString();

    // A selection that names no node reads like none.
    model().selectionCoordinator().select(QUuid::createUuid());
    EXPECT_TRUE(empty->isVisible());
    EXPECT_EQ(empty->text(), QStringLiteral("Select a node to inspect it."));
}

TEST_F(SidebarTest, AnAlertShowsAsADialogAndClosingItClearsIt)
{
    SidebarRootView &sidebar = show();
    model().importTree(QUrl::fromLocalFile(root() + QStringLiteral("/missing.json")));
    ASSERT_TRUE(model().alertMessage());
    QMessageBox *box = sidebar.alertBox();
    ASSERT_TRUE(box && box->isVisible());
    EXPECT_EQ(box->text(), *model().alertMessage());
    QTest::mouseClick(box->buttons().front(), Qt::LeftButton);
    EXPECT_FALSE(model().alertMessage());
    EXPECT_TRUE(spinUntil([&] { return !sidebar.alertBox(); }, 2000));
}

TEST_F(SidebarTest, ALanguageSwitchRelabelsTheSidebarAndTheSettingsAtOnce)
{
    SidebarRootView &sidebar = show();
    sidebar.showSettings();
    SettingsWindow *settings = sidebar.settingsWindow();
    EXPECT_TRUE(sidebar.actions().captureTab->toolTip().contains(QStringLiteral("Ctrl+Shift+T")));

    model().setLanguage(AppLanguage::japanese);
    EXPECT_EQ(sidebar.actions().duplicate->text(), QStringLiteral("複製"));
    EXPECT_EQ(settings->windowTitle(), QStringLiteral("設定"));

    // The settings' own picker switches too. Which texts each language shows
    // is test_ShownTexts'.
    auto *picker = settings->findChild<QComboBox *>(QStringLiteral("languagePicker"));
    EXPECT_EQ(picker->currentText(), QStringLiteral("日本語"));
    picker->setCurrentIndex(picker->findData(rawValue(AppLanguage::simplifiedChinese)));
    EXPECT_EQ(model().appLanguage(), AppLanguage::simplifiedChinese);
    picker->setCurrentIndex(picker->findData(rawValue(AppLanguage::english)));
    EXPECT_EQ(sidebar.actions().duplicate->text(), QStringLiteral("Duplicate"));
}

TEST_F(SidebarTest, TheOnboardingReplacesTheSidebarUntilSetupIsComplete)
{
    SidebarRootView &sidebar = show({{QStringLiteral("TARNI_UITEST_SHOW_ONBOARDING"), QStringLiteral("1")},
                                     {QStringLiteral("TARNI_UITEST_SEED"), QStringLiteral("sample")}});
    OnboardingView *onboarding = sidebar.onboarding();
    ASSERT_TRUE(sidebar.isShowingOnboarding());
    // The hidden tree's shortcuts are off meanwhile; quitting still works.
    select(child(0));
    QTest::keyClick(&sidebar, Qt::Key_D, Qt::ControlModifier);
    EXPECT_EQ(titles(today().id()).count(QStringLiteral("Example")), 1);

    // The Chrome step names the folder Chrome is to load, as text to copy.
    onboarding->goToStep(1);
    QTest::mouseClick(onboarding->findChild<QPushButton *>(QStringLiteral("revealChromeExtension")), Qt::LeftButton);
    const auto revealed = model().dependencies().uiTestSupport->revealedURLs();
    ASSERT_EQ(revealed.size(), 1);
    const auto *status = onboarding->findChild<QLabel *>(QStringLiteral("onboardingStatus"));
    EXPECT_TRUE(status->text().contains(revealed.front().toLocalFile())) << status->text().toStdString();
    EXPECT_TRUE(status->textInteractionFlags() & Qt::TextSelectableByMouse);
    // Then each browser registered, with the steps of its own extensions page.
    const auto *browsers = onboarding->findChild<QLabel *>(QStringLiteral("onboardingBrowsers"));
    EXPECT_FALSE(browsers->isVisibleTo(onboarding));
    QTest::mouseClick(onboarding->findChild<QPushButton *>(QStringLiteral("installNativeHost")), Qt::LeftButton);
    EXPECT_TRUE(browsers->isVisibleTo(onboarding));
    EXPECT_EQ(browsers->text().split(QLatin1Char('\n')).mid(0, 2),
              (QStringList{QStringLiteral("Google Chrome"),
                           QStringLiteral("Registered at ") + root() + QStringLiteral("/NativeMessagingHosts/com.tarni.bar.chrome.json")}));
    EXPECT_TRUE(browsers->text().contains(QStringLiteral("open chrome://extensions"))) << browsers->text().toStdString();
    onboarding->goToStep(0);

    EXPECT_FALSE(onboarding->backButton()->isEnabled());
    for (int step = 1; step < onboarding->stepCount(); ++step) {
        EXPECT_FALSE(onboarding->completeButton()->isVisible());
        QTest::mouseClick(onboarding->nextButton(), Qt::LeftButton);
    }
    ASSERT_TRUE(onboarding->completeButton()->isVisible());
    QTest::mouseClick(onboarding->completeButton(), Qt::LeftButton);
    EXPECT_FALSE(model().showOnboarding());
    EXPECT_FALSE(sidebar.isShowingOnboarding());
    EXPECT_EQ(env->settings().value(QLatin1String(kOnboardingCompletedSettingsKey)).toString(), QStringLiteral("true"));

    sidebar.actions().reopenOnboarding->trigger();
    EXPECT_TRUE(sidebar.isShowingOnboarding());
    EXPECT_EQ(onboarding->currentStep(), 0);
}

TEST_F(SidebarTest, ALongCommandDisablesItsActionAndShowsProgressUntilItEnds)
{
    SidebarRootView &sidebar = show();
    AppActions &actions = sidebar.actions();
    int runs = 0;
    auto slow = [&runs]() -> QCoro::Task<> {
        ++runs;
        co_await QCoro::sleepFor(std::chrono::milliseconds(100));
    };
    actions.runLong(actions.captureTab, slow);
    actions.runLong(actions.captureTab, slow);
    QWidget *busy = sidebar.findChild<QWidget *>(QStringLiteral("busyIndicator"));
    EXPECT_EQ(runs, 1) << "a second start while the first runs";
    EXPECT_FALSE(actions.captureTab->isEnabled());
    EXPECT_TRUE(busy->isVisible());
    EXPECT_TRUE(spinUntil([&] { return actions.busyCount() == 0; }, 3000));
    EXPECT_TRUE(actions.captureTab->isEnabled());
    EXPECT_FALSE(busy->isVisible());
}

// After a quick export the status line offers to show the file; another
// status takes the offer away.
TEST_F(SidebarTest, AQuickExportOffersToShowItsFile)
{
    SidebarRootView &sidebar = show();
    auto *showButton = sidebar.findChild<QToolButton *>(QStringLiteral("showExportButton"));
    EXPECT_FALSE(showButton->isVisible());
    sidebar.actions().exportTree->trigger();
    ASSERT_TRUE(showButton->isVisible());
    ASSERT_TRUE(showButton->isEnabled());
    QTest::mouseClick(showButton, Qt::LeftButton);
    EXPECT_TRUE(spinUntil([&] { return !model().dependencies().uiTestSupport->revealedURLs().isEmpty(); }, 2000));
    EXPECT_EQ(model().dependencies().uiTestSupport->revealedURLs().value(0), QUrl::fromLocalFile(model().latestExportPath()));
    model().saveSnapshotOfWorkspace();
    EXPECT_FALSE(showButton->isVisible());
}

// At the limit of manual snapshots, saving one asks before the oldest goes.
TEST_F(SidebarTest, SavingASnapshotAtTheLimitAsksBeforeTheOldestGoes)
{
    SidebarRootView &sidebar = show();
    model().dependencies().settings->setValue(QLatin1String(kManualSnapshotLimitSettingsKey), 1);
    model().saveSnapshotOfWorkspace();
    const QList<WorkspaceSnapshot> before = model().snapshots();
    ASSERT_EQ(before.size(), 1);
    auto answer = [&](QMessageBox::ButtonRole role) {
        sidebar.actions().saveWorkspaceSnapshot->trigger();
        auto *box = find<QMessageBox>("confirmSnapshotLimit");
        ASSERT_TRUE(box);
        EXPECT_TRUE(box->text().contains(before.first().title)) << box->text().toStdString();
        for (QAbstractButton *button : box->buttons())
            if (box->buttonRole(button) == role)
                button->click();
    };
    answer(QMessageBox::RejectRole);
    ASSERT_EQ(model().snapshots().size(), 1);
    EXPECT_EQ(model().snapshots().first().id, before.first().id);
    answer(QMessageBox::DestructiveRole);
    const QList<WorkspaceSnapshot> after = model().snapshots();
    ASSERT_EQ(after.size(), 1);
    EXPECT_NE(after.first().id, before.first().id);
}

TEST_F(SidebarTest, AFailedWriteIsShownUntilAWriteSucceeds)
{
    SidebarRootView &sidebar = show();
    auto *banner = sidebar.findChild<QLabel *>(QStringLiteral("writeFailureBanner"));
    Q_EMIT model().treeViewModel().writeFailed(QStringLiteral("disk I/O error"));
    EXPECT_TRUE(banner->isVisible());
    EXPECT_EQ(banner->toolTip(), QStringLiteral("disk I/O error"));
    Q_EMIT model().treeViewModel().writeSucceeded();
    EXPECT_FALSE(banner->isVisible());
}

// The search: Down goes into the results, a query without matches says so
// in the tree's place, and the inspector and the keys follow what is shown.
TEST_F(SidebarTest, TheSearchLeadsIntoItsResultsAndHidesWhatItFiltersOut)
{
    SidebarRootView &sidebar = show();
    auto *empty = sidebar.inspector()->findChild<QLabel *>(QStringLiteral("inspector-empty"));
    const qsizetype count = model().treeViewModel().nodes().size();
    model().selectNodeWithoutOpening(std::nullopt);
    ASSERT_TRUE(model().treeViewModel().setCollapsed(today().id(), true));

    QTest::keyClick(&sidebar, Qt::Key_F, Qt::ControlModifier);
    QTest::keyClicks(sidebar.searchField(), QStringLiteral("example"));
    QTest::keyClick(sidebar.searchField(), Qt::Key_Down);
    EXPECT_TRUE(sidebar.outline()->hasFocus());
    EXPECT_EQ(model().selectionCoordinator().selectedNodeID(), child(0).id());
    EXPECT_FALSE(empty->isVisible());

    // A query that filters the selected node out: no inspector, no keys.
    sidebar.searchField()->setText(QStringLiteral("c456"));
    EXPECT_TRUE(empty->isVisible());
    sidebar.outline()->setFocus();
    QTest::keyClick(sidebar.outline(), Qt::Key_Delete);
    QTest::keyClick(sidebar.outline(), Qt::Key_D, Qt::ControlModifier);
    EXPECT_EQ(model().treeViewModel().nodes().size(), count);
    EXPECT_FALSE(find<QMessageBox>("confirmDelete"));

    sidebar.searchField()->setText(QStringLiteral("zz"));
    EXPECT_TRUE(sidebar.noMatchesLabel()->isVisible());
    EXPECT_FALSE(sidebar.outline()->isVisible());
    EXPECT_EQ(sidebar.noMatchesLabel()->text(), QStringLiteral("No nodes match “zz”."));
    model().setLanguage(AppLanguage::japanese);
    EXPECT_EQ(sidebar.noMatchesLabel()->text(), QStringLiteral("「zz」に一致するノードはありません。"));
    model().setLanguage(AppLanguage::english);

    // Esc ends the search with the chosen result shown in its group.
    sidebar.searchField()->setFocus();
    QTest::keyClick(sidebar.searchField(), Qt::Key_Escape);
    QCoreApplication::processEvents();
    EXPECT_TRUE(sidebar.outline()->isVisible());
    EXPECT_FALSE(model().treeViewModel().node(today().id())->isCollapsed());
    const auto rows = sidebar.outline()->selectionModel()->selectedRows();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(sidebar.outline()->itemModel()->nodeId(rows.front()), child(0).id());
}

// More matches than the outline shows: the first ones, and a line that
// says so until the query is narrow enough.
TEST_F(SidebarTest, ASearchWithMoreMatchesThanShownSaysSo)
{
    SidebarRootView &sidebar = show();
    const QUuid workspace = model().treeViewModel().workspace()->id;
    const Timestamp now = currentTimestamp();
    const auto limit = int(WorkspaceOutlineView::kSearchMatchLimit);
    NodeList many;
    for (int i = 0; i <= limit; ++i)
        many.append(WorkspaceNode(QUuid::createUuid(), workspace, std::nullopt, WorkspaceNodeKind::group,
                                  QStringLiteral("Many %1").arg(i), std::nullopt, i, false, std::nullopt, now, now,
                                  std::nullopt, NodePayload::group()));
    ASSERT_TRUE(model().treeViewModel().appendNodes(many, std::nullopt));

    sidebar.searchField()->setText(QStringLiteral("many"));
    EXPECT_EQ(sidebar.outline()->itemModel()->rowCount(), limit);
    EXPECT_TRUE(sidebar.moreMatchesLabel()->isVisible());
    EXPECT_EQ(sidebar.moreMatchesLabel()->text(),
              QStringLiteral("Showing the first 5,000 matches. Type more to narrow the search."));
    sidebar.searchField()->setText(QStringLiteral("many 4999"));
    EXPECT_FALSE(sidebar.moreMatchesLabel()->isVisible());
    EXPECT_EQ(sidebar.outline()->itemModel()->rowCount(), 1);
}

// A collapsed group selected, then Ctrl+L: the new link shows, so what
// Delete acts on next is what the user sees.
TEST_F(SidebarTest, AnAddedNodeIsShownSoDeleteActsOnWhatIsSeen)
{
    SidebarRootView &sidebar = show();
    select(today());
    ASSERT_TRUE(model().treeViewModel().setCollapsed(today().id(), true));
    QTest::keyClick(&sidebar, Qt::Key_L, Qt::ControlModifier);
    auto *entry = find<AddressEntryDialog>("");
    ASSERT_TRUE(entry);
    entry->field()->setText(QStringLiteral("https://qt.io/"));
    entry->accept();
    const QUuid added = *model().selectionCoordinator().selectedNodeID();
    EXPECT_FALSE(model().treeViewModel().node(today().id())->isCollapsed());
    EXPECT_EQ(sidebar.inspector()->titleField()->text(), QStringLiteral("qt.io"));
    const auto rows = sidebar.outline()->selectionModel()->selectedRows();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(sidebar.outline()->itemModel()->nodeId(rows.front()), added);
}

// The inspector is as tall as what it shows, never most of the sidebar,
// and the user can hide it for good.
TEST_F(SidebarTest, TheInspectorTakesOnlyTheRoomItNeedsAndCanBeHidden)
{
    SidebarRootView &sidebar = show();
    QScrollArea *area = sidebar.inspectorArea();
    for (const int height : {720, 2160}) {
        sidebar.resize(320, height);
        model().selectNodeWithoutOpening(std::nullopt);
        QCoreApplication::processEvents();
        EXPECT_LT(area->height(), 80) << height;
        EXPECT_GT(sidebar.outline()->height(), height / 2) << height;
        select(child(1));
        QCoreApplication::processEvents();
        EXPECT_LE(area->height(), height * 2 / 5) << height;
        if (height > 1000) { // room enough: all of it, no scrolling
            EXPECT_FALSE(area->verticalScrollBar()->isVisible());
        }
    }

    QTest::keyClick(&sidebar, Qt::Key_I, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_FALSE(area->isVisible());
    EXPECT_EQ(env->settings().value(QLatin1String(kShowInspectorSettingsKey)).toString(), QStringLiteral("false"));
    view = std::make_unique<SidebarRootView>(model());
    view->show();
    EXPECT_FALSE(view->inspectorArea()->isVisible()) << "remembered";
    EXPECT_FALSE(view->showInspectorAction()->isChecked());
    select(child(1));
    view->actions().rename->trigger();
    EXPECT_TRUE(view->inspectorArea()->isVisible()) << "renaming shows it again";

    // The click setting is one row of the settings.
    view->showSettings();
    view->settingsWindow()->singleClickBox()->click();
    EXPECT_FALSE(model().openWithSingleClick());
}

// Everything fits the narrowest sidebar in every language.
TEST_F(SidebarTest, TheSidebarFitsItsNarrowestWidthInEveryLanguage)
{
    SidebarRootView &sidebar = show();
    select(child(1));
    for (const AppLanguage language : {AppLanguage::english, AppLanguage::japanese, AppLanguage::simplifiedChinese}) {
        model().setLanguage(language);
        for (const int width : {300, 480}) {
            sidebar.resize(width, 760);
            QCoreApplication::processEvents();
            EXPECT_LE(sidebar.minimumSizeHint().width(), 300) << rawValue(language).toStdString();
            for (QToolButton *button : sidebar.findChildren<QToolButton *>()) {
                if (button->isVisible()) {
                    EXPECT_LE(button->mapTo(&sidebar, QPoint(button->width(), 0)).x(), width)
                        << rawValue(language).toStdString();
                }
            }
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    return runGuiTests(argc, argv);
}
