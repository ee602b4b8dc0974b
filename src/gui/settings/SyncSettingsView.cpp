#include "gui/settings/SyncSettingsView.h"

#include "app/AppModel.h"
#include "app/SyncCoordinator.h"
#include "gui/AppActions.h"
#include "gui/GuiSupport.h"
#include "platform/syncthing/SyncthingLink.h"
#include "sync/ChangeFile.h"
#include "sync/SharedFolder.h"
#include "sync/SyncFolder.h"
#include "util/Localized.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSysInfo>
#include <QVBoxLayout>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace tarni {

namespace fs = std::filesystem;

namespace {

QLabel *textLine(QWidget *parent, const QString &text = {})
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

// "~" and "~/…" as the home folder; the rest made absolute and clean.
QString expandedFolder(const QString &typed)
{
    QString path = typed.trimmed();
    if (path == QLatin1String("~"))
        path = QDir::homePath();
    else if (path.startsWith(QLatin1String("~/")))
        path = QDir::homePath() + path.mid(1);
    return path.isEmpty() ? path : QDir::cleanPath(path);
}

// The folder Syncthing shares that holds `path` or is it, if any. Its paths
// are as Syncthing keeps them: "~" is Syncthing's home, `tilde`.
std::optional<SyncthingFolder> sharingFolder(const QList<SyncthingFolder> &folders, const QString &path,
                                             const QString &tilde)
{
    auto comparable = [](const QString &given) {
        const QString canonical = QFileInfo(given).canonicalFilePath();
        return QDir::cleanPath(canonical.isEmpty() ? given : canonical);
    };
    auto expanded = [&](const QString &given) {
        if (given == QLatin1String("~"))
            return tilde;
        return given.startsWith(QLatin1String("~/")) ? tilde + given.mid(1) : given;
    };
    const QString mine = comparable(path);
    for (const SyncthingFolder &folder : folders) {
        const QString theirs = comparable(expanded(folder.path));
        if (mine == theirs || mine.startsWith(theirs.endsWith(QLatin1Char('/')) ? theirs : theirs + QLatin1Char('/')))
            return folder;
    }
    return std::nullopt;
}

// One Syncthing link for the whole application: its tasks may outlive the
// window that started them.
SyncthingLink &syncthingLink()
{
    static QPointer<SyncthingLink> link;
    if (!link)
        link = new SyncthingLink(SyncthingLink::Options{}, QCoreApplication::instance());
    return *link;
}

} // namespace

