#include "gui/sync/SyncConflictsWindow.h"

#include "app/AppModel.h"
#include "app/SyncCoordinator.h"
#include "gui/GuiSupport.h"
#include "util/Localized.h"

#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace tarni {

namespace {

constexpr int kIdRole = Qt::UserRole + 1;
constexpr int kRestorableRole = Qt::UserRole + 2;
constexpr int kDetailRole = Qt::UserRole + 3;

QString reasonName(sync::SyncConflict::Reason reason)
{
    switch (reason) {
    case sync::SyncConflict::Reason::lost: return localized("Lost");
    case sync::SyncConflict::Reason::refused: return localized("Not applied");
    case sync::SyncConflict::Reason::unsent: return localized("Not sent");
    }
    return {};
}

// One sentence on what happened, with the store's own detail.
QString explanation(const sync::SyncConflict &conflict)
{
    const QString from = conflict.lostDevice.isEmpty() ? localized("Unnamed device") : conflict.lostDevice;
    switch (conflict.reason) {
    case sync::SyncConflict::Reason::lost:
        return conflict.keptDevice.isEmpty()
            ? formatted(localized("The version from %@ lost to another machine's and is kept here."), {from})
            : formatted(localized("The version from %@ lost to the one from %@ and is kept here."),
                        {from, conflict.keptDevice});
    case sync::SyncConflict::Reason::refused:
        return formatted(localized("A change received from %@ could not be applied: %@"), {from, conflict.detail});
    case sync::SyncConflict::Reason::unsent:
        return formatted(localized("A change made here could not be sent: %@"), {conflict.detail});
    }
    return {};
}

} // namespace

SyncConflictsWindow::SyncConflictsWindow(AppModel &model, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_model(model)
{
    setObjectName(QStringLiteral("syncConflictsWindow"));
    auto *layout = new QVBoxLayout(this);
    m_list = new QTreeWidget(this);
    m_list->setObjectName(QStringLiteral("syncConflictList"));
    m_list->setColumnCount(5);
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->header()->setStretchLastSection(false);
    m_list->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int column = 1; column < 5; ++column)
        m_list->header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    m_list->installEventFilter(this);
    layout->addWidget(m_list, 1);
    m_detail = new QLabel(this);
    m_detail->setObjectName(QStringLiteral("syncConflictDetail"));
    m_detail->setWordWrap(true);
    m_detail->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_detail->setMinimumHeight(m_detail->fontMetrics().lineSpacing() * 2);
    m_detail->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    layout->addWidget(m_detail);

    auto *buttons = new QHBoxLayout;
    m_restore = new QPushButton(this);
    m_restore->setObjectName(QStringLiteral("syncConflictRestore"));
    m_dismiss = new QPushButton(this);
    m_dismiss->setObjectName(QStringLiteral("syncConflictDismiss"));
    m_close = new QPushButton(this);
    buttons->addWidget(m_restore);
    buttons->addWidget(m_dismiss);
    buttons->addStretch(1);
    buttons->addWidget(m_close);
    layout->addLayout(buttons);

    connect(m_restore, &QPushButton::clicked, this, &SyncConflictsWindow::restoreSelected);
    connect(m_dismiss, &QPushButton::clicked, this, &SyncConflictsWindow::dismissSelected);
    connect(m_close, &QPushButton::clicked, this, &QWidget::close);
    connect(m_list, &QTreeWidget::itemActivated, this, &SyncConflictsWindow::restoreSelected);
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, &SyncConflictsWindow::updateButtons);
    auto *escape = new QAction(this);
    escape->setShortcut(QKeySequence(Qt::Key_Escape));
    connect(escape, &QAction::triggered, this, &QWidget::close);
    addAction(escape);

    if (SyncCoordinator *sync = m_model.sync())
        connect(sync, &SyncCoordinator::statusChanged, this, &SyncConflictsWindow::refresh);
    onLanguageChange(m_model, this, [this] {
        relabel();
        refresh();
    });
    relabel();
    refresh();
    resize(640, 360);
}

void SyncConflictsWindow::relabel()
{
    setWindowTitle(localized("Sync Conflicts"));
    m_list->setHeaderLabels(
        {localized("Title"), localized("Version from"), localized("Lost to"), localized("Kept"), localized("Why")});
    m_restore->setText(localized("Restore as Copy"));
    m_dismiss->setText(localized("Dismiss…"));
    m_close->setText(localized("Close"));
}

