// Feeds arbitrary bytes to NormalizeRelativePath and checks the shape of every accepted form.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/path_rules.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckSegments(std::string_view normalized) {
  for (;;) {
    const std::size_t slash = normalized.find('/');
    const std::string_view segment = normalized.substr(0, slash);
    Require(!segment.empty() && segment != "." && segment != "..");
    Require(segment.size() <= 255);
    if (slash == std::string_view::npos) return;
    normalized.remove_prefix(slash + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string normalized;
  std::string reason;
  const bool accepted = kov::update::NormalizeRelativePath(input, normalized, &reason);

  std::string safe_reason;
  Require(kov::update::IsSafeRelativePath(input, &safe_reason) == accepted);
  Require(safe_reason == (accepted ? std::string() : reason));
  if (!accepted) {
    Require(!reason.empty());
    return 0;
  }

  Require(reason.empty());
  Require(!normalized.empty() && normalized.size() <= 1024);
  Require(normalized.front() != '/' && normalized.back() != '/');
  Require(normalized.find('\\') == std::string::npos);
  CheckSegments(normalized);

  std::string again;
  Require(kov::update::NormalizeRelativePath(normalized, again, nullptr));
  Require(again == normalized);
  kov::update::IsProtectedRelativePath(normalized);
  return 0;
}
