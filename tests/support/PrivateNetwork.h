#pragma once

#include <string>

namespace tarni::test {

// Moves this process into a network namespace of its own, where only
// loopback exists (brought up here), so that what the test starts can reach
// nothing else and clashes with no port of the machine. Call it first in
// main(), before any thread starts: the threads and processes started later
// inherit the namespace. Without root it makes a user namespace too, where
// the kernel allows that. False, with the reason, when it cannot.
bool enterPrivateNetwork(std::string *error);

} // namespace tarni::test
