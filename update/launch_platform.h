#pragma once

// Shared by the platform launchers: which environment entries a started program must not see.

#include <string_view>

namespace kov::update {

// They steer the launcher's own update tests; a program started after an update must not
// inherit them, or it would test instead of running.
inline constexpr std::string_view kUpdateTestVariables[] = {
    "RX9_UPDATE_TEST", "RX9_UPDATE_TEST_CURRENT_VERSION", "RX9_UPDATE_TEST_RELEASE_JSON",
    "RX9_UPDATE_TEST_ASSET_SHA256"};

// True when an environment entry "name=value" sets one of the test variables, as judged by
// same_name(entry's name, test variable's name). Entries without "=" name nothing; entries
// beginning with "=" (per-drive folders on Windows) have an empty name, which never matches.
template <class Char, class SameName>
bool SetsUpdateTestVariable(std::basic_string_view<Char> entry, SameName same_name) {
  const auto equals = entry.find(Char('='));
  if (equals == entry.npos) return false;
  const auto name = entry.substr(0, equals);
  for (std::string_view test_name : kUpdateTestVariables) {
    if (same_name(name, test_name)) return true;
  }
  return false;
}

}  // namespace kov::update
