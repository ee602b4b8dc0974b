// The Sync section's offer to share the folder through the user's
// Syncthing, against a real Syncthing the test starts in a network of its
// own: offered while the folder is not shared, asking first, then shown as
// shared; the steps by hand once Syncthing is gone.

#include "AppTestSupport.h"
#include "PrivateNetwork.h"
#include "SyncthingInstance.h"
#include "TaskSupport.h"

#include "gui/AppActions.h"
#include "gui/settings/SyncSettingsView.h"
#include "platform/syncthing/SyncthingLink.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>

using namespace tarni;
using namespace tarni::test;

namespace {

class SyncthingOfferTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        QString error;
        m_syncthing = SyncthingInstance::create(dir.filePath(QStringLiteral("syncthing")), QStringLiteral("test"), &error);
        ASSERT_TRUE(m_syncthing) << error.toStdString();
        ASSERT_TRUE(m_syncthing->configure({}, {}, &error)) << error.toStdString();
        ASSERT_TRUE(m_syncthing->start(&error)) << error.toStdString();
        SyncthingLink::Options options;
        options.home = m_syncthing->home();
        m_link = std::make_unique<SyncthingLink>(options);
        AppModel &model = start();
        m_actions = std::make_unique<AppActions>(model, &m_host);
        m_view = std::make_unique<SyncSettingsView>(model, *m_actions);
        m_view->setSyncthingLink(m_link.get());
        m_view->folderField()->setText(dir.filePath(QStringLiteral("Sync/TarniBar")));
    }
    void TearDown() override
    {
        m_view.reset();
        m_actions.reset();
        AppTest::TearDown();
    }

    // Looks again and waits for the outcome.
    void check()
    {
        QSignalSpy checked(m_view.get(), &SyncSettingsView::syncthingChecked);
        m_view->checkSyncthing();
        ASSERT_TRUE(checked.wait(15000));
    }
    bool shown(const char *name) const
    {
        auto *widget = m_view->findChild<QWidget *>(QLatin1String(name));
        return widget && widget->isVisibleTo(m_view.get());
    }

    std::unique_ptr<SyncthingInstance> m_syncthing;
    std::unique_ptr<SyncthingLink> m_link;
    QWidget m_host;
    std::unique_ptr<AppActions> m_actions;
    std::unique_ptr<SyncSettingsView> m_view;
};

TEST_F(SyncthingOfferTest, OffersTheFolderAsksFirstAndThenShowsItShared)
{
    check();
    auto *share = m_view->findChild<QPushButton *>(QStringLiteral("shareWithSyncthing"));
    ASSERT_TRUE(share->isVisibleTo(m_view.get())) << m_view->findChild<QLabel *>(QStringLiteral("syncthingText"))->text().toStdString();
    EXPECT_FALSE(shown("syncthingSteps"));

    // Asks first; Cancel adds nothing.
    auto answer = [&](const QString &button) {
        QString asked;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            asked = box->objectName();
            for (QAbstractButton *choice : box->buttons())
                if (choice->text() == button)
                    choice->click();
        });
        poll.start(20);
        share->click();
        return asked;
    };
    EXPECT_EQ(answer(QStringLiteral("Cancel")), QStringLiteral("confirmSyncthing"));
    auto folders = runTask(m_link->folders());
    ASSERT_TRUE(folders);
    EXPECT_TRUE(folders->isEmpty());

    QSignalSpy checked(m_view.get(), &SyncSettingsView::syncthingChecked);
    EXPECT_EQ(answer(QStringLiteral("Add to Syncthing")), QStringLiteral("confirmSyncthing"));
    ASSERT_TRUE(checked.wait(15000));
    folders = runTask(m_link->folders());
    ASSERT_TRUE(folders);
    ASSERT_EQ(folders->size(), 1);
    EXPECT_EQ(folders->first().path, dir.filePath(QStringLiteral("Sync/TarniBar")));
    EXPECT_FALSE(share->isVisibleTo(m_view.get()));
    EXPECT_TRUE(shown("syncthingReminder"));
    EXPECT_TRUE(m_view->findChild<QLabel *>(QStringLiteral("syncthingResult"))->text().contains(QLatin1String("TarniBar")));

    // A folder inside it is carried already: nothing is offered.
    m_view->folderField()->setText(dir.filePath(QStringLiteral("Sync/TarniBar/Inner")));
    check();
    EXPECT_FALSE(share->isVisibleTo(m_view.get()));
    EXPECT_TRUE(shown("syncthingReminder"));

    // Gone: the three steps by hand.
    m_syncthing->stop();
    check();
    EXPECT_FALSE(share->isVisibleTo(m_view.get()));
    EXPECT_TRUE(shown("syncthingSteps"));
}

} // namespace

int main(int argc, char **argv)
{
    std::string error;
    const bool entered = enterPrivateNetwork(&error);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("LANGUAGE", "en");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    if (!entered && !GTEST_FLAG_GET(list_tests)) {
        std::fprintf(stderr, "FAILED: no private network for the test: %s\n", error.c_str());
        return 1;
    }
    return RUN_ALL_TESTS();
}
