#include "gui/onboarding/OnboardingView.h"

#include "app/AppModel.h"
#include "util/Localized.h"
#include "gui/AppActions.h"
#include "gui/GuiSupport.h"
#include "gui/settings/LanguagePicker.h"
#include "gui/settings/PermissionStatusView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace tarni {

OnboardingView::OnboardingView(AppModel &model, AppActions &actions, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_actions(actions)
{
    setObjectName(QStringLiteral("onboarding"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(8);

    m_progress = new QLabel(this);
    m_progress->setForegroundRole(QPalette::PlaceholderText);
    layout->addWidget(m_progress);

    m_steps = new QStackedWidget(this);
    // The texts are long in every language; a short screen scrolls them.
    auto *scroll = new QScrollArea(this);
    scroll->setWidget(m_steps);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    layout->addWidget(scroll, 1);

    addStep(textKey("Welcome to Tarni Bar"),
            textKey("Tarni Bar keeps your working context — Chrome tabs, web links, Slack threads, files and folders — in one tree at the edge of your screen. A few steps set it up."));

    QWidget *chrome = addStep(textKey("Connect Chrome"),
                              textKey("The Chrome extension lets Tarni Bar capture and restore your tabs. It talks to Tarni Bar through a small helper that Chrome starts."));
    m_installHost = new QPushButton(chrome);
    m_installHost->setObjectName(QStringLiteral("installNativeHost"));
    connect(m_installHost, &QPushButton::clicked, this, [this] {
        m_showGeneralStatus = true;
        m_model.installNativeHostManifest();
    });
    m_revealExtension = new QPushButton(chrome);
    m_revealExtension->setObjectName(QStringLiteral("revealChromeExtension"));
    connect(m_revealExtension, &QPushButton::clicked, this, [this] {
        m_showGeneralStatus = true;
        m_actions.runLong(nullptr, [this] { return m_model.revealBundledChromeExtension(); });
    });
    chrome->layout()->addWidget(m_installHost);
    chrome->layout()->addWidget(m_revealExtension);
    addText(chrome, textKey("Then, in Chrome:\n1. Open chrome://extensions.\n2. Turn on Developer mode.\n3. Choose Load unpacked and pick the extension folder that was just shown."));
    // Selectable: the Flatpak permission command is meant to be copied.
    m_browsers = new QLabel(chrome);
    m_browsers->setObjectName(QStringLiteral("onboardingBrowsers"));
    m_browsers->setWordWrap(true);
    m_browsers->setTextFormat(Qt::PlainText);
    m_browsers->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    chrome->layout()->addWidget(m_browsers);
    connect(&m_model, &AppModel::browserRegistrationsChanged, this, &OnboardingView::showBrowsers);
    m_status = new QLabel(chrome);
    m_status->setObjectName(QStringLiteral("onboardingStatus"));
    m_status->setWordWrap(true);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_status->setForegroundRole(QPalette::PlaceholderText);
    chrome->layout()->addWidget(m_status);

    QWidget *placement = addStep(textKey("Window Placement"),
                                 textKey("Tarni Bar places the files and folders you open beside the sidebar and puts them back when it closes."));
    placement->layout()->addWidget(new PermissionStatusView(m_model, m_actions, placement));

    QWidget *language = addStep(textKey("Language"), textKey("Choose the language of Tarni Bar. You can change it later in Settings."));
    language->layout()->addWidget(new LanguagePicker(m_model, language));

    for (int i = 0; i < m_steps->count(); ++i)
        static_cast<QVBoxLayout *>(m_steps->widget(i)->layout())->addStretch(1);

    auto *navigation = new QHBoxLayout;
    m_back = new QPushButton(this);
    m_next = new QPushButton(this);
    m_complete = new QPushButton(this);
    m_complete->setObjectName(QStringLiteral("completeSetup"));
    m_next->setDefault(true);
    navigation->addWidget(m_back);
    navigation->addStretch(1);
    navigation->addWidget(m_next);
    navigation->addWidget(m_complete);
    layout->addLayout(navigation);
    connect(m_back, &QPushButton::clicked, this, [this] { goToStep(currentStep() - 1); });
    connect(m_next, &QPushButton::clicked, this, [this] { goToStep(currentStep() + 1); });
    connect(m_complete, &QPushButton::clicked, this, [this] { m_model.completeOnboarding(); });
    // A reopened guide starts from the beginning.
    connect(&m_model, &AppModel::showOnboardingChanged, this, [this] {
        if (m_model.showOnboarding())
            goToStep(0);
    });
    auto showStatus = [this] {
        QStringList lines{m_model.chromeConnectionSummary()};
        if (m_showGeneralStatus)
            lines << m_model.latestImportStatus();
        m_status->setText(lines.join(QLatin1Char('\n')).trimmed());
    };
    connect(&m_model, &AppModel::chromeConnectionSummaryChanged, this, showStatus);
    connect(&m_model, &AppModel::latestImportStatusChanged, this, showStatus);
    showStatus();

    relabel();
    updateNavigation();
    onLanguageChange(m_model, this, [this] { relabel(); });
}

QWidget *OnboardingView::addStep(const char *titleKey, const char *bodyKey)
{
    auto *step = new QWidget(m_steps);
    auto *column = new QVBoxLayout(step);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    QLabel *title = addText(step, titleKey);
    QFont font = title->font();
    font.setPointSizeF(font.pointSizeF() * 1.3);
    font.setBold(true);
    title->setFont(font);
    addText(step, bodyKey);
    m_steps->addWidget(step);
    return step;
}

QLabel *OnboardingView::addText(QWidget *step, const char *key)
{
    auto *label = new QLabel(step);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    step->layout()->addWidget(label);
    m_texts.append({label, key});
    return label;
}

void OnboardingView::relabel()
{
    for (const Text &text : std::as_const(m_texts))
        text.label->setText(localized(QString::fromUtf8(text.key)));
    m_installHost->setText(localized("Install Native Host Manifest"));
    m_revealExtension->setText(localized("Reveal Chrome Extension"));
    m_back->setText(localized("Back"));
    m_next->setText(localized("Next"));
    m_complete->setText(localized("Complete Setup"));
    showBrowsers();
    updateNavigation();
}

void OnboardingView::showBrowsers()
{
    QStringList blocks;
    for (const BrowserRegistration &r : m_model.browserRegistrations()) {
        const QString name = QString::fromUtf8(r.browser->displayName);
        QStringList lines;
        switch (r.packaging) {
        case BrowserPackaging::native:
            // The automation's manifest belongs to no browser found.
            lines << (r.foundAt.isEmpty() ? name : formatted(localized("%@: found at %@"), {name, r.foundAt}));
            break;
        case BrowserPackaging::flatpak:
            lines << formatted(localized("%@ (Flatpak): found at %@"), {name, r.foundAt});
            break;
        case BrowserPackaging::snap:
            lines << formatted(localized("%@ (Snap): found at %@"), {name, r.foundAt});
            break;
        }
        if (r.error) {
            lines << formatted(localized("Not registered: %@"), {localized(r.error->description())});
            blocks << lines.join(QLatin1Char('\n'));
            continue;
        }
        lines << formatted(localized("Registered at %@"), {r.manifestPath});
        if (r.packaging == BrowserPackaging::flatpak)
            lines << localized("It can start the helper outside its sandbox once you allow it with this command:")
                  << r.permissionCommand;
        else if (r.packaging == BrowserPackaging::snap)
            lines << localized("Firefox from Snap asks for the helper through the desktop's WebExtensions portal: it needs xdg-desktop-portal 1.17 or newer with native messaging support. If the extension cannot connect, update xdg-desktop-portal, restart Firefox and allow the request it shows.");
        const QString page = QString::fromUtf8(r.browser->extensionsPage);
        lines << (r.browser->family == BrowserFamily::chromium
                      ? formatted(localized("To load the extension: open %@, turn on Developer mode, choose Load unpacked and pick the extension folder."), {page})
                      : formatted(localized("To load the extension until the browser quits: open %@, choose Load Temporary Add-on and pick manifest.json in the FirefoxExtension folder, beside the Chrome extension's folder. To keep it, install the signed copy of the extension."), {page}));
        blocks << lines.join(QLatin1Char('\n'));
    }
    m_browsers->setText(blocks.join(QStringLiteral("\n\n")));
    m_browsers->setVisible(!blocks.isEmpty());
}

int OnboardingView::stepCount() const
{
    return m_steps->count();
}

int OnboardingView::currentStep() const
{
    return m_steps->currentIndex();
}

void OnboardingView::goToStep(int step)
{
    m_steps->setCurrentIndex(std::clamp(step, 0, stepCount() - 1));
    updateNavigation();
}

void OnboardingView::updateNavigation()
{
    const int step = currentStep();
    const bool last = step == stepCount() - 1;
    m_progress->setText(formatted(localized("Step %d of %d"), {QString::number(step + 1), QString::number(stepCount())}));
    m_back->setEnabled(step > 0);
    m_next->setVisible(!last);
    m_complete->setVisible(last);
    m_complete->setDefault(last);
    m_next->setDefault(!last);
}

} // namespace tarni
