// Runs a built program as a child process and captures what it printed.
#ifndef KQ_TOOL_RUNNER_H
#define KQ_TOOL_RUNNER_H

#include <string>
#include <vector>

struct ToolResult {
    std::string out;
    std::string err;
    int exitStatus = -1;  // -1 when it did not exit normally
    int termSignal = 0;   // the signal that ended it, if one did
};

// Runs program with args (argv[0] is program itself), stdin from /dev/null
// and TZ=UTC unless env overrides it ("NAME=value" entries are added).
// A run longer than timeoutMs is killed with SIGKILL.
ToolResult runTool(const std::string& program,
                   const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {},
                   int timeoutMs = 10000);

#endif
