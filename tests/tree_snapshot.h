#pragma once

// A whole folder tree as a value, for tests that compare an installation before and after.

#include <filesystem>
#include <map>
#include <string>

#include "tests/test_util.h"

namespace kov::test {

using Tree = std::map<std::string, std::string>;

// Every file (with its bytes) below root by generic relative path, and every folder as "<dir>"
// unless folders are left out.
inline Tree Snapshot(const std::filesystem::path& root, bool with_folders = true) {
  Tree tree;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code unresolved;  // a link that leads nowhere counts as a file
    const bool folder = it->is_directory(unresolved);
    if (folder && !with_folders) continue;
    tree[it->path().lexically_relative(root).generic_string()] =
        folder ? "<dir>" : ReadFile(it->path());
  }
  return tree;
}

}  // namespace kov::test
