#pragma once

#include <string>

namespace quarin::test {

// A folder for the UUCP lock files of the serial ports a test opens, never the system's own: one
// for the test process, removed when it ends.
const std::string& testLockDir();

} // namespace quarin::test
