// Runs a program of the build as a user would: arguments, an environment,
// bytes on its standard input, and its standard output and error collected
// while it runs. POSIX fork/exec with pipes, or CreateProcess with pipes on
// Windows (also under wine).
#ifndef VEMNET_TEST_CHILD_PROCESS_H
#define VEMNET_TEST_CHILD_PROCESS_H

#include <memory>
#include <string>
#include <vector>

namespace testing_support {

class ChildProcess {
public:
    ChildProcess();
    // Kills a child that still runs, then waits for it and its readers.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // argv[0] is the program's path. env holds "NAME=VALUE" entries that are
    // added to (or replace those of) the test's own environment; "NAME=" with
    // nothing after it removes NAME. The child inherits no handle of the test
    // but its three pipes. False when the program cannot be started.
    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

    // Feeds bytes to the child's standard input from a thread of its own, so
    // that a child that does not read cannot block the test; the input is
    // closed after them when closeAfter is true.
    void FeedStdin(const std::string& bytes, bool closeAfter = true);
    // Closes the child's standard input (after anything still being fed).
    void CloseStdin();

    // Waits at most ms for the child to end and returns its exit code; kills
    // it and returns -1 when it does not end in time.
    int Wait(int ms);
    bool TimedOut() const;

    // What the child wrote so far (all of it once Wait returned).
    std::string Stdout() const;
    std::string Stderr() const;
    // Polls until the child's standard error contains text; false after ms
    // or when the child ended without writing it.
    bool WaitStderrContains(const std::string& text, int ms) const;
    // Polls until the child wrote at least n bytes to standard output.
    bool WaitStdoutSize(size_t n, int ms) const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

struct ChildResult {
    int code = -1;          // exit code; -1 when it had to be killed
    std::string out;
    std::string err;
};

// Runs argv to its end with input on its standard input (then closed), at
// most ms milliseconds.
ChildResult RunChild(const std::vector<std::string>& argv, const std::string& input, int ms,
                     const std::vector<std::string>& env = {});

// A file beside the running test program, given relative to its directory
// with '/' separators ("../../vemnet-cat"); ".exe" is appended on Windows.
std::string BuildProgramPath(const std::string& relative);

bool FileExists(const std::string& path);

}  // namespace testing_support

#endif
