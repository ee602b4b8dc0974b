#pragma once

#include <QDialog>
#include <QUuid>

#include <optional>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace tarni {

class AppModel;

// "Move to…": the groups a node can go into, each shown with its path
// ("Work › Project"), filtered as one types. Down and Up walk the list while
// the search field keeps the keys, Enter moves. The node itself and
// everything below it are not offered.
class MoveToDialog : public QDialog {
    Q_OBJECT
public:
    MoveToDialog(AppModel &model, const QUuid &nodeID, QWidget *parent = nullptr);

    const QUuid &nodeID() const { return m_nodeID; }
    // The group chosen (none inside: the top level); none until accepted.
    std::optional<std::optional<QUuid>> chosenParent() const { return m_chosen; }

    QLineEdit *searchField() const { return m_search; }
    QListWidget *list() const { return m_list; }

    void accept() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void fill(AppModel &model);
    void filter(const QString &text);

    QUuid m_nodeID;
    QLineEdit *m_search = nullptr;
    QListWidget *m_list = nullptr;
    QLabel *m_empty = nullptr;
    QPushButton *m_move = nullptr;
    // The folded path of each row, for the filter.
    std::vector<std::string> m_folded;
    std::optional<std::optional<QUuid>> m_chosen;
};

} // namespace tarni
