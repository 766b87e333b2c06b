#pragma once
// The JavaScript engine that runs PAC scripts for the emulated WinHTTP
// (pacparser), with WinHTTP's time limit on an evaluation.
#include <string>

namespace platform::posix {

enum class PacResult {
  Answered,  // FindProxyForURL returned; answer holds what it returned
  Failed,    // the engine could not start, the script did not evaluate, the
             // function is missing, or the call failed
  TimedOut,  // the evaluation did not end within the time limit
};

// How long an evaluation may take: 120 seconds. WinHTTP runs PAC scripts
// out of process and waits for the answer as long as the session's
// timeouts add up to; WinHttpOpen's defaults are 0 (no limit) to resolve
// names, 60 s to connect, 30 s to send and 30 s to receive.
constexpr unsigned kPacTimeLimitMs = 120000;

// How many children are tried: one found waiting on a lock before its
// engine has started (which runs none of the script) is stuck, and is
// ended and replaced.
constexpr int kPacStartAttempts = 3;

// Runs FindProxyForURL(url, host) of script in a fresh engine, in a child
// process of its own that is ended when the time limit has passed, and
// gives its answer unchanged. url and host are handed over as string
// arguments only: a url or host that could break out of its argument
// (quotes, backslashes, control characters in the host) is refused or
// escaped, never run as code.
[[nodiscard]] PacResult RunPacScript(const std::string& script, const std::string& url,
                                     const std::string& host, std::string& answer);

// Tests shorten the time limit; 0 restores kPacTimeLimitMs.
void SetPacTimeLimitForTesting(unsigned milliseconds);
// Tests run a hook in each child before its engine starts (attempt counts
// from 1); null removes it.
void SetPacChildHookForTesting(void (*childHook)(int attempt));

}  // namespace platform::posix
