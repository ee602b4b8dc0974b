#pragma once

#include <QUuid>
#include <QWidget>

#include <optional>

class QPushButton;
class QTreeWidget;

namespace tarni {

class AppModel;

// The deleted subtrees, newest first, with when they went and how many
// nodes they hold: restore one to where it was, erase one for good, or
// empty the trash. Erasing asks first. Works from the keyboard: Return
// restores, Delete erases, Escape closes.
class TrashWindow : public QWidget {
    Q_OBJECT
public:
    explicit TrashWindow(AppModel &model, QWidget *parent = nullptr);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void relabel();
    void refresh();
    std::optional<QUuid> selectedEntry() const;
    void restoreSelected();
    void eraseSelected();
    void confirmEmpty();
    void updateButtons();

    AppModel &m_model;
    QTreeWidget *m_list = nullptr;
    QPushButton *m_restore = nullptr;
    QPushButton *m_erase = nullptr;
    QPushButton *m_empty = nullptr;
    QPushButton *m_close = nullptr;
    int m_entryCount = 0;
};

} // namespace tarni
