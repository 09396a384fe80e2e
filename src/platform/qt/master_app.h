#pragma once

namespace quarin::qt {

// The application: the window, the OS adapters and the console, for one run of the program.
class CMasterApp
{
public:
    CMasterApp(int& argc, char** argv);
    CMasterApp(const CMasterApp&) = delete;
    CMasterApp& operator=(const CMasterApp&) = delete;

    // Runs the console modally and returns the program's exit code once it has closed.
    int run();

private:
    int& m_argc;
    char** m_argv;
};

} // namespace quarin::qt
