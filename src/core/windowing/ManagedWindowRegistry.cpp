#include "windowing/ManagedWindowRegistry.h"

#include <algorithm>

namespace tarni {

void ManagedWindowRegistry::registerWindow(const QString &identifier, const Registration &registration)
{
    const auto old = m_records.constFind(identifier);
    const bool hasOld = old != m_records.constEnd();

    ManagedWindowRecord merged;
    merged.identifier = identifier;
    merged.appPID = registration.appPID ? registration.appPID : (hasOld ? old->appPID : std::nullopt);
    merged.windowTitle = registration.windowTitle ? registration.windowTitle
                                                  : (hasOld ? old->windowTitle : std::nullopt);
    merged.windowHandle = registration.windowHandle ? registration.windowHandle
                                                    : (hasOld ? old->windowHandle : std::nullopt);
    merged.originalFrame = hasOld && old->originalFrame ? old->originalFrame : registration.originalFrame;
    merged.currentFrame = hasOld && old->currentFrame ? old->currentFrame : registration.originalFrame;
    // The state belongs with the original frame: whichever registration
    // supplied the frame also supplies the state.
    if (hasOld && old->originalFrame)
        merged.originalState = old->originalState;
    else
        merged.originalState = registration.originalState ? registration.originalState
                                                          : (hasOld ? old->originalState : std::nullopt);
    m_records.insert(identifier, std::move(merged));
    changed();
}

void ManagedWindowRegistry::registerWindow(const QString &identifier, std::optional<QRectF> originalFrame,
                                           std::optional<std::int32_t> appPID,
                                           std::optional<QString> windowTitle)
{
    registerWindow(identifier, Registration{originalFrame, appPID, std::move(windowTitle), std::nullopt, std::nullopt});
}

void ManagedWindowRegistry::updateCurrentFrame(const QString &identifier, const QRectF &frame)
{
    const auto it = m_records.find(identifier);
    if (it != m_records.end() && it->currentFrame != frame) {
        it->currentFrame = frame;
        changed();
    }
}

void ManagedWindowRegistry::updateOriginalNormalFrame(const QString &identifier, const QRectF &frame)
{
    const auto it = m_records.find(identifier);
    if (it != m_records.end() && it->originalState && !it->originalState->normalFrame) {
        it->originalState->normalFrame = frame;
        changed();
    }
}

std::optional<QRectF> ManagedWindowRegistry::originalFrame(const QString &identifier) const
{
    const auto it = m_records.constFind(identifier);
    return it == m_records.constEnd() ? std::nullopt : it->originalFrame;
}

std::optional<ManagedWindowRecord> ManagedWindowRegistry::record(const QString &identifier) const
{
    const auto it = m_records.constFind(identifier);
    if (it == m_records.constEnd())
        return std::nullopt;
    return *it;
}

QList<ManagedWindowRecord> ManagedWindowRegistry::recordsNeedingRestore() const
{
    // Sorted by key rather than as records: GCC 12 misreads moving records
    // with an optional title inside the sort as use of uninitialised memory.
    QStringList identifiers;
    for (auto it = m_records.cbegin(); it != m_records.cend(); ++it) {
        if (it->originalFrame)
            identifiers.append(it.key());
    }
    // Plain code-unit order, independent of the locale, like the platform's
    // default string comparison.
    std::sort(identifiers.begin(), identifiers.end(),
              [](const QString &a, const QString &b) { return QString::compare(a, b, Qt::CaseSensitive) < 0; });
    QList<ManagedWindowRecord> result;
    result.reserve(identifiers.size());
    for (const QString &identifier : std::as_const(identifiers))
        result.append(m_records.value(identifier));
    return result;
}

bool ManagedWindowRegistry::removeRecord(const QString &identifier)
{
    if (m_records.remove(identifier) == 0)
        return false;
    changed();
    return true;
}

void ManagedWindowRegistry::insertRecord(const ManagedWindowRecord &record)
{
    m_records.insert(record.identifier, record);
    changed();
}

} // namespace tarni