void SyncConflictsWindow::refresh()
{
    const auto previous = selectedEntry();
    m_list->clear();
    SyncCoordinator *sync = m_model.sync();
    QList<sync::SyncConflict> conflicts;
    if (sync) {
        auto fetched = sync->conflicts();
        if (fetched)
            conflicts = *fetched;
        else
            m_detail->setText(formatted(localized("The conflicts could not be read: %@"), {fetched.error().description()}));
    }
    if (conflicts.isEmpty()) {
        auto *empty = new QTreeWidgetItem(m_list, {localized("No conflicts are waiting.")});
        empty->setFlags(Qt::NoItemFlags);
        empty->setFirstColumnSpanned(true);
    }
    const QLocale locale = interfaceLocale(m_model);
    QTreeWidgetItem *reselect = nullptr;
    for (const sync::SyncConflict &conflict : std::as_const(conflicts)) {
        const QString title = conflict.node && !conflict.node->title().isEmpty() ? conflict.node->title()
                                                                                 : localized("Untitled");
        auto *item = new QTreeWidgetItem(
            m_list, {title, conflict.lostDevice.isEmpty() ? localized("Unnamed device") : conflict.lostDevice,
                     conflict.keptDevice.isEmpty() ? QString(QChar(0x2014)) : conflict.keptDevice,
                     readableTime(conflict.detectedAt, locale), reasonName(conflict.reason)});
        item->setData(0, kIdRole, qlonglong(conflict.id));
        item->setData(0, kRestorableRole, conflict.node.has_value());
        item->setData(0, kDetailRole, explanation(conflict));
        item->setToolTip(0, explanation(conflict));
        if (previous && conflict.id == *previous)
            reselect = item;
    }
    if (!reselect && !conflicts.isEmpty())
        reselect = m_list->topLevelItem(0);
    if (reselect)
        m_list->setCurrentItem(reselect);
    updateButtons();
}

std::optional<std::int64_t> SyncConflictsWindow::selectedEntry() const
{
    const QTreeWidgetItem *item = m_list->currentItem();
    if (!item || !item->isSelected() || !item->data(0, kIdRole).isValid())
        return std::nullopt;
    return item->data(0, kIdRole).toLongLong();
}

void SyncConflictsWindow::updateButtons()
{
    const bool selected = selectedEntry().has_value();
    const QTreeWidgetItem *item = m_list->currentItem();
    m_restore->setEnabled(selected && item->data(0, kRestorableRole).toBool());
    m_dismiss->setEnabled(selected);
    m_detail->setText(selected ? item->data(0, kDetailRole).toString() : QString());
}

void SyncConflictsWindow::restoreSelected()
{
    SyncCoordinator *sync = m_model.sync();
    const auto id = selectedEntry();
    if (!sync || !id || !m_restore->isEnabled())
        return;
    auto restored = sync->restoreConflict(*id);
    if (!restored) {
        QMessageBox::warning(this, productName(),
                             formatted(localized("The kept version could not be restored: %@"), {restored.error()}));
        return;
    }
    m_model.selectNodeWithoutOpening(restored->id());
    refresh();
    Q_EMIT conflictsChanged();
}

void SyncConflictsWindow::dismissSelected()
{
    SyncCoordinator *sync = m_model.sync();
    const auto id = selectedEntry();
    if (!sync || !id)
        return;
    QMessageBox ask(QMessageBox::Warning, localized("Sync Conflicts"),
                    formatted(localized("Dismiss the kept version of “%@”? It cannot be restored afterwards."),
                              {m_list->currentItem()->text(0)}),
                    QMessageBox::NoButton, this);
    ask.setObjectName(QStringLiteral("confirmDismiss"));
    QPushButton *dismiss = ask.addButton(localized("Dismiss"), QMessageBox::DestructiveRole);
    QPushButton *cancel = ask.addButton(localized("Cancel"), QMessageBox::RejectRole);
    ask.setDefaultButton(cancel);
    ask.exec();
    if (ask.clickedButton() != dismiss)
        return;
    if (auto done = sync->dismissConflict(*id); !done) {
        QMessageBox::warning(this, productName(),
                             formatted(localized("The conflict could not be dismissed: %@"), {done.error().description()}));
        return;
    }
    refresh();
    Q_EMIT conflictsChanged();
}

bool SyncConflictsWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_list && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Delete || key->key() == Qt::Key_Backspace) {
            dismissSelected();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace tarni
