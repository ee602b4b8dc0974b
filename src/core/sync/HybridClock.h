#pragma once

#include <QUuid>
#include <QtGlobal>

#include <compare>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarni::sync {

// One change's place in time: the writing machine's wall clock in
// milliseconds, a counter for changes within one millisecond, and the
// device, which makes two clocks of different machines never equal.
//
// The text form is "<16-digit ms>-<5-digit counter>-<device id>", so that
// text order is clock order. Milliseconds run to the end of the year 9999,
// as our timestamps do; a clock beyond that is refused when read.
struct SyncClock {
    static constexpr qint64 kMaxMs = 253'402'300'799'999; // 9999-12-31T23:59:59.999Z
    static constexpr int kMaxCounter = 99'999;
    static constexpr std::size_t kTextLength = 16 + 1 + 5 + 1 + 36;

    qint64 ms = 0;
    int counter = 0;
    QUuid device;

    bool isValid() const;
    std::string toText() const;
    // Exactly the text form, the device id in lower case; anything else
    // (other widths, signs, spaces, upper case, the null device) is none.
    static std::optional<SyncClock> fromText(std::string_view text);

    std::strong_ordering operator<=>(const SyncClock &other) const;
    bool operator==(const SyncClock &other) const = default;
};

// Gives this device's clocks. Each one is later than every clock given
// before and every clock observed before, whatever the wall clock does.
class HybridClock {
public:
    // Milliseconds since the epoch.
    using WallClock = std::function<qint64()>;
    static qint64 systemWallClock();

    // `last` is the state kept from an earlier run (last()), if any.
    explicit HybridClock(QUuid device, WallClock wall = systemWallClock,
                         std::optional<SyncClock> last = std::nullopt);

    // The clock of a local change.
    SyncClock next();
    // A received change: the clocks given after it are later than it.
    void observe(const SyncClock &received);

    // What to keep for the next run: at least the newest clock given or
    // observed, with this device's id.
    std::optional<SyncClock> last() const;
    const QUuid &device() const { return m_device; }

private:
    QUuid m_device;
    WallClock m_wall;
    std::optional<SyncClock> m_last;
};

} // namespace tarni::sync
