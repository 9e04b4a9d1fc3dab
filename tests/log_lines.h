#pragma once

// Matchers for the update log's lines, shared by the tests that read a log.

#include <gmock/gmock.h>

#include <string_view>

namespace kov::test {

// A log line "system error: N" with the platform's own nonzero error number.
MATCHER(IsSystemErrorLine, "is a system error line") {
  constexpr std::string_view kPrefix = "system error: ";
  const std::string_view line(arg);
  if (!line.starts_with(kPrefix)) return false;
  const std::string_view digits = line.substr(kPrefix.size());
  return !digits.empty() && digits[0] != '0' &&
         digits.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace kov::test
