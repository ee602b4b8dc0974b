#include "SyncthingPair.h"

#include "TaskSupport.h"

#include "platform/syncthing/SyncthingLink.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QThread>

namespace tarni::test {

namespace {

// Whether the Syncthing behind `link` is connected to `peer`.
bool isConnected(SyncthingLink &link, const QString &peer)
{
    const auto answer = runTask(link.get(QStringLiteral("/rest/system/connections")));
    return answer && answer->toObject()
                         .value(QLatin1String("connections"))
                         .toObject()
                         .value(peer)
                         .toObject()
                         .value(QLatin1String("connected"))
                         .toBool();
}

SyncthingLink::Options linkTo(const SyncthingInstance &instance)
{
    SyncthingLink::Options options;
    options.home = instance.home();
    options.timeout = std::chrono::seconds(2);
    return options;
}

} // namespace

std::unique_ptr<SyncthingPair> SyncthingPair::start(const QString &root, QString *error, std::chrono::milliseconds deadline)
{
    const QDeadlineTimer timer(deadline);
    std::unique_ptr<SyncthingPair> pair(new SyncthingPair);
    const QDir dir(root);
    pair->m_folderA = dir.filePath(QStringLiteral("a/folder"));
    pair->m_folderB = dir.filePath(QStringLiteral("b/folder"));
    if (!QDir().mkpath(pair->m_folderA) || !QDir().mkpath(pair->m_folderB)) {
        *error = QStringLiteral("cannot make the folders below ") + root;
        return nullptr;
    }
    pair->m_a = SyncthingInstance::create(dir.filePath(QStringLiteral("a/home")), QStringLiteral("a"), error);
    if (!pair->m_a)
        return nullptr;
    pair->m_b = SyncthingInstance::create(dir.filePath(QStringLiteral("b/home")), QStringLiteral("b"), error);
    if (!pair->m_b)
        return nullptr;
    SyncthingInstance &a = *pair->m_a;
    SyncthingInstance &b = *pair->m_b;
    const QString id = QString::fromLatin1(kFolderId);
    if (!a.configure({{b.deviceId(), b.listenPort()}}, {{id, pair->m_folderA, {b.deviceId()}}}, error) ||
        !b.configure({{a.deviceId(), a.listenPort()}}, {{id, pair->m_folderB, {a.deviceId()}}}, error))
        return nullptr;
    const auto remaining = [&] { return std::chrono::milliseconds(std::max<qint64>(1, timer.remainingTime())); };
    if (!a.start(error, remaining()) || !b.start(error, remaining()))
        return nullptr;

    SyncthingLink linkA(linkTo(a));
    SyncthingLink linkB(linkTo(b));
    while (!isConnected(linkA, b.deviceId()) || !isConnected(linkB, a.deviceId())) {
        if (timer.hasExpired()) {
            *error = QStringLiteral("the two Syncthings did not connect\n") + pair->logs();
            return nullptr;
        }
        QThread::msleep(100);
    }
    return pair;
}

SyncthingPair::~SyncthingPair()
{
    stop();
}

void SyncthingPair::stop()
{
    if (m_a)
        m_a->stop();
    if (m_b)
        m_b->stop();
}

QString SyncthingPair::logs() const
{
    QString logs;
    if (m_a)
        logs += QStringLiteral("--- a:\n") + m_a->log();
    if (m_b)
        logs += QStringLiteral("--- b:\n") + m_b->log();
    return logs;
}

bool SyncthingPair::waitForFile(const QString &folder, const QString &relativePath, const QByteArray &bytes,
                                std::chrono::milliseconds deadline, QString *error)
{
    const QString path = QDir(folder).filePath(relativePath);
    const QDeadlineTimer timer(deadline);
    QString last = QStringLiteral("no file");
    for (;;) {
        QFile file(path);
        if (QFileInfo(path).isFile() && file.open(QIODevice::ReadOnly)) {
            const QByteArray found = file.readAll();
            if (found == bytes)
                return true;
            last = QStringLiteral("%1 other bytes").arg(found.size());
        }
        if (timer.hasExpired()) {
            *error = QStringLiteral("%1 after %2 ms: %3").arg(path).arg(deadline.count()).arg(last);
            return false;
        }
        QThread::msleep(50);
    }
}

} // namespace tarni::test
