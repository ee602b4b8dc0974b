#include "gui/snapshots/SnapshotBrowserWindow.h"

#include "app/AppModel.h"
#include "util/Localized.h"
#include "gui/GuiSupport.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

namespace tarni {

namespace {

constexpr int kIDRole = Qt::UserRole + 1;

SnapshotBrowserWindow::Prompts dialogPrompts()
{
    SnapshotBrowserWindow::Prompts prompts;
    prompts.confirm = [](QWidget *parent, const QString &question, const QString &accept) {
        QMessageBox box(QMessageBox::Question, productName(), question,
                        QMessageBox::Ok | QMessageBox::Cancel, parent);
        box.button(QMessageBox::Ok)->setText(accept);
        box.button(QMessageBox::Cancel)->setText(localized("Cancel"));
        box.setDefaultButton(QMessageBox::Cancel);
        return box.exec() == QMessageBox::Ok;
    };
    prompts.askTitle = [](QWidget *parent, const QString &current) -> std::optional<QString> {
        QInputDialog dialog(parent);
        dialog.setObjectName(QStringLiteral("renameSnapshotDialog"));
        const QString caption = localized("Rename Snapshot");
        dialog.setWindowTitle(caption);
        dialog.setLabelText(localized("Title"));
        dialog.setTextValue(current);
        dialog.setOkButtonText(localized("Rename"));
        dialog.setCancelButtonText(localized("Cancel"));
        // Sized to its field, the dialog is narrower than its own title,
        // which the window manager then cuts off; the title bar's font may
        // be a little larger than ours. The dialog's layout sets its size
        // from the field's.
        const int titleWidth = dialog.fontMetrics().horizontalAdvance(caption) * 3 / 2 + 100;
        if (auto *field = dialog.findChild<QLineEdit *>())
            field->setMinimumWidth(std::max(320, titleWidth));
        if (dialog.exec() != QDialog::Accepted)
            return std::nullopt;
        return dialog.textValue();
    };
    prompts.askExportPath = [](QWidget *parent, const QString &suggestedName) {
        return QFileDialog::getSaveFileName(parent, localized("Export Snapshot"),
                                            QDir::home().filePath(suggestedName), QStringLiteral("JSON (*.json)"));
    };
    return prompts;
}

// A file name from a title: no separators, nothing hidden.
QString fileNameFor(const QString &title)
{
    QString name = title;
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    name.replace(QLatin1Char('\0'), QLatin1Char('-'));
    while (name.startsWith(QLatin1Char('.')))
        name.remove(0, 1);
    if (name.trimmed().isEmpty())
        name = QStringLiteral("snapshot");
    return name.trimmed() + QStringLiteral(".json");
}

} // namespace

SnapshotBrowserWindow::SnapshotBrowserWindow(AppModel &model, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_model(model)
    , m_prompts(dialogPrompts())
{
    setObjectName(QStringLiteral("snapshotBrowser"));
    setAttribute(Qt::WA_QuitOnClose, false);
    resize(900, 520);

    m_list = new QTreeWidget(this);
    m_list->setObjectName(QStringLiteral("snapshotList"));
    m_list->setColumnCount(4);
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setAllColumnsShowFocus(true);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->header()->setStretchLastSection(false);
    m_list->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int column = 1; column < 4; ++column)
        m_list->header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);

    m_empty = new QLabel(this);
    m_empty->setObjectName(QStringLiteral("snapshotsEmpty"));
    m_empty->setAlignment(Qt::AlignCenter);
    m_empty->setWordWrap(true);
    m_empty->setForegroundRole(QPalette::PlaceholderText);

    m_pages = new QStackedWidget(this);
    m_pages->addWidget(m_list);
    m_pages->addWidget(m_empty);

    m_preview = new QTreeWidget(this);
    m_preview->setObjectName(QStringLiteral("snapshotPreview"));
    m_preview->setColumnCount(2);
    m_preview->setUniformRowHeights(true);
    m_preview->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_preview->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_preview->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    m_preview->header()->setStretchLastSection(false);
    m_previewNote = new QLabel(this);
    m_previewNote->setObjectName(QStringLiteral("snapshotPreviewNote"));
    m_previewNote->setWordWrap(true);
    m_previewNote->setForegroundRole(QPalette::PlaceholderText);

