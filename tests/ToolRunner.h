// Runs a built program as a child process and captures what it printed.
#ifndef KQ_TOOL_RUNNER_H
#define KQ_TOOL_RUNNER_H

#include <sys/types.h>

#include <string>
#include <vector>

// The lines of a tool's output, without their line feeds; a last line
// without one counts too.
std::vector<std::string> splitLines(const std::string& s);

// The texts of the log lines in out, in order ("[... ] text" without the
// line feed); other lines go to pOther.
std::vector<std::string> loggedTexts(const std::string& out,
                                     std::vector<std::string>* pOther = nullptr);

// A new directory under /tmp, removed at the end with what it holds (files,
// FIFOs, empty directories), pass or fail.
class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    bool ok() const { return !m_strPath.empty(); }
    const std::string& path() const { return m_strPath; }
    std::string file(const std::string& name) const {
        return m_strPath + "/" + name;
    }
    // What it holds now, sorted by name.
    std::vector<std::string> names() const;
    // Makes (or replaces) the file name holding bytes.
    void put(const std::string& name, const std::string& bytes) const;

private:
    std::string m_strPath;
};

struct ToolResult {
    std::string out;
    std::string err;
    int exitStatus = -1;  // -1 when it did not exit normally
    int termSignal = 0;   // the signal that ended it, if one did
};

// Runs program with args (argv[0] is program itself), stdin from /dev/null
// and TZ=UTC unless env overrides it ("NAME=value" entries are added, a
// bare "NAME" is removed from the environment).
// A run longer than timeoutMs is killed with SIGKILL.
ToolResult runTool(const std::string& program,
                   const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {},
                   int timeoutMs = 10000);

// Runs program as runTool does, but with standard output on fdStdout (a
// file or device the caller opened, such as /dev/full); out stays empty.
ToolResult runToolWithStdout(const std::string& program,
                             const std::vector<std::string>& args,
                             int fdStdout, int timeoutMs = 10000);

// Runs program as runTool does, but with standard output on a new
// pseudo-terminal, its output processing off so that out holds exactly the
// bytes the program wrote.
ToolResult runToolOnTerminal(const std::string& program,
                             const std::vector<std::string>& args,
                             const std::vector<std::string>& env = {},
                             int timeoutMs = 10000);

// A program running in the background with stdout and stderr on pipes, for
// tests that watch its output while it runs and stop it with a signal.
// Started as runTool starts it (stdin /dev/null, TZ=UTC unless env says
// otherwise). The destructor kills it with SIGKILL if it still runs.
class BackgroundTool {
public:
    BackgroundTool(const std::string& program,
                   const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {});
    ~BackgroundTool();
    BackgroundTool(const BackgroundTool&) = delete;
    BackgroundTool& operator=(const BackgroundTool&) = delete;

    bool started() const { return m_pid > 0; }
    // Reads what arrives until stdout holds at least nBytes or timeoutMs
    // has passed; true when it holds them.
    bool waitForOut(size_t nBytes, int timeoutMs);
    const std::string& out() const { return m_strOut; }
    const std::string& err() const { return m_strErr; }
    bool sendSignal(int iSignal);
    // Reads both streams to their end and reaps the process; after
    // timeoutMs it is killed with SIGKILL.
    ToolResult finish(int timeoutMs = 10000);

private:
    // One poll of both pipes for at most timeoutMs; false once both ended.
    bool pump(int timeoutMs);

    pid_t m_pid = -1;
    int m_fdOut = -1;
    int m_fdErr = -1;
    std::string m_strOut;
    std::string m_strErr;
};

#endif
