#include "sync/HybridClock.h"

#include "sync/DeviceId.h"

#include <QDateTime>

#include <algorithm>
#include <cstdio>
#include <tuple>

namespace tarni::sync {

namespace {

// The value of exactly `digits` decimal digits, or -1.
qint64 readDigits(std::string_view text)
{
    qint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

bool SyncClock::isValid() const
{
    return ms >= 0 && ms <= kMaxMs && counter >= 0 && counter <= kMaxCounter && !device.isNull();
}

std::string SyncClock::toText() const
{
    Q_ASSERT(ms >= 0 && ms <= 9'999'999'999'999'999 && counter >= 0 && counter <= kMaxCounter);
    char head[16 + 1 + 5 + 2];
    std::snprintf(head, sizeof head, "%016lld-%05d-", static_cast<long long>(ms), counter);
    return head + deviceIdText(device);
}

std::optional<SyncClock> SyncClock::fromText(std::string_view text)
{
    if (text.size() != kTextLength || text[16] != '-' || text[22] != '-')
        return std::nullopt;
    const qint64 ms = readDigits(text.substr(0, 16));
    const qint64 counter = readDigits(text.substr(17, 5));
    const auto device = parseDeviceId(text.substr(23));
    if (ms < 0 || ms > kMaxMs || counter < 0 || !device)
        return std::nullopt;
    return SyncClock{ms, int(counter), *device};
}

std::strong_ordering SyncClock::operator<=>(const SyncClock &other) const
{
    if (auto order = ms <=> other.ms; order != 0)
        return order;
    if (auto order = counter <=> other.counter; order != 0)
        return order;
    return compareDeviceIds(device, other.device) <=> 0;
}

qint64 HybridClock::systemWallClock()
{
    return QDateTime::currentMSecsSinceEpoch();
}

HybridClock::HybridClock(QUuid device, WallClock wall, std::optional<SyncClock> last)
    : m_device(device)
    , m_wall(std::move(wall))
    , m_last(last)
{
    if (m_last)
        m_last->device = m_device;
}

SyncClock HybridClock::next()
{
    // A wall clock set before 1970 or past the year 9999 is no use as one.
    const qint64 now = std::clamp(m_wall(), qint64(0), SyncClock::kMaxMs);
    SyncClock clock{now, 0, m_device};
    if (m_last && m_last->ms >= now) {
        clock.ms = m_last->ms;
        clock.counter = m_last->counter + 1;
        // Past the counter's digits the clock takes the next millisecond:
        // a little ahead of the wall clock, but still in order. (Only a
        // device that observed a clock in the last millisecond of 9999 can
        // go past kMaxMs this way; others then refuse its clocks.)
        if (clock.counter > SyncClock::kMaxCounter) {
            ++clock.ms;
            clock.counter = 0;
        }
    }
    m_last = clock;
    return clock;
}

void HybridClock::observe(const SyncClock &received)
{
    if (!received.isValid())
        return;
    if (!m_last || std::tie(received.ms, received.counter) > std::tie(m_last->ms, m_last->counter))
        m_last = SyncClock{received.ms, received.counter, m_device};
}

std::optional<SyncClock> HybridClock::last() const
{
    return m_last;
}

} // namespace tarni::sync
