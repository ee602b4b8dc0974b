#pragma once

#include "windowing/ManagedWindowRecord.h"

#include <QHash>
#include <QList>

#include <functional>

namespace tarni {

// The in-memory table of windows the application moved, keyed by identifier.
// Shared by the window controller and the application model; lives as long
// as the process. An observer may mirror it elsewhere (to disk).
class ManagedWindowRegistry {
public:
    struct Registration {
        std::optional<QRectF> originalFrame;
        std::optional<std::int32_t> appPID;
        std::optional<QString> windowTitle;
        std::optional<OriginalWindowState> originalState;
        std::optional<std::uint64_t> windowHandle;
    };

    // Merges into the identifier's record. Given values replace the pid, title
    // and handle; the first original frame and state ever recorded survive any
    // number of later registrations, and the current frame starts as the
    // original one. (`register` is a keyword, hence the name.)
    void registerWindow(const QString &identifier, const Registration &registration);
    void registerWindow(const QString &identifier, std::optional<QRectF> originalFrame,
                        std::optional<std::int32_t> appPID, std::optional<QString> windowTitle);

    // Sets the current frame of an existing record; creates nothing.
    void updateCurrentFrame(const QString &identifier, const QRectF &frame);
    // Records the window's unmaximised frame, once, for a record that keeps an
    // original state without one.
    void updateOriginalNormalFrame(const QString &identifier, const QRectF &frame);

    std::optional<QRectF> originalFrame(const QString &identifier) const;
    std::optional<ManagedWindowRecord> record(const QString &identifier) const;
    // Records with an original frame, ascending by identifier.
    QList<ManagedWindowRecord> recordsNeedingRestore() const;

    bool removeRecord(const QString &identifier);
    // Takes a whole record as it is, e.g. one read back from disk.
    void insertRecord(const ManagedWindowRecord &record);
    const QHash<QString, ManagedWindowRecord> &records() const { return m_records; }
    bool isEmpty() const { return m_records.isEmpty(); }

    // Called after every change of the records.
    void setChangeObserver(std::function<void(const ManagedWindowRegistry &)> observer)
    {
        m_changed = std::move(observer);
    }

private:
    void changed() const
    {
        if (m_changed)
            m_changed(*this);
    }

    QHash<QString, ManagedWindowRecord> m_records;
    std::function<void(const ManagedWindowRegistry &)> m_changed;
};

} // namespace tarni