SyncSettingsView::SyncSettingsView(AppModel &model, AppActions &actions, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_actions(actions)
    , m_syncthing(&syncthingLink())
{
    setObjectName(QStringLiteral("syncSettings"));
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    // Off.
    auto *off = m_off = new QWidget(this);
    off->setObjectName(QStringLiteral("syncOff"));
    auto *offColumn = new QVBoxLayout(off);
    offColumn->setContentsMargins(0, 0, 0, 0);
    m_explanation = textLine(off);
    offColumn->addWidget(m_explanation);
    auto *form = new QFormLayout;
    form->setRowWrapPolicy(QFormLayout::WrapLongRows);
    m_folder = new QLineEdit(off);
    m_folder->setObjectName(QStringLiteral("syncFolder"));
    m_choose = new QPushButton(off);
    m_choose->setObjectName(QStringLiteral("chooseSyncFolder"));
    auto *folderRow = new QHBoxLayout;
    folderRow->addWidget(m_folder, 1);
    folderRow->addWidget(m_choose);
    m_folderLabel = new QLabel(off);
    m_folderLabel->setBuddy(m_folder);
    form->addRow(m_folderLabel, folderRow);
    m_device = new QLineEdit(off);
    m_device->setObjectName(QStringLiteral("syncDeviceName"));
    m_device->setMaxLength(int(sync::kMaxDeviceNameBytes) / 4);
    m_deviceLabel = new QLabel(off);
    m_deviceLabel->setBuddy(m_device);
    form->addRow(m_deviceLabel, m_device);
    offColumn->addLayout(form);
    m_turnOn = new QPushButton(off);
    m_turnOn->setObjectName(QStringLiteral("turnOnSync"));
    offColumn->addWidget(m_turnOn, 0, Qt::AlignLeft);
    column->addWidget(off);

    // On.
    auto *on = m_on = new QWidget(this);
    on->setObjectName(QStringLiteral("syncOn"));
    auto *onColumn = new QVBoxLayout(on);
    onColumn->setContentsMargins(0, 0, 0, 0);
    m_statusLines = new QVBoxLayout;
    m_statusLines->setSpacing(2);
    onColumn->addLayout(m_statusLines);
    m_note = textLine(on);
    m_note->setObjectName(QStringLiteral("syncNote"));
    m_note->hide();
    onColumn->addWidget(m_note);
    auto *onButtons = new QHBoxLayout;
    m_showConflicts = new QPushButton(on);
    m_showConflicts->setObjectName(QStringLiteral("showSyncConflicts"));
    m_syncNow = new QPushButton(on);
    m_syncNow->setObjectName(QStringLiteral("syncNow"));
    m_turnOff = new QPushButton(on);
    m_turnOff->setObjectName(QStringLiteral("turnOffSync"));
    onButtons->addWidget(m_syncNow);
    onButtons->addWidget(m_showConflicts);
    onButtons->addStretch(1);
    onButtons->addWidget(m_turnOff);
    onColumn->addLayout(onButtons);
    column->addWidget(on);

    // Syncthing, under either: one label a line, each a text of its own.
    m_syncthingProblem = textLine(this);
    m_syncthingProblem->setObjectName(QStringLiteral("syncthingProblem"));
    m_syncthingText = textLine(this);
    m_syncthingText->setObjectName(QStringLiteral("syncthingText"));
    m_steps = new QWidget(this);
    m_steps->setObjectName(QStringLiteral("syncthingSteps"));
    auto *steps = new QVBoxLayout(m_steps);
    steps->setContentsMargins(12, 0, 0, 0);
    steps->setSpacing(2);
    for (QLabel *&step : m_stepLines) {
        step = textLine(m_steps);
        steps->addWidget(step);
    }
    m_share = new QPushButton(this);
    m_share->setObjectName(QStringLiteral("shareWithSyncthing"));
    m_syncthingResult = textLine(this);
    m_syncthingResult->setObjectName(QStringLiteral("syncthingResult"));
    m_syncthingReminder = textLine(this);
    m_syncthingReminder->setObjectName(QStringLiteral("syncthingReminder"));
    for (QWidget *widget : std::initializer_list<QWidget *>{m_syncthingProblem, m_syncthingText, m_steps, m_share,
                                                            m_syncthingResult, m_syncthingReminder})
        column->addWidget(widget, 0, widget == m_share ? Qt::AlignLeft : Qt::Alignment());

    QWidget *const order[] = {m_folder, m_choose, m_device, m_turnOn, m_syncNow, m_showConflicts, m_turnOff, m_share};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(m_choose, &QPushButton::clicked, this, &SyncSettingsView::chooseFolder);
    connect(m_turnOn, &QPushButton::clicked, this, &SyncSettingsView::turnOn);
    connect(m_folder, &QLineEdit::returnPressed, this, &SyncSettingsView::turnOn);
    connect(m_device, &QLineEdit::returnPressed, this, &SyncSettingsView::turnOn);
    connect(m_folder, &QLineEdit::editingFinished, this, &SyncSettingsView::checkSyncthing);
    connect(m_turnOff, &QPushButton::clicked, this, &SyncSettingsView::turnOff);
    connect(m_syncNow, &QPushButton::clicked, this, &SyncSettingsView::syncNow);
    connect(m_showConflicts, &QPushButton::clicked, m_actions.showSyncConflicts, &QAction::trigger);
    connect(m_share, &QPushButton::clicked, this, &SyncSettingsView::shareWithSyncthing);
    connect(&m_actions, &AppActions::syncConflictsChanged, this, &SyncSettingsView::refresh);

    // The folder and name of the last time sync was on, else the defaults.
    std::optional<sync::SyncSetup> earlier;
    if (SyncCoordinator *coordinator = sync()) {
        connect(coordinator, &SyncCoordinator::statusChanged, this, &SyncSettingsView::refresh);
        if (auto status = coordinator->status())
            earlier = status->setup;
    }
    m_folder->setText(earlier ? QDir::toNativeSeparators(QString::fromStdString(earlier->folder.string()))
                              : defaultFolder());
    QString device = earlier ? earlier->deviceName : QSysInfo::machineHostName();
    m_device->setText(device.isEmpty() ? QStringLiteral("TarniBar") : device);

    relabel();
    refresh();
    onLanguageChange(m_model, this, [this] {
        relabel();
        refresh();
    });
}

QString SyncSettingsView::defaultFolder()
{
    return QDir::home().filePath(QStringLiteral("Sync/TarniBar"));
}

SyncCoordinator *SyncSettingsView::sync() const
{
    return m_model.sync();
}

void SyncSettingsView::relabel()
{
    m_explanation->setText(localized("Keep this tree the same on your other machines through a folder that a sync program you already use (such as Syncthing) keeps the same on each of them. Only the changes go there; the database itself never does."));
    m_folderLabel->setText(localized("Shared folder:"));
    m_choose->setText(localized("Choose…"));
    m_deviceLabel->setText(localized("This device's name:"));
    m_turnOn->setText(localized("Turn On Sync"));
    m_showConflicts->setText(localized("Show Conflicts…"));
    m_syncNow->setText(localized("Sync Now"));
    m_turnOff->setText(localized("Turn Off Sync"));
    m_share->setText(localized("Share this folder with Syncthing…"));
    showSyncthingState();
}

void SyncSettingsView::refresh()
{
    SyncCoordinator *coordinator = sync();
    const bool on = coordinator && coordinator->isOn();
    setEnabled(coordinator != nullptr);
    m_off->setVisible(!on);
    m_on->setVisible(on);
    if (!on) {
        m_note->hide();
        return;
    }

    // The lines, rebuilt only when one changed: a run ends every few
    // seconds while sync is on.
    QList<StatusLine> lines;
    auto line = [&](const QString &text, const char *name, int indent = 0, bool problem = false) {
        lines.append({text, QLatin1String(name), indent, problem});
    };
    auto status = coordinator->status();
    if (!status) {
        line(formatted(localized("The sync status could not be read: %@"), {status.error().description()}),
             "syncStatusError", 0, true);
    } else {
        const QLocale locale = interfaceLocale(m_model);
        auto when = [&](const std::optional<Timestamp> &time) {
            return time ? readableTime(time, locale) : localized("not yet");
        };
        const sync::SyncSetup setup = status->setup.value_or(sync::SyncSetup{});
        line(formatted(localized("This device: %@"), {setup.deviceName}), "syncDevice");
        line(formatted(localized("Folder: %@"), {QDir::toNativeSeparators(QString::fromStdString(setup.folder.string()))}),
             "syncFolderInUse");
        line(formatted(localized("Last change sent: %@"), {when(status->lastSentAt)}), "syncLastSent");
        line(formatted(localized("Last change received: %@"), {when(status->lastReceivedAt)}), "syncLastReceived");
        if (status->peers.isEmpty()) {
            line(localized("Other machines seen: none yet"), "syncPeers");
        } else {
            line(formatted(localized("Other machines seen: %@"), {locale.toString(status->peers.size())}), "syncPeers");
            for (const sync::SyncPeer &peer : std::as_const(status->peers)) {
                const QString name = peer.name.isEmpty() ? localized("Unnamed device") : peer.name;
                line(peer.lastAppliedAt ? formatted(localized("%@ — last change taken in %@"),
                                                    {name, readableTime(peer.lastAppliedAt, locale)})
                                        : formatted(localized("%@ — nothing taken in yet"), {name}),
                     "syncPeer", 12);
                if (peer.failedSeq > 0)
                    line(formatted(localized("Its change file %@ could not be used: %@"),
                                   {locale.toString(qlonglong(peer.failedSeq)), peer.failedReason}),
                         "syncPeerProblem", 24, true);
                if (peer.clockAhead)
                    line(localized("Its clock is more than a day ahead of this computer's."), "syncPeerClock", 24, true);
            }
        }
        line(formatted(localized("Changes waiting to be sent: %@"), {locale.toString(qlonglong(status->pendingNodes))}),
             "syncPending");
        line(formatted(localized("Conflicts waiting: %@"), {locale.toString(qlonglong(status->conflicts))}),
             "syncConflicts");
        m_showConflicts->setEnabled(status->conflicts > 0);
    }
    if (!coordinator->lastError().isEmpty())
        line(formatted(localized("The last sync failed: %@"), {coordinator->lastError()}), "syncLastError", 0, true);
    if (lines == m_shownLines)
        return;
    m_shownLines = lines;
    while (QLayoutItem *item = m_statusLines->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (const StatusLine &shown : std::as_const(lines)) {
        QLabel *label = textLine(m_on, shown.text);
        label->setObjectName(shown.name);
        label->setContentsMargins(shown.indent, 0, 0, 0);
        if (shown.problem) {
            // A problem stands out: in the error colour, and bold.
            QPalette palette = label->palette();
            palette.setColor(QPalette::WindowText, QColor(0xb0, 0x1c, 0x1c));
            label->setPalette(palette);
            QFont font = label->font();
            font.setBold(true);
            label->setFont(font);
        }
        m_statusLines->addWidget(label);
    }
}

QString SyncSettingsView::folderInUse() const
{
    if (SyncCoordinator *coordinator = sync(); coordinator && coordinator->isOn())
        if (auto status = coordinator->status(); status && status->setup)
            return QString::fromStdString(status->setup->folder.string());
    return expandedFolder(m_folder->text());
}

void SyncSettingsView::chooseFolder()
{
    const QString start = QFileInfo::exists(expandedFolder(m_folder->text())) ? expandedFolder(m_folder->text())
                                                                            : QDir::homePath();
    const QString chosen = QFileDialog::getExistingDirectory(this, localized("Choose the Shared Folder"), start);
    if (chosen.isEmpty())
        return;
    m_folder->setText(QDir::toNativeSeparators(chosen));
    checkSyncthing();
}

void SyncSettingsView::showError(const QString &text)
{
    QMessageBox box(QMessageBox::Warning, productName(), text, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("syncError"));
    box.exec();
}

void SyncSettingsView::turnOn()
{
    SyncCoordinator *coordinator = sync();
    if (!coordinator || coordinator->isOn())
        return;
    const QString folderText = expandedFolder(m_folder->text());
    if (folderText.isEmpty() || !QDir::isAbsolutePath(folderText)) {
        showError(localized("Choose the shared folder by its full path, such as ~/Sync/TarniBar."));
        m_folder->setFocus();
        return;
    }
    const QString device = m_device->text().trimmed();
    if (device.isEmpty() || device.toUtf8().size() > qsizetype(sync::kMaxDeviceNameBytes)) {
        showError(localized("Give this device a name, so that the other machines can tell its changes apart."));
        m_device->setFocus();
        return;
    }

    // The database must never be in the shared folder, nor the folder in
    // the data folder: a sync program would carry the database as it is
    // being written.
    const fs::path dataRoot = m_model.dependencies().uiTestConfig.applicationSupportRoot;
    auto prepared = sync::prepareSharedFolder(folderText, dataRoot);
    if (!prepared) {
        switch (prepared.error().kind) {
        case sync::SharedFolderProblem::Kind::overlapsDataRoot:
            showError(formatted(localized("The folder %@ overlaps the data folder %@, which holds the database. Choose a folder outside the data folder."),
                                {QDir::toNativeSeparators(folderText), QString::fromStdString(dataRoot.string())}));
            m_folder->setFocus();
            return;
        case sync::SharedFolderProblem::Kind::notAFolder:
            showError(formatted(localized("%@ is not a folder."), {QDir::toNativeSeparators(folderText)}));
            return;
        case sync::SharedFolderProblem::Kind::unusable:
            showError(formatted(localized("The folder %@ could not be created."), {QDir::toNativeSeparators(folderText)}));
            return;
        }
    }
    const fs::path folder = *prepared;

    // Joining another machine's tree replaces this one: ask first.
    if (sync::folderHoldsTree(folder) && !m_model.treeViewModel().nodes().isEmpty()) {
        QMessageBox ask(QMessageBox::Question, productName(),
                        localized("This folder already holds the tree of another machine."), QMessageBox::NoButton,
                        this);
        ask.setObjectName(QStringLiteral("confirmJoin"));
        ask.setInformativeText(localized("Turning on sync replaces the tree here with the shared one. The tree here is kept first, as the snapshot “Before sync”."));
        QPushButton *join = ask.addButton(localized("Replace and Turn On"), QMessageBox::AcceptRole);
        QPushButton *cancel = ask.addButton(localized("Cancel"), QMessageBox::RejectRole);
        ask.setDefaultButton(cancel);
        ask.setEscapeButton(cancel);
        ask.exec();
        if (ask.clickedButton() != join)
            return;
    }

    bool keptSnapshot = false;
    auto enabled = coordinator->enable(folder, device, &keptSnapshot);
    if (!enabled) {
        showError(formatted(localized("Sync could not be turned on: %@"), {enabled.error().description()}));
        return;
    }
    if (keptSnapshot) {
        m_note->setText(localized("The tree that was here is kept as the snapshot “Before sync”."));
        m_note->show();
    }
    m_syncNow->setFocus();
    checkSyncthing();
}

void SyncSettingsView::turnOff()
{
    SyncCoordinator *coordinator = sync();
    if (!coordinator)
        return;
    if (auto done = coordinator->disable(); !done) {
        showError(formatted(localized("Sync could not be turned off: %@"), {done.error().description()}));
        return;
    }
    m_turnOn->setFocus();
    checkSyncthing();
}

void SyncSettingsView::syncNow()
{
    SyncCoordinator *coordinator = sync();
    if (!coordinator || !coordinator->isOn())
        return;
    if (auto run = coordinator->syncNow(); !run)
        showError(formatted(localized("The sync failed: %@"), {run.error().description()}));
}

void SyncSettingsView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refresh();
    checkSyncthing();
}

void SyncSettingsView::checkSyncthing()
{
    const QString folder = folderInUse();
    if (m_syncthingBusy || folder.isEmpty())
        return;
    if (folder != m_checkedFolder)
        m_syncthingOutcome.clear();
    lookAtSyncthing(folder);
}

QCoro::Task<> SyncSettingsView::lookAtSyncthing(QString folder)
{
    QPointer<SyncSettingsView> self(this);
    SyncthingLink *link = m_syncthing;
    m_syncthingBusy = true;
    if (m_syncthingState == Syncthing::unknown) {
        m_syncthingState = Syncthing::checking;
        showSyncthingState();
    }
    const SyncthingStatus status = co_await link->status();
    std::optional<SyncthingResult<QList<SyncthingFolder>>> folders;
    QString tilde = QDir::homePath();
    if (self && status.running) {
        if (const auto system = co_await link->get(QStringLiteral("/rest/system/status")); system) {
            const QString theirs = system->toObject().value(QLatin1String("tilde")).toString();
            if (!theirs.isEmpty())
                tilde = theirs;
        }
        folders = co_await link->folders();
    }
    if (!self)
        co_return;
    m_syncthingBusy = false;
    m_checkedFolder = folder;
    m_syncthingDetail.clear();
    if (!status.running) {
        using Kind = SyncthingError::Kind;
        const bool merelyAbsent = !status.problem || status.problem->kind == Kind::noConfig ||
            status.problem->kind == Kind::notRunning;
        m_syncthingState = merelyAbsent ? Syncthing::absent : Syncthing::unusable;
        if (status.installed && status.problem)
            m_syncthingDetail = status.problem->text();
    } else if (!*folders) {
        m_syncthingState = Syncthing::unusable;
        m_syncthingDetail = (*folders).error().text();
    } else if (const auto sharing = sharingFolder(**folders, folder, tilde)) {
        m_syncthingState = Syncthing::shared;
        m_syncthingDetail = sharing->label.isEmpty() ? sharing->id : sharing->label;
    } else {
        m_syncthingState = Syncthing::offer;
    }
    showSyncthingState();
    Q_EMIT syncthingChecked();
    // The folder changed while this looked.
    if (folderInUse() != folder)
        checkSyncthing();
}

void SyncSettingsView::showSyncthingState()
{
    QString text;
    const bool steps = m_syncthingState == Syncthing::absent || m_syncthingState == Syncthing::unusable;
    switch (m_syncthingState) {
    case Syncthing::unknown:
    case Syncthing::checking:
        text = localized("Looking for Syncthing on this computer…");
        break;
    case Syncthing::offer:
        text = localized("Syncthing is running on this computer and can share this folder with your other machines.");
        break;
    case Syncthing::shared:
        text = formatted(localized("Syncthing already shares this folder, in its folder “%@”."), {m_syncthingDetail});
        break;
    case Syncthing::absent:
    case Syncthing::unusable:
        text = localized("To share the folder between your machines:");
        break;
    }
    m_syncthingProblem->setText(steps ? m_syncthingDetail : QString());
    m_syncthingProblem->setVisible(steps && !m_syncthingDetail.isEmpty());
    m_syncthingText->setText(text);
    // Just shared from here: the outcome says so.
    m_syncthingText->setVisible(m_syncthingState != Syncthing::shared || m_syncthingOutcome.isEmpty());
    m_stepLines[0]->setText(
        localized("1. Install and run a folder-sync program (Syncthing, Nextcloud, …) on every machine."));
    m_stepLines[1]->setText(localized("2. Share this folder between them with it."));
    m_stepLines[2]->setText(localized("3. Turn on sync here on each machine, with that folder."));
    m_steps->setVisible(steps);
    m_share->setVisible(m_syncthingState == Syncthing::offer);
    m_syncthingResult->setText(m_syncthingOutcome);
    m_syncthingResult->setVisible(!m_syncthingOutcome.isEmpty());
    // Syncthing shares only with the machines added to the folder there.
    m_syncthingReminder->setText(localized("Your other machines must be added to that folder in Syncthing, and sync turned on on each of them with the folder there."));
    m_syncthingReminder->setVisible(m_syncthingState == Syncthing::shared);
}

void SyncSettingsView::shareWithSyncthing()
{
    const QString folder = folderInUse();
    if (folder.isEmpty() || m_syncthingBusy)
        return;
    const auto endpoint = m_syncthing->endpoint();
    QMessageBox ask(QMessageBox::Question, productName(),
                    formatted(localized("Add the folder %@ to Syncthing?"), {QDir::toNativeSeparators(folder)}),
                    QMessageBox::NoButton, this);
    ask.setObjectName(QStringLiteral("confirmSyncthing"));
    ask.setInformativeText(
        formatted(localized("This adds it to Syncthing as a new folder through Syncthing's own interface, with the API key from Syncthing's configuration (%@). Nothing else in Syncthing is changed."),
                  {endpoint ? QDir::toNativeSeparators(endpoint->configPath) : localized("not found")}));
    QPushButton *add = ask.addButton(localized("Add to Syncthing"), QMessageBox::AcceptRole);
    QPushButton *cancel = ask.addButton(localized("Cancel"), QMessageBox::RejectRole);
    ask.setDefaultButton(add);
    ask.setEscapeButton(cancel);
    ask.exec();
    if (ask.clickedButton() != add)
        return;
    ensureSyncthingFolder(folder);
}

QCoro::Task<> SyncSettingsView::ensureSyncthingFolder(QString folder)
{
    QPointer<SyncSettingsView> self(this);
    m_syncthingBusy = true;
    m_share->setEnabled(false);
    const auto outcome = co_await m_syncthing->ensureFolder(folder, QStringLiteral("TarniBar"));
    if (!self)
        co_return;
    m_syncthingBusy = false;
    m_share->setEnabled(true);
    if (!outcome) {
        m_syncthingOutcome = formatted(localized("Syncthing could not share the folder: %@"), {outcome.error().text()});
        showSyncthingState();
        showError(m_syncthingOutcome);
        co_return;
    }
    const QString name = outcome->folder.label.isEmpty() ? outcome->folder.id : outcome->folder.label;
    switch (outcome->kind) {
    case SyncthingFolderOutcome::Kind::created:
        m_syncthingOutcome = formatted(localized("Syncthing now has the folder “%@”."), {name});
        break;
    case SyncthingFolderOutcome::Kind::alreadyShared:
        m_syncthingOutcome = formatted(localized("Syncthing already had the folder “%@”."), {name});
        break;
    case SyncthingFolderOutcome::Kind::insideShared:
        m_syncthingOutcome = formatted(localized("The folder is inside Syncthing's folder “%@”, which carries it."), {name});
        break;
    }
    // Looks again, keeping the outcome: the folder is now shared.
    m_checkedFolder = folder;
    checkSyncthing();
    showSyncthingState();
}

} // namespace tarni
