#pragma once

// Two Syncthings on loopback sharing one folder, for tests of sync through
// a shared folder. Each has its own home and its own folder directory and
// knows the other by device id at a static address; nothing is discovered.
// The folder is watched (changes are scanned a second later) and rescanned
// every three seconds, so a change crosses within a few seconds.
//
// Run it in a private network (PrivateNetwork.h): its instances then
// cannot reach, or be reached from, anything else.

#include "SyncthingInstance.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>

namespace tarni::test {

class SyncthingPair {
public:
    static constexpr const char *kFolderId = "tarnibar-shared";

    // Starts both below `root` and waits until they are connected to each
    // other; nothing, with the reason and their logs, on failure.
    static std::unique_ptr<SyncthingPair> start(const QString &root, QString *error,
                                                std::chrono::milliseconds deadline = std::chrono::seconds(60));
    ~SyncthingPair();
    SyncthingPair(const SyncthingPair &) = delete;
    SyncthingPair &operator=(const SyncthingPair &) = delete;

    // The shared folder's directory on each side.
    QString folderA() const { return m_folderA; }
    QString folderB() const { return m_folderB; }
    SyncthingInstance &a() { return *m_a; }
    SyncthingInstance &b() { return *m_b; }

    // Waits until `relativePath` below `folder` is a file holding exactly
    // `bytes`; false, with what was there last, after the deadline.
    static bool waitForFile(const QString &folder, const QString &relativePath, const QByteArray &bytes,
                            std::chrono::milliseconds deadline, QString *error);

    // Stops both; the folders stay.
    void stop();
    QString logs() const;

private:
    SyncthingPair() = default;

    std::unique_ptr<SyncthingInstance> m_a;
    std::unique_ptr<SyncthingInstance> m_b;
    QString m_folderA;
    QString m_folderB;
};

} // namespace tarni::test
