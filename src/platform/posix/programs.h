#pragma once

#include "platform/programs.h"

namespace quarin::posix {

// posix_spawnp() with an argument vector, never a shell. The child gets only descriptors 0, 1
// and 2, its own session, and a small thread that reaps it by its pid alone, so no zombie stays
// and no other code's child is taken.
class PosixProgramStarter : public ProgramStarter
{
public:
    // hidden: standard input, output and error go to /dev/null.
    bool start(const std::vector<std::string>& argv, bool hidden) override;
    bool exists(const std::string& path) const override;
};

} // namespace quarin::posix
