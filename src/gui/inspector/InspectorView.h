#pragma once

#include <QUuid>
#include <QWidget>

#include <optional>

class QFormLayout;
class QGridLayout;
class QLabel;
class QLineEdit;
class QToolButton;

namespace tarni {

class AppActions;
class AppModel;

// The selected node in detail: its title (renamed in place: Enter or
// leaving the field keeps the new title, Esc puts the old one back), kind,
// address or path, Slack identifiers, times, and the actions for its kind.
class InspectorView : public QWidget {
    Q_OBJECT
public:
    InspectorView(AppModel &model, AppActions &actions, QWidget *parent = nullptr);

    QLineEdit *titleField() const { return m_title; }
    // Puts the cursor in the title field with the title selected.
    void beginRename();

Q_SIGNALS:
    // Enter or Esc in the title field: the user is done with it.
    void editingDone();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void refresh();
    void relabel();
    void commitTitle();
    QLabel *addRow(const char *key, QWidget *value = nullptr);
    void setRow(QWidget *value, const QString &text);

    AppModel &m_model;
    AppActions &m_actions;
    std::optional<QUuid> m_shownNodeID;
    QWidget *m_details = nullptr;
    QLabel *m_empty = nullptr;
    QLabel *m_titleLabel = nullptr;
    QLineEdit *m_title = nullptr;
    QFormLayout *m_form = nullptr;
    QList<QPair<const char *, QWidget *>> m_rows;
    QLabel *m_kind = nullptr;
    // A field rather than a label: addresses are long and unbroken, so it
    // scrolls instead of wrapping, and copies in one piece.
    QLineEdit *m_address = nullptr;
    QLabel *m_team = nullptr;
    QLabel *m_channel = nullptr;
    QLabel *m_thread = nullptr;
    QLabel *m_created = nullptr;
    QLabel *m_updated = nullptr;
    QLabel *m_opened = nullptr;
    QGridLayout *m_buttonGrid = nullptr;
    QList<QToolButton *> m_buttons;
};

} // namespace tarni
