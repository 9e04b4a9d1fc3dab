#pragma once

// The sentences of WaitForProcess, shared by its platform forms so that they cannot drift apart.
// They name the launcher whatever process is waited for: the update helper waits for nothing else.

#include <string_view>

namespace kov::update {

inline constexpr std::string_view kWaitCannotOpen = "The launcher process could not be opened.";
inline constexpr std::string_view kWaitTimedOut = "The launcher did not exit in time.";
inline constexpr std::string_view kWaitFailed = "Waiting for the launcher failed.";

}  // namespace kov::update
