// The settings and the other windows we open on short screens, offscreen:
// two screens of 1280x720 and 800x500 logical pixels (1600x1000 at scale 2).

#include "AppTestSupport.h"

#include "gui/AppActions.h"
#include "gui/WindowScreenFit.h"
#include "gui/settings/SettingsWindow.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QWheelEvent>
#include <QTemporaryFile>
#include <QTest>

using namespace tarni;
using namespace tarni::test;

QT_BEGIN_NAMESPACE
inline void PrintTo(const QSize &size, std::ostream *out) { *out << size.width() << "x" << size.height(); }
QT_END_NAMESPACE

namespace {

QScreen *screenSized(int width, int height)
{
    for (QScreen *screen : QGuiApplication::screens()) {
        if (screen->geometry().size() == QSize(width, height))
            return screen;
    }
    return nullptr;
}

class SettingsWindowTest : public AppTest, public testing::WithParamInterface<QSize> {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        AppModel &model = start();
        m_screen = screenSized(GetParam().width(), GetParam().height());
        ASSERT_TRUE(m_screen) << "the offscreen platform did not take the screen configuration";
        m_host.setGeometry(QRect(m_screen->geometry().topLeft(), QSize(10, 10)));
        m_actions = std::make_unique<AppActions>(model, &m_host);
    }
    void TearDown() override
    {
        m_actions.reset();
        AppTest::TearDown();
    }

    // Shown where a window manager would put a new window: near the top left.
    void showOn(QWidget &window)
    {
        window.setScreen(m_screen);
        window.move(m_screen->geometry().topLeft() + QPoint(40, 60));
        window.show();
        QApplication::processEvents();
    }

    QScreen *m_screen = nullptr;
    QWidget m_host;
    std::unique_ptr<AppActions> m_actions;
};

TEST_P(SettingsWindowTest, FitsTheScreenAndKeepsCloseInReach)
{
    SettingsWindow settings(env->appModel(), *m_actions);
    showOn(settings);
    const QRect available = m_screen->availableGeometry();
    EXPECT_TRUE(available.contains(settings.frameGeometry())) << settings.frameGeometry().height() << " tall";

    auto *close = settings.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Close);
    ASSERT_TRUE(close);
    EXPECT_TRUE(close->isVisible());
    const QRect closeRect(close->mapTo(&settings, QPoint(0, 0)), close->size());
    EXPECT_TRUE(settings.rect().contains(closeRect));

    // Every section can be scrolled to, the last one included.
    auto *scroll = settings.findChild<QScrollArea *>(QStringLiteral("settingsScroll"));
    ASSERT_TRUE(scroll);
    const QList<QGroupBox *> sections = scroll->widget()->findChildren<QGroupBox *>();
    ASSERT_FALSE(sections.isEmpty());
    QGroupBox *last = sections.last();
    scroll->ensureWidgetVisible(last, 0, 0);
    const QRect lastRect(last->mapTo(scroll->viewport(), QPoint(0, 0)), last->size());
    EXPECT_TRUE(scroll->viewport()->rect().contains(lastRect.bottomLeft()))
        << "last section at " << lastRect.x() << "," << lastRect.bottom() << " in " << scroll->viewport()->width() << "x"
        << scroll->viewport()->height();

    // The wheel over a spin box on the way scrolls the sections instead of
    // changing the setting.
    auto *days = settings.findChild<QSpinBox *>(QStringLiteral("trashRetentionDays"));
    ASSERT_TRUE(days);
    const int daysBefore = days->value();
    const int scrolled = scroll->verticalScrollBar()->value();
    QWheelEvent wheel(QPointF(5, 5), days->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(days, &wheel);
    EXPECT_EQ(days->value(), daysBefore);
    EXPECT_LT(scroll->verticalScrollBar()->value(), scrolled);

    close->click();
    EXPECT_FALSE(settings.isVisible());
}

// Windows with a size of their own (the snapshot browser is 900x520) are
// made to fit as they are shown, and moved in when they stick out.
TEST_P(SettingsWindowTest, AWindowLargerThanTheScreenIsMadeToFit)
{
    keepWindowsOnScreen(*QCoreApplication::instance());
    QWidget large(nullptr, Qt::Window);
    large.resize(900, 800);
    showOn(large);
    EXPECT_TRUE(m_screen->availableGeometry().contains(large.frameGeometry())) << large.width() << "x" << large.height();

    QWidget placed(nullptr, Qt::Window);
    placed.setProperty(kPlacesItselfProperty, true);
    placed.resize(900, 800);
    showOn(placed);
    EXPECT_EQ(placed.size(), QSize(900, 800));
}

INSTANTIATE_TEST_SUITE_P(Screens, SettingsWindowTest, testing::Values(QSize(1280, 720), QSize(800, 500)),
                         [](const testing::TestParamInfo<QSize> &info) {
                             return QStringLiteral("Screen%1x%2").arg(info.param.width()).arg(info.param.height()).toStdString();
                         });

} // namespace

int main(int argc, char **argv)
{
    // Two screens side by side, each with its available area all of it.
    QTemporaryFile config;
    if (!config.open())
        return 1;
    config.write(R"({"screens": [{"name": "laptop", "x": 0, "y": 0, "width": 1280, "height": 720},
                                 {"name": "scaled", "x": 1280, "y": 0, "width": 800, "height": 500}]})");
    config.flush();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.fileName().toLocal8Bit());
    qputenv("LANGUAGE", "en");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
