// The tokens a launching core hands to a service: its registration token,
// and the core's own token. The core puts
// it in the environment variable TARVOLT_TOKEN, never on the command line,
// which every local user can read in /proc/<pid>/cmdline; the environment of
// a process is readable only by its owner.
//
// Thread-safety: `takeLaunchToken` changes the environment; call it from
// main before any other thread starts.
#pragma once

#include <string>

// The name of the environment variable that carries the token.
extern const char* const kLaunchTokenVariable;
// The variable that carries the core's own token, which the core presents
// when it asks the service to shut down or restart.
extern const char* const kCoreTokenVariable;

// Returns `fromCommandLine` when it is not empty (a manual start with
// --token=), else the token found in the environment, or "" when there is
// none. Removes the variable either way, so that processes the service
// starts do not inherit it.
std::string takeLaunchToken(const std::string& fromCommandLine);
