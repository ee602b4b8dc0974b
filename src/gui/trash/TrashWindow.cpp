#include "gui/trash/TrashWindow.h"

#include "app/AppModel.h"
#include "util/Localized.h"
#include "gui/GuiSupport.h"
#include "model/Uuid.h"

#include <QAction>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace tarni {

namespace {

constexpr int kIdRole = Qt::UserRole + 1;

// Asks before something is erased for good; true when confirmed.
bool confirmErase(QWidget *parent, const QString &text, const QString &button)
{
    QMessageBox box(QMessageBox::Warning, localized("Trash"), text, QMessageBox::NoButton, parent);
    box.setObjectName(QStringLiteral("confirmErase"));
    QPushButton *confirm = box.addButton(button, QMessageBox::DestructiveRole);
    QPushButton *cancel = box.addButton(localized("Cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(cancel);
    box.exec();
    return box.clickedButton() == confirm;
}

} // namespace

TrashWindow::TrashWindow(AppModel &model, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_model(model)
{
    setObjectName(QStringLiteral("trashWindow"));
    auto *layout = new QVBoxLayout(this);
    m_list = new QTreeWidget(this);
    m_list->setObjectName(QStringLiteral("trashList"));
    m_list->setColumnCount(3);
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->header()->setStretchLastSection(false);
    m_list->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_list->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    m_list->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    m_list->installEventFilter(this);
    layout->addWidget(m_list);

    auto *buttons = new QHBoxLayout;
    m_restore = new QPushButton(this);
    m_restore->setObjectName(QStringLiteral("trashRestore"));
    m_erase = new QPushButton(this);
    m_erase->setObjectName(QStringLiteral("trashErase"));
    m_empty = new QPushButton(this);
    m_empty->setObjectName(QStringLiteral("trashEmpty"));
    m_close = new QPushButton(this);
    buttons->addWidget(m_restore);
    buttons->addWidget(m_erase);
    buttons->addStretch(1);
    buttons->addWidget(m_empty);
    buttons->addWidget(m_close);
    layout->addLayout(buttons);

    connect(m_restore, &QPushButton::clicked, this, &TrashWindow::restoreSelected);
    connect(m_erase, &QPushButton::clicked, this, &TrashWindow::eraseSelected);
    connect(m_empty, &QPushButton::clicked, this, &TrashWindow::confirmEmpty);
    connect(m_close, &QPushButton::clicked, this, &QWidget::close);
    connect(m_list, &QTreeWidget::itemActivated, this, &TrashWindow::restoreSelected);
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, &TrashWindow::updateButtons);
    auto *escape = new QAction(this);
    escape->setShortcut(QKeySequence(Qt::Key_Escape));
    connect(escape, &QAction::triggered, this, &QWidget::close);
    addAction(escape);

    connect(&m_model, &AppModel::trashChanged, this, &TrashWindow::refresh);
    onLanguageChange(m_model, this, [this] {
        relabel();
        refresh();
    });
    relabel();
    refresh();
    resize(460, 360);
}

void TrashWindow::relabel()
{
    setWindowTitle(localized("Trash"));
    m_list->setHeaderLabels({localized("Title"), localized("Deleted"), localized("Nodes")});
    m_restore->setText(localized("Restore"));
    m_erase->setText(localized("Erase…"));
    m_empty->setText(localized("Empty Trash…"));
    m_close->setText(localized("Close"));
}

void TrashWindow::refresh()
{
    const auto previous = selectedEntry();
    m_list->clear();
    const QLocale locale = interfaceLocale(m_model);
    QTreeWidgetItem *reselect = nullptr;
    const QList<TrashSummary> entries = m_model.trashEntries();
    m_entryCount = int(entries.size());
    if (entries.isEmpty()) {
        auto *empty = new QTreeWidgetItem(m_list, {localized("The trash is empty.")});
        empty->setFlags(Qt::NoItemFlags);
        empty->setFirstColumnSpanned(true);
    }
    for (const TrashSummary &entry : entries) {
        const QDateTime deleted = QDateTime::fromSecsSinceEpoch(entry.deletedAt.time_since_epoch().count());
        auto *item = new QTreeWidgetItem(m_list, {entry.title.isEmpty() ? localized("Untitled") : entry.title,
                                                  locale.toString(deleted.toLocalTime(), QLocale::ShortFormat),
                                                  locale.toString(qlonglong(entry.nodeCount))});
        item->setData(0, kIdRole, uuidQString(entry.id));
        item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
        if (previous && entry.id == *previous)
            reselect = item;
    }
    if (!reselect && m_entryCount > 0)
        reselect = m_list->topLevelItem(0);
    if (reselect)
        m_list->setCurrentItem(reselect);
    updateButtons();
}

std::optional<QUuid> TrashWindow::selectedEntry() const
{
    const QTreeWidgetItem *item = m_list->currentItem();
    if (!item || !item->isSelected())
        return std::nullopt;
    return parseUuid(item->data(0, kIdRole).toString());
}

void TrashWindow::updateButtons()
{
    const bool selected = selectedEntry().has_value();
    m_restore->setEnabled(selected);
    m_erase->setEnabled(selected);
    m_empty->setEnabled(m_entryCount > 0);
}

void TrashWindow::restoreSelected()
{
    if (const auto id = selectedEntry())
        m_model.restoreFromTrash(*id);
}

void TrashWindow::eraseSelected()
{
    const auto id = selectedEntry();
    if (!id)
        return;
    const QString title = m_list->currentItem()->text(0);
    if (confirmErase(this, formatted(localized("Erase “%@” for good? This cannot be undone."), {title}),
                     localized("Erase")))
        m_model.eraseFromTrash(*id);
}

void TrashWindow::confirmEmpty()
{
    if (m_entryCount == 0)
        return;
    if (confirmErase(this,
                     formatted(localized("Erase all %lld item(s) in the trash for good? This cannot be undone."),
                               {QString::number(m_entryCount)}),
                     localized("Empty Trash")))
        m_model.emptyTrash();
}

bool TrashWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_list && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Delete || key->key() == Qt::Key_Backspace) {
            eraseSelected();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace tarni
