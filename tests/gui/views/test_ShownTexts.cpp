// Every text our windows and dialogs show, in each interface language, is
// one of that language's table entries (filled in where it has
// placeholders), and none is cut off. The fixture holds no user data but
// what only fills placeholders, so whatever else is shown is ours.

#include "GuiTestMain.h"
#include "../../core/app/AppTestSupport.h"

#include "app/LanguageManager.h"
#include "gui/AppActions.h"
#include "gui/SidebarRootView.h"
#include "gui/onboarding/OnboardingView.h"
#include "platform/session/DisplaySession.h"
#include "gui/snapshots/SnapshotBrowserWindow.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTextDocumentFragment>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

using namespace tarni;
using namespace tarni::test;

namespace {

// A table's texts: whole, or as patterns where they have placeholders.
class TableTexts {
public:
    explicit TableTexts(const QString &code)
    {
        static const QRegularExpression placeholder(QStringLiteral(R"(%(?:\d+|@|d|lld|s|\.\d+f))"));
        const auto file = std::filesystem::path(TARNI_SOURCE_DIR) / "resources" /
            ("Localization-" + code.toStdString() + ".json");
        for (const QString &text : LanguageManager::loadStrings(file)) {
            if (!text.contains(placeholder)) {
                m_whole.insert(text);
                continue;
            }
            QStringList parts;
            for (const QString &part : text.split(placeholder))
                parts << QRegularExpression::escape(part);
            m_patterns << QRegularExpression(QRegularExpression::anchoredPattern(parts.join(QStringLiteral(".+"))),
                                             QRegularExpression::DotMatchesEverythingOption);
        }
    }
    bool isEmpty() const { return m_whole.isEmpty(); }
    bool contains(const QString &text) const
    {
        if (m_whole.contains(text))
            return true;
        for (const QRegularExpression &pattern : m_patterns)
            if (pattern.match(text).hasMatch())
                return true;
        return false;
    }

private:
    QSet<QString> m_whole;
    QList<QRegularExpression> m_patterns;
};

// Languages are named in their own language in every language.
const QSet<QString> kOwnNames{QStringLiteral("日本語"), QStringLiteral("简体中文")};

// Addresses and paths (the data folder, a field's "https://" hint) are the
// same in every language.
bool isAddress(const QString &text)
{
    return text.startsWith(QLatin1Char('/')) || text.startsWith(QStringLiteral("~/")) ||
        text.contains(QStringLiteral("://"));
}

QString plain(const QString &text)
{
    return Qt::mightBeRichText(text) ? QTextDocumentFragment::fromHtml(text).toPlainText() : text;
}

class ShownTextsTest : public AppTest {
protected:
    void TearDown() override
    {
        for (QWidget *window : QApplication::topLevelWidgets())
            if (window != sidebar.get() && window->isVisible())
                window->close();
        sidebar.reset();
        AppTest::TearDown();
    }

    // Checks every text `window` shows now.
    void check(QWidget *window, const TableTexts &table, const char *what)
    {
        ASSERT_TRUE(window) << what;
        SCOPED_TRACE(what);
        QCoreApplication::processEvents();
        // Times are written as the interface language writes them.
        const QLocale locale = env->appModel().interfaceLocale();
        auto isDate = [&](const QString &text) { return locale.toDateTime(text, QLocale::ShortFormat).isValid(); };
        auto expectKnown = [&](const QString &text, const char *kind, const QObject *owner) {
            const QString shown = plain(text).trimmed();
            if (!shown.contains(QRegularExpression(QStringLiteral("\\p{L}"))) || isAddress(shown))
                return;
            EXPECT_TRUE(table.contains(shown) || kOwnNames.contains(shown) || isDate(shown))
                << kind << " \"" << shown.toStdString() << "\" of " << owner->metaObject()->className() << " "
                << owner->objectName().toStdString() << " is in no table";
            ++m_checked;
        };
        if (window->isWindow() && !window->windowTitle().isEmpty()) {
            expectKnown(window->windowTitle(), "title", window);
            // Window managers cut a title that is wider than the window.
            EXPECT_GE(window->width(), window->fontMetrics().horizontalAdvance(window->windowTitle()) + 100)
                << "title \"" << window->windowTitle().toStdString() << "\" is cut";
        }
        QList<QWidget *> widgets = window->findChildren<QWidget *>();
        for (QWidget *widget : std::as_const(widgets)) {
            if (!widget->isVisibleTo(window))
                continue;
            if (auto *label = qobject_cast<QLabel *>(widget)) {
                expectKnown(label->text(), "label", label);
                const QString text = plain(label->text());
                if (!label->wordWrap() && !text.isEmpty() &&
                    label->sizePolicy().horizontalPolicy() != QSizePolicy::Ignored) {
                    for (const QString &line : text.split(QLatin1Char('\n')))
                        EXPECT_LE(label->fontMetrics().horizontalAdvance(line), label->contentsRect().width())
                            << "label \"" << line.toStdString() << "\" is cut";
                }
            } else if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
                expectKnown(button->text(), "button", button);
                if (!button->text().isEmpty() && !qobject_cast<QToolButton *>(button)) {
                    EXPECT_GE(button->width(), button->minimumSizeHint().width())
                        << "button \"" << button->text().toStdString() << "\" is cut";
                }
            } else if (auto *field = qobject_cast<QLineEdit *>(widget)) {
                expectKnown(field->placeholderText(), "placeholder", field);
            } else if (auto *combo = qobject_cast<QComboBox *>(widget)) {
                for (int i = 0; i < combo->count(); ++i)
                    expectKnown(combo->itemText(i), "choice", combo);
            } else if (auto *tree = qobject_cast<QTreeWidget *>(widget)) {
                for (int i = 0; i < tree->columnCount(); ++i)
                    expectKnown(tree->headerItem()->text(i), "column", tree);
            }
            if (auto *group = qobject_cast<QGroupBox *>(widget))
                expectKnown(group->title(), "section", group);
        }
        for (QMenu *menu : window->findChildren<QMenu *>()) {
            for (QAction *action : menu->actions())
                if (action->isVisible() && !action->isSeparator())
                    expectKnown(action->text(), "menu item", menu);
        }
    }

