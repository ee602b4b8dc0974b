#pragma once

#include "platform/session/SidebarEdgeDocking.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

namespace tarni {

class SwayIpc;

// Docks the sidebar on sway: the sidebar floats, sticky and borderless, at
// the left edge of its output over the output's full height, and the left
// outer gap of every workspace grows by its width so tiled windows keep
// beside it.
//
// The gap of the existing workspaces is changed by relative amounts, so
// that the user's own gaps come back exactly; workspaces made later get it
// from the default left gap, which is set to the configuration's plus the
// width. What was added is kept in a state file until it is taken away
// again; a start after a crash takes it away first.
class SwaySidebarDock final : public QObject, public SidebarEdgeDocking {
    Q_OBJECT
public:
    // `stateFile` lives in the data root.
    SwaySidebarDock(std::shared_ptr<SwayIpc> ipc, QString stateFile, QObject *parent = nullptr);
    ~SwaySidebarDock() override;

    // A dock for $SWAYSOCK when sway answers there; none otherwise.
    static std::unique_ptr<SwaySidebarDock> create(const QByteArray &socketPath, const QString &stateFile);

    void dock(QWindow &window, const QRectF &frame) override;
    void release() override;
    bool isDocked() const override { return m_docked; }

    // The left gap this process added and has not taken away.
    int addedGap() const { return m_addedGap; }

private:
    // Takes away the gap a previous run on the same compositor left behind.
    void undoLeftBehind();
    void apply();
    bool changeGap(int wanted);
    // Records that `addedGap` points of left gap are ours to take back.
    bool writeState(int addedGap);

    std::shared_ptr<SwayIpc> m_ipc;
    QString m_stateFile;
    // The configuration's default left gap; none when it cannot be told, and
    // then the default is left alone.
    std::optional<int> m_defaultGap;
    QPointer<QWindow> m_window;
    QRectF m_frame;
    int m_addedGap = 0;
    bool m_docked = false;
    // A window not in the tree yet is looked for again, a bounded number of
    // times per dock() call.
    QTimer m_retry;
    int m_retriesLeft = 0;
};

// The default left outer gap that sway's configuration text (GET_CONFIG)
// sets: its last top-level `gaps outer|horizontal|left N` line, else 0. None
// when a line that sets it uses a variable or is not understood.
std::optional<int> swayDefaultLeftGap(const QString &config);

} // namespace tarni
