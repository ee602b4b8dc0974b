#pragma once

#include "model/SnapshotSummary.h"

#include <QKeySequence>
#include <QList>
#include <QUuid>
#include <QWidget>

#include <functional>
#include <optional>

class QAction;
class QLabel;
class QPushButton;
class QStackedWidget;
class QTreeWidget;

namespace tarni {

class AppModel;

// Every snapshot of the workspace with its title, time, kind and node count,
// a read-only preview of the selected one's tree, and what can be done with
// it: restore it as the whole workspace, add it beside the present tree,
// rename, delete, export. Every action goes through the application model.
class SnapshotBrowserWindow : public QWidget {
    Q_OBJECT
public:
    // What the window asks the user; replaceable so that tests answer.
    struct Prompts {
        std::function<bool(QWidget *parent, const QString &question, const QString &accept)> confirm;
        // The new title, or none when cancelled.
        std::function<std::optional<QString>(QWidget *parent, const QString &current)> askTitle;
        // The file to write, or empty when cancelled.
        std::function<QString(QWidget *parent, const QString &suggestedName)> askExportPath;
    };

    explicit SnapshotBrowserWindow(AppModel &model, QWidget *parent = nullptr);
    void setPrompts(Prompts prompts);

    // Reads the list again, keeping the selected snapshot where it still is.
    void reload();
    const QList<SnapshotSummary> &summaries() const { return m_summaries; }
    std::optional<QUuid> selectedSnapshotID() const;
    void selectSnapshot(const QUuid &snapshotID);

    void restoreSelected();
    void addSelectedBeside();
    void renameSelected();
    void deleteSelected();
    void exportSelected();

    // The preview caps what it shows: a tree of 100,000 nodes would take
    // longer to show than to read.
    static constexpr int kPreviewLimit = 2000;

private:
    const SnapshotSummary *selectedSummary() const;
    void showPreview();
    void updateActions();
    void retranslate();
    QString kindText(const SnapshotSummary &summary) const;
    QAction *bindAction(QPushButton *button, const QKeySequence &shortcut, void (SnapshotBrowserWindow::*slot)());

    AppModel &m_model;
    Prompts m_prompts;
    QList<SnapshotSummary> m_summaries;
    QStackedWidget *m_pages = nullptr;
    QLabel *m_empty = nullptr;
    QTreeWidget *m_list = nullptr;
    QTreeWidget *m_preview = nullptr;
    QLabel *m_previewNote = nullptr;
    QPushButton *m_restore = nullptr;
    QPushButton *m_addBeside = nullptr;
    QPushButton *m_rename = nullptr;
    QPushButton *m_delete = nullptr;
    QPushButton *m_export = nullptr;
    QPushButton *m_close = nullptr;
};

} // namespace tarni