    auto *previewPane = new QWidget(this);
    auto *previewLayout = new QVBoxLayout(previewPane);
    previewLayout->setContentsMargins(0, 0, 0, 0);
    previewLayout->addWidget(m_preview);
    previewLayout->addWidget(m_previewNote);

    auto *splitter = new QSplitter(Qt::Horizontal, this);
    splitter->addWidget(m_pages);
    splitter->addWidget(previewPane);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    splitter->setChildrenCollapsible(false);

    // Two rows, so that the window fits beside the sidebar on a small or
    // scaled screen (800 points wide) in every language.
    auto *buttons = new QHBoxLayout;
    auto *moreButtons = new QHBoxLayout;
    m_restore = new QPushButton(this);
    m_addBeside = new QPushButton(this);
    m_rename = new QPushButton(this);
    m_delete = new QPushButton(this);
    m_export = new QPushButton(this);
    m_close = new QPushButton(this);
    m_restore->setObjectName(QStringLiteral("restoreSnapshot"));
    m_addBeside->setObjectName(QStringLiteral("addSnapshotBeside"));
    m_rename->setObjectName(QStringLiteral("renameSnapshot"));
    m_delete->setObjectName(QStringLiteral("deleteSnapshot"));
    m_export->setObjectName(QStringLiteral("exportSnapshot"));
    for (QPushButton *button : {m_restore, m_addBeside})
        buttons->addWidget(button);
    buttons->addStretch(1);
    for (QPushButton *button : {m_rename, m_delete, m_export})
        moreButtons->addWidget(button);
    moreButtons->addStretch(1);
    moreButtons->addWidget(m_close);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(splitter, 1);
    layout->addLayout(buttons);
    layout->addLayout(moreButtons);

    bindAction(m_restore, QKeySequence(Qt::CTRL | Qt::Key_R), &SnapshotBrowserWindow::restoreSelected);
    bindAction(m_addBeside, QKeySequence(Qt::CTRL | Qt::Key_B), &SnapshotBrowserWindow::addSelectedBeside);
    bindAction(m_rename, QKeySequence(Qt::Key_F2), &SnapshotBrowserWindow::renameSelected);
    bindAction(m_delete, QKeySequence(QKeySequence::Delete), &SnapshotBrowserWindow::deleteSelected);
    bindAction(m_export, QKeySequence(Qt::CTRL | Qt::Key_E), &SnapshotBrowserWindow::exportSelected);
    auto *close = new QAction(this);
    close->setShortcuts({QKeySequence(Qt::Key_Escape), QKeySequence(QKeySequence::Close)});
    QWidget::addAction(close);
    connect(close, &QAction::triggered, this, &QWidget::close);
    connect(m_close, &QPushButton::clicked, this, &QWidget::close);

    connect(m_list, &QTreeWidget::currentItemChanged, this, [this] {
        showPreview();
        updateActions();
    });
    connect(&m_model, &AppModel::snapshotsChanged, this, &SnapshotBrowserWindow::reload);
    onLanguageChange(m_model, this, [this] {
        retranslate();
        reload();
    });
    retranslate();
    reload();
}

void SnapshotBrowserWindow::setPrompts(Prompts prompts)
{
    m_prompts = std::move(prompts);
}

QAction *SnapshotBrowserWindow::bindAction(QPushButton *button, const QKeySequence &shortcut,
                                          void (SnapshotBrowserWindow::*slot)())
{
    auto *action = new QAction(this);
    action->setShortcut(shortcut);
    action->setShortcutContext(Qt::WindowShortcut);
    QWidget::addAction(action);
    connect(action, &QAction::triggered, this, [this, button, slot] {
        if (button->isEnabled())
            (this->*slot)();
    });
    connect(button, &QPushButton::clicked, this, slot);
    button->setProperty("tarniShortcut", shortcut.toString(QKeySequence::NativeText));
    return action;
}

