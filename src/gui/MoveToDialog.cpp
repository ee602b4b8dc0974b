#include "gui/MoveToDialog.h"

#include "app/AppModel.h"
#include "tree/SearchQuery.h"
#include "util/Localized.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace tarni {

namespace {

constexpr int kParentRole = Qt::UserRole;
// A path names at most this many levels; deeper ones start with "…".
constexpr int kPathLevels = 4;

QString pathOf(const TreeViewModel &tree, const WorkspaceNode &group)
{
    QStringList titles{group.title()};
    std::optional<QUuid> parentID = group.parentID();
    while (parentID && titles.size() < kPathLevels) {
        const auto parent = tree.node(parentID);
        if (!parent)
            break;
        titles.prepend(parent->title());
        parentID = parent->parentID();
    }
    if (parentID && tree.node(parentID))
        titles.prepend(QString(QChar(0x2026)));
    return titles.join(QStringLiteral(" › "));
}

} // namespace

MoveToDialog::MoveToDialog(AppModel &model, const QUuid &nodeID, QWidget *parent)
    : QDialog(parent)
    , m_nodeID(nodeID)
{
    setObjectName(QStringLiteral("moveToDialog"));
    setWindowTitle(localized("Move"));
    const auto node = model.treeViewModel().node(nodeID);
    auto *layout = new QVBoxLayout(this);
    auto *label = new QLabel(formatted(localized("Move “%@” to:"), {node ? node->title() : QString()}), this);
    label->setWordWrap(true);
    m_search = new QLineEdit(this);
    m_search->setObjectName(QStringLiteral("moveToSearch"));
    m_search->setPlaceholderText(localized("Type to filter groups"));
    m_search->setClearButtonEnabled(true);
    m_search->installEventFilter(this);
    label->setBuddy(m_search);
    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("moveToList"));
    m_list->setUniformItemSizes(true);
    m_empty = new QLabel(localized("No group matches."), this);
    m_empty->setForegroundRole(QPalette::PlaceholderText);
    m_empty->hide();
    auto *buttons = new QDialogButtonBox(this);
    m_move = buttons->addButton(localized("Move"), QDialogButtonBox::AcceptRole);
    m_move->setDefault(true);
    buttons->addButton(localized("Cancel"), QDialogButtonBox::RejectRole);
    layout->addWidget(label);
    layout->addWidget(m_search);
    layout->addWidget(m_list, 1);
    layout->addWidget(m_empty);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &MoveToDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_list, &QListWidget::itemActivated, this, &MoveToDialog::accept);
    connect(m_search, &QLineEdit::textChanged, this, &MoveToDialog::filter);
    fill(model);
    filter({});
    resize(360, 420);
    m_search->setFocus();
}

void MoveToDialog::fill(AppModel &model)
{
    const TreeViewModel &tree = model.treeViewModel();
    const TreeProjection &projection = tree.projection();
    auto add = [this](const QString &path, const std::optional<QUuid> &id) {
        auto *item = new QListWidgetItem(path, m_list);
        item->setToolTip(path);
        item->setData(kParentRole, id ? id->toString(QUuid::WithoutBraces) : QString());
        m_folded.push_back(SearchQuery::folded(path));
    };
    add(localized("Top Level"), std::nullopt);
    // Display order, depth first without recursion; the moved subtree is
    // left out, since a node cannot go below itself.
    std::vector<TreeProjection::SlotId> pending;
    auto push = [&](const std::optional<QUuid> &parentID) {
        const auto &children = projection.siblings(parentID);
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            pending.push_back(*it);
    };
    push(std::nullopt);
    while (!pending.empty()) {
        const WorkspaceNode &node = projection.node(pending.back());
        pending.pop_back();
        if (node.id() == m_nodeID || node.kind() != WorkspaceNodeKind::group)
            continue;
        add(pathOf(tree, node), node.id());
        push(node.id());
    }
}

void MoveToDialog::filter(const QString &text)
{
    const SearchQuery query(text);
    QListWidgetItem *first = nullptr;
    for (int row = 0; row < m_list->count(); ++row) {
        QListWidgetItem *item = m_list->item(row);
        const bool shown = query.isEmpty() || query.matches(m_folded[std::size_t(row)]);
        item->setHidden(!shown);
        if (shown && !first)
            first = item;
    }
    m_list->setCurrentItem(first);
    m_empty->setVisible(!first);
    m_move->setEnabled(first != nullptr);
}

bool MoveToDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_search && event->type() == QEvent::KeyPress) {
        switch (static_cast<QKeyEvent *>(event)->key()) {
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
            QCoreApplication::sendEvent(m_list, event);
            return true;
        default:
            break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void MoveToDialog::accept()
{
    const QListWidgetItem *item = m_list->currentItem();
    if (!item || item->isHidden())
        return;
    const QString id = item->data(kParentRole).toString();
    m_chosen.emplace(id.isEmpty() ? std::optional<QUuid>() : std::optional<QUuid>(QUuid::fromString(id)));
    QDialog::accept();
}

} // namespace tarni
