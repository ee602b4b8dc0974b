#pragma once

#include <QObject>
#include <QUuid>

#include <optional>

namespace tarni {

class AppModel;

// Cut, copy and paste of nodes through the system clipboard.
//
// A copy puts the selected subtree on the clipboard as our own type (an
// export document) and as plain text (one address or title a line). A cut
// does the same and marks it with a token of this run: pasting that content
// moves the original node, and nothing is removed before the paste. Paste
// takes our type first, then a browser's link with its title, then a list
// of addresses, then plain text.
class NodeClipboard : public QObject {
    Q_OBJECT
public:
    explicit NodeClipboard(AppModel &model, QObject *parent = nullptr);

    void copySelected();
    void cutSelected();
    void paste();
    // Whether the clipboard holds anything paste could look at.
    bool canPaste() const { return m_canPaste; }
    // The node the latest cut waits to move, while the clipboard holds it.
    std::optional<QUuid> pendingCut() const;

Q_SIGNALS:
    void canPasteChanged();

private:
    void put(bool cut);
    void clipboardChanged();

    AppModel &m_model;
    struct Cut {
        QUuid token;
        QUuid nodeID;
    };
    std::optional<Cut> m_cut;
    bool m_canPaste = false;
};

} // namespace tarni