void SnapshotBrowserWindow::retranslate()
{
    setWindowTitle(localized("Snapshots"));
    m_list->setHeaderLabels({localized("Title"), localized("Time"), localized("Kind"), localized("Nodes")});
    m_preview->setHeaderLabels({localized("Title"), localized("Kind")});
    m_empty->setText(localized(
        "No snapshots yet. Save one with Save Workspace Snapshot (Ctrl+S); a daily one is taken automatically when the tree changes."));
    const std::pair<QPushButton *, const char *> labels[] = {
        {m_restore, textKey("Restore as Workspace")}, {m_addBeside, textKey("Add Beside Tree")},
        {m_rename, textKey("Rename…")},               {m_delete, textKey("Delete…")},
        {m_export, textKey("Export…")},
    };
    for (const auto &[button, key] : labels) {
        button->setText(localized(key));
        button->setToolTip(QStringLiteral("%1 (%2)").arg(localized(key), button->property("tarniShortcut").toString()));
    }
    m_close->setText(localized("Close"));
}

QString SnapshotBrowserWindow::kindText(const SnapshotSummary &summary) const
{
    QString kind;
    switch (summary.origin) {
    case SnapshotOrigin::manual:
        kind = localized("Manual");
        break;
    case SnapshotOrigin::daily:
        kind = localized("Automatic (daily)");
        break;
    case SnapshotOrigin::beforeImport:
        kind = localized("Automatic (before import)");
        break;
    case SnapshotOrigin::beforeRestore:
        kind = localized("Automatic (before restore)");
        break;
    }
    if (summary.subtree)
        kind += QStringLiteral(" · ") + localized("Subtree");
    if (summary.condition == SnapshotCondition::newerVersion)
        kind += QStringLiteral(" · ") + localized("Made by a newer version");
    else if (summary.condition == SnapshotCondition::damaged)
        kind += QStringLiteral(" · ") + localized("Damaged");
    return kind;
}

void SnapshotBrowserWindow::reload()
{
    const std::optional<QUuid> selected = selectedSnapshotID();
    const int row = m_list->currentItem() ? m_list->indexOfTopLevelItem(m_list->currentItem()) : 0;
    m_summaries = m_model.snapshotSummaries();
    const QLocale locale = interfaceLocale(m_model);
    const QSignalBlocker blocker(m_list);
    m_list->clear();
    QList<QTreeWidgetItem *> items;
    items.reserve(m_summaries.size());
    for (const SnapshotSummary &summary : std::as_const(m_summaries)) {
        auto *item = new QTreeWidgetItem({summary.title, readableTime(summary.createdAt, locale), kindText(summary),
                                          locale.toString(summary.nodeCount)});
        item->setData(0, kIDRole, summary.id);
        item->setToolTip(0, summary.title);
        item->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
        items.push_back(item);
    }
    m_list->addTopLevelItems(items);
    m_pages->setCurrentWidget(m_summaries.isEmpty() ? static_cast<QWidget *>(m_empty) : m_list);

    QTreeWidgetItem *current = nullptr;
    for (QTreeWidgetItem *item : std::as_const(items)) {
        if (selected && item->data(0, kIDRole).toUuid() == *selected)
            current = item;
    }
    // The deleted one's neighbour, so that deleting several in a row works.
    if (!current && !items.isEmpty())
        current = items[std::clamp<qsizetype>(row, 0, items.size() - 1)];
    if (current)
        m_list->setCurrentItem(current);
    showPreview();
    updateActions();
}

std::optional<QUuid> SnapshotBrowserWindow::selectedSnapshotID() const
{
    const QTreeWidgetItem *item = m_list->currentItem();
    if (!item)
        return std::nullopt;
    return item->data(0, kIDRole).toUuid();
}

void SnapshotBrowserWindow::selectSnapshot(const QUuid &snapshotID)
{
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = m_list->topLevelItem(i);
        if (item->data(0, kIDRole).toUuid() == snapshotID)
            m_list->setCurrentItem(item);
    }
}

