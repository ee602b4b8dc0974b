#include "gui/inspector/InspectorView.h"

#include "app/AppModel.h"
#include "util/Localized.h"
#include "gui/AppActions.h"
#include "gui/GuiSupport.h"

#include <QAction>
#include <QFormLayout>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

namespace tarni {

InspectorView::InspectorView(AppModel &model, AppActions &actions, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_actions(actions)
{
    setObjectName(QStringLiteral("inspector"));
    // One page shows at a time; hidden pages take no room, so the panel is
    // as tall as what it shows (a stacked layout is as tall as its tallest).
    auto *pages = new QVBoxLayout(this);
    pages->setContentsMargins(0, 0, 0, 0);

    m_empty = new QLabel(this);
    m_empty->setObjectName(QStringLiteral("inspector-empty"));
    m_empty->setAlignment(Qt::AlignCenter);
    m_empty->setWordWrap(true);
    m_empty->setForegroundRole(QPalette::PlaceholderText);
    m_empty->setContentsMargins(8, 8, 8, 8);
    pages->addWidget(m_empty);

    auto *details = m_details = new QWidget(this);
    auto *column = new QVBoxLayout(details);
    column->setContentsMargins(8, 6, 8, 6);
    column->setSpacing(4);
    m_titleLabel = new QLabel(details);
    m_title = new QLineEdit(details);
    m_title->setObjectName(QStringLiteral("inspector-title-field"));
    m_titleLabel->setBuddy(m_title);
    m_title->installEventFilter(this);
    connect(m_title, &QLineEdit::editingFinished, this, &InspectorView::commitTitle);
    column->addWidget(m_titleLabel);
    column->addWidget(m_title);

    m_form = new QFormLayout;
    m_form->setRowWrapPolicy(QFormLayout::WrapLongRows);
    m_form->setLabelAlignment(Qt::AlignLeft);
    m_form->setHorizontalSpacing(8);
    m_form->setVerticalSpacing(2);
    m_kind = addRow(textKey("Kind"));
    m_address = new QLineEdit(this);
    m_address->setObjectName(QStringLiteral("inspector-address"));
    m_address->setReadOnly(true);
    m_address->setFrame(false);
    QPalette flat = m_address->palette();
    flat.setColor(QPalette::Base, Qt::transparent);
    m_address->setPalette(flat);
    addRow(textKey("Address"), m_address);
    m_team = addRow(textKey("Team"));
    m_channel = addRow(textKey("Channel"));
    m_thread = addRow(textKey("Thread"));
    m_created = addRow(textKey("Created"));
    m_updated = addRow(textKey("Updated"));
    m_opened = addRow(textKey("Last opened"));
    column->addLayout(m_form);

    m_buttonGrid = new QGridLayout;
    m_buttonGrid->setSpacing(4);
    for (QAction *action : {m_actions.open, m_actions.openInSlackApp, m_actions.restoreBrowserSession,
                            m_actions.reveal, m_actions.duplicate, m_actions.remove}) {
        auto *button = new QToolButton(details);
        button->setDefaultAction(action);
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        button->setAutoRaise(false);
        m_buttons << button;
    }
    column->addLayout(m_buttonGrid);
    column->addStretch(1);
    pages->addWidget(details);

    relabel();
    refresh();
    connect(&m_model, &AppModel::changed, this, &InspectorView::refresh);
    onLanguageChange(m_model, this, [this] {
        relabel();
        refresh();
    });
}

QLabel *InspectorView::addRow(const char *key, QWidget *field)
{
    QLabel *value = nullptr;
    if (!field) {
        value = new QLabel(this);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        value->setWordWrap(true);
        field = value;
    }
    auto *label = new QLabel(this);
    label->setForegroundRole(QPalette::PlaceholderText);
    m_form->addRow(label, field);
    m_rows.append({key, field});
    return value;
}

void InspectorView::relabel()
{
    m_empty->setText(localized("Select a node to inspect it."));
    m_titleLabel->setText(localized("Title"));
    for (const auto &[key, value] : std::as_const(m_rows)) {
        if (auto *label = qobject_cast<QLabel *>(m_form->labelForField(value)))
            label->setText(localized(QString::fromUtf8(key)));
    }
}

void InspectorView::setRow(QWidget *value, const QString &text)
{
    if (auto *label = qobject_cast<QLabel *>(value))
        label->setText(text);
    else if (auto *field = qobject_cast<QLineEdit *>(value)) {
        field->setText(text);
        field->setCursorPosition(0);
    }
    m_form->setRowVisible(value, !text.isEmpty());
}

void InspectorView::refresh()
{
    const auto node = m_model.inspectorViewModel().selectedNode();
    m_details->setVisible(node.has_value());
    m_empty->setVisible(!node);
    if (!node) {
        m_shownNodeID.reset();
        return;
    }
    const bool sameNode = m_shownNodeID == node->id();
    m_shownNodeID = node->id();
    // A title being typed is left alone while the same node is shown.
    if (!(sameNode && m_title->hasFocus() && m_title->isModified())) {
        m_title->setText(node->title());
        m_title->setModified(false);
    }

    const WorkspaceNodeKind kind = node->kind();
    const NodePayload &payload = node->payload();
    setRow(m_kind, kindName(kind));
    QString address;
    if (const auto *tab = payload.asChromeTab())
        address = tab->url;
    else if (const auto *link = payload.asWebLink())
        address = link->url;
    else if (const auto *slack = payload.asSlackThread())
        address = slack->permalinkURL;
    else if (const auto *file = payload.asFileTarget())
        address = file->path;
    setRow(m_address, address);
    const SlackTarget *slack = payload.asSlackThread();
    setRow(m_team, slack ? slack->teamID.value_or(QString()) : QString());
    setRow(m_channel, slack ? slack->channelID.value_or(QString()) : QString());
    setRow(m_thread, slack ? slack->messageTS.value_or(QString()) : QString());
    const QLocale locale = interfaceLocale(m_model);
    setRow(m_created, readableTime(node->createdAt(), locale));
    setRow(m_updated, readableTime(node->updatedAt(), locale));
    setRow(m_opened, node->lastOpenedAt() ? readableTime(node->lastOpenedAt(), locale) : localized("Never"));

    const bool fileLike = kind == WorkspaceNodeKind::file || kind == WorkspaceNodeKind::folder;
    const bool shown[] = {kind != WorkspaceNodeKind::group, kind == WorkspaceNodeKind::slackThread,
                          m_actions.mayHaveBrowserSession(node->id()), fileLike, true,
                          true};
    for (QToolButton *button : std::as_const(m_buttons))
        m_buttonGrid->removeWidget(button);
    // The ways to open a node take a row each (their labels are long in
    // some languages); Duplicate and Delete share the last one.
    int row = 0;
    for (qsizetype i = 0; i < m_buttons.size(); ++i) {
        m_buttons[i]->setVisible(shown[i]);
        if (!shown[i])
            continue;
        const bool editing = i >= m_buttons.size() - 2;
        if (!editing)
            m_buttonGrid->addWidget(m_buttons[i], row++, 0, 1, 2);
        else
            m_buttonGrid->addWidget(m_buttons[i], row, int(i - (m_buttons.size() - 2)));
    }
}

void InspectorView::beginRename()
{
    if (!m_details->isVisibleTo(this))
        return;
    m_title->setFocus(Qt::ShortcutFocusReason);
    m_title->selectAll();
}

void InspectorView::commitTitle()
{
    if (!m_title->isModified())
        return;
    m_title->setModified(false);
    // Only onto the node the draft was typed for.
    const auto node = m_model.inspectorViewModel().selectedNode();
    if (!node || node->id() != m_shownNodeID || node->title() == m_title->text())
        return;
    // A blank title would leave a row with nothing to read or find: the
    // field takes the old title back instead.
    if (m_title->text().trimmed().isEmpty()) {
        m_title->setText(node->title());
        return;
    }
    m_model.renameSelectedNode(m_title->text());
}

bool InspectorView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_title && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Escape) {
            const auto node = m_model.inspectorViewModel().selectedNode();
            m_title->setText(node ? node->title() : QString());
            m_title->setModified(false);
            Q_EMIT editingDone();
            return true;
        }
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            commitTitle();
            Q_EMIT editingDone();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace tarni
