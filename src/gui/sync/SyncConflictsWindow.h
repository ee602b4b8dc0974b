#pragma once

#include <QWidget>

#include <cstdint>
#include <optional>

class QLabel;
class QPushButton;
class QTreeWidget;

namespace tarni {

class AppModel;

// The versions sync kept because another machine's won, or because a
// received change could not be applied: what, whose, when and why. The
// selected one can be restored as a copy (a new node) or dismissed, which
// asks first. From the keyboard: Return restores, Delete dismisses, Escape
// closes.
class SyncConflictsWindow : public QWidget {
    Q_OBJECT
public:
    explicit SyncConflictsWindow(AppModel &model, QWidget *parent = nullptr);

Q_SIGNALS:
    // An entry was restored or dismissed here.
    void conflictsChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void relabel();
    void refresh();
    std::optional<std::int64_t> selectedEntry() const;
    void restoreSelected();
    void dismissSelected();
    void updateButtons();

    AppModel &m_model;
    QTreeWidget *m_list = nullptr;
    QLabel *m_detail = nullptr;
    QPushButton *m_restore = nullptr;
    QPushButton *m_dismiss = nullptr;
    QPushButton *m_close = nullptr;
};

} // namespace tarni
