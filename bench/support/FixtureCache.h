#pragma once

#include <memory>

namespace tarni::bench {

// The fixture of the last size asked for, made again when another size is
// asked for: a benchmark's runs at one size share one (slow to make) tree.
template <typename Fixture>
Fixture &fixtureOfSize(int count)
{
    static std::unique_ptr<Fixture> current;
    static int made = 0;
    if (!current || made != count) {
        current.reset();
        current = std::make_unique<Fixture>(count);
        made = count;
    }
    return *current;
}

} // namespace tarni::bench
