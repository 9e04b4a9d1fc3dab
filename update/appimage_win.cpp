#include "update/process.h"

namespace kov::update {

// A Windows launcher cannot replace its running program; it updates through the helper.
bool ApplyAppImageUpdate(const std::filesystem::path&, const std::filesystem::path&,
                         const std::vector<std::string>&, std::string& error) {
  error = "Automatic updates are only available in the Linux AppImage build.";
  return false;
}

bool HasOriginalAppImage(std::filesystem::path&) { return false; }

}  // namespace kov::update