    // Checks the modal dialog that `open` shows, then closes it.
    void checkModal(const std::function<void()> &open, const TableTexts &table, const char *what)
    {
        bool seen = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal || !modal->isVisible())
                return;
            seen = true;
            check(modal, table, what);
            if (auto *dialog = qobject_cast<QDialog *>(modal))
                dialog->reject();
        });
        poll.start(20);
        open();
        EXPECT_TRUE(seen) << what << " did not show";
    }

    static QWidget *topLevel(const char *name)
    {
        for (QWidget *window : QApplication::topLevelWidgets())
            if (window->objectName() == QLatin1String(name) && window->isVisible())
                return window;
        return nullptr;
    }

    std::unique_ptr<SidebarRootView> sidebar;
    int m_checked = 0;
};

TEST_F(ShownTextsTest, EveryWindowShowsOnlyTextsOfTheInterfaceLanguage)
{
    // A Wayland desktop shows the most placement notes.
    setCurrentDisplaySession(DisplaySession::waylandWithXStruts);
    qputenv("XDG_CURRENT_DESKTOP", "GNOME");
    AppModel &model = start();
    sidebar = std::make_unique<SidebarRootView>(model);
    sidebar->resize(300, 760);
    sidebar->show();
    AppActions &actions = sidebar->actions();
    // A group with a child, so that deleting it asks, and a snapshot.
    model.addGroup();
    model.addGroup();
    model.selectNodeWithoutOpening(model.treeViewModel().nodes().front().id());
    model.saveSnapshotOfWorkspace();
    model.exportSelectedSubtree();
    model.addGroup();
    model.deleteSelectedNode();

    for (const AppLanguage language : {AppLanguage::english, AppLanguage::japanese, AppLanguage::simplifiedChinese}) {
        model.setLanguage(language);
        const TableTexts table(model.dependencies().languageManager->resolvedCode());
        ASSERT_FALSE(table.isEmpty());
        SCOPED_TRACE(rawValue(language).toStdString());

        check(sidebar.get(), table, "sidebar");
        model.reopenOnboarding();
        ASSERT_TRUE(sidebar->isShowingOnboarding());
        for (int step = 0; step < sidebar->onboarding()->stepCount(); ++step) {
            sidebar->onboarding()->goToStep(step);
            check(sidebar.get(), table, "onboarding");
        }
        model.completeOnboarding();
        sidebar->showSettings();
        check(sidebar->settingsWindow(), table, "settings");
        sidebar->settingsWindow()->close();
        actions.showTrash->trigger();
        QWidget *trash = topLevel("trashWindow");
        check(trash, table, "trash");
        if (trash) {
            // The deleted node's time, as the interface language writes it.
            const QString deleted = trash->findChild<QTreeWidget *>()->topLevelItem(0)->text(1);
            EXPECT_TRUE(model.interfaceLocale().toDateTime(deleted, QLocale::ShortFormat).isValid())
                << deleted.toStdString();
            trash->close();
        }
        actions.showSyncConflicts->trigger();
        QWidget *conflicts = topLevel("syncConflictsWindow");
        check(conflicts, table, "sync conflicts");
        if (conflicts)
            conflicts->close();
        for (QAction *add : {actions.addWebLink, actions.addSlackThread}) {
            add->trigger();
            check(QApplication::activeModalWidget(), table, "address entry");
            if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
                dialog->reject();
        }
        model.selectNodeWithoutOpening(model.treeViewModel().nodes().front().id());
        actions.remove->trigger();
        check(QApplication::activeModalWidget(), table, "delete confirmation");
        if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
            dialog->reject();

        sidebar->showSnapshotBrowser();
        SnapshotBrowserWindow *browser = sidebar->snapshotBrowser();
        check(browser, table, "snapshot browser");
        for (const char *button : {"renameSnapshot", "deleteSnapshot"})
            checkModal([&] { browser->findChild<QPushButton *>(QLatin1String(button))->click(); }, table, button);
        browser->close();
    }
    EXPECT_GT(m_checked, 300);
    setCurrentDisplaySession(DisplaySession::x11);
}

} // namespace

int main(int argc, char **argv)
{
    return runGuiTests(argc, argv);
}