const SnapshotSummary *SnapshotBrowserWindow::selectedSummary() const
{
    const auto id = selectedSnapshotID();
    if (!id)
        return nullptr;
    for (const SnapshotSummary &summary : m_summaries) {
        if (summary.id == *id)
            return &summary;
    }
    return nullptr;
}

void SnapshotBrowserWindow::showPreview()
{
    m_preview->clear();
    m_previewNote->clear();
    const SnapshotSummary *summary = selectedSummary();
    if (!summary)
        return;
    const auto snapshot = m_model.snapshot(summary->id);
    if (!snapshot)
        return;
    // The added root of a whole-workspace snapshot is not a node of it.
    struct Pending {
        const TreeExportNode *entry;
        QTreeWidgetItem *parent;
    };
    std::vector<Pending> stack;
    const TreeExportNode &root = snapshot->rootNode;
    auto pushChildren = [&stack](const TreeExportNode &entry, QTreeWidgetItem *parent) {
        for (auto child = entry.children.rbegin(); child != entry.children.rend(); ++child)
            stack.push_back({&*child, parent});
    };
    if (root.originalNodeID)
        stack.push_back({&root, nullptr});
    else
        pushChildren(root, nullptr);
    int shown = 0;
    while (!stack.empty() && shown < kPreviewLimit) {
        const Pending next = stack.back();
        stack.pop_back();
        auto *item = next.parent ? new QTreeWidgetItem(next.parent) : new QTreeWidgetItem(m_preview);
        item->setText(0, next.entry->node.title());
        item->setText(1, kindName(next.entry->node.kind()));
        item->setExpanded(!next.entry->node.isCollapsed());
        ++shown;
        pushChildren(*next.entry, item);
    }
    if (shown < summary->nodeCount)
        m_previewNote->setText(formatted(localized("Showing the first %d of %d nodes."),
                                         {QString::number(shown), QString::number(summary->nodeCount)}));
}

void SnapshotBrowserWindow::updateActions()
{
    const SnapshotSummary *summary = selectedSummary();
    // A subtree snapshot is not a workspace; it can only be added.
    m_restore->setEnabled(summary && !summary->subtree);
    for (QPushButton *button : {m_addBeside, m_rename, m_delete, m_export})
        button->setEnabled(summary != nullptr);
}

void SnapshotBrowserWindow::restoreSelected()
{
    const SnapshotSummary *summary = selectedSummary();
    if (!summary || summary->subtree)
        return;
    const QUuid id = summary->id;
    if (!m_prompts.confirm(this, formatted(localized("Replace the whole workspace with “%@”? The present tree is saved as a snapshot first."),
                                           {summary->title}),
                           localized("Restore as Workspace")))
        return;
    m_model.restoreSnapshot(id);
}

void SnapshotBrowserWindow::addSelectedBeside()
{
    if (const SnapshotSummary *summary = selectedSummary())
        m_model.addSnapshotBeside(summary->id);
}

void SnapshotBrowserWindow::renameSelected()
{
    const SnapshotSummary *summary = selectedSummary();
    if (!summary)
        return;
    const QUuid id = summary->id;
    const auto title = m_prompts.askTitle(this, summary->title);
    if (title)
        m_model.renameSnapshot(id, *title);
}

void SnapshotBrowserWindow::deleteSelected()
{
    const SnapshotSummary *summary = selectedSummary();
    if (!summary)
        return;
    const QUuid id = summary->id;
    if (!m_prompts.confirm(this, formatted(localized("Delete the snapshot “%@”? This cannot be undone."),
                                           {summary->title}),
                           localized("Delete")))
        return;
    m_model.deleteSnapshot(id);
}

void SnapshotBrowserWindow::exportSelected()
{
    const SnapshotSummary *summary = selectedSummary();
    if (!summary)
        return;
    const QUuid id = summary->id;
    const QString path = m_prompts.askExportPath(this, fileNameFor(summary->title));
    if (!path.isEmpty())
        m_model.exportSnapshot(id, path);
}

} // namespace tarni
