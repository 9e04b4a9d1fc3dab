#include "update/process.h"

#include <stdexcept>
#include <system_error>

#include "update/path_rules.h"
#include "update/update_job.h"

namespace kov::update {

bool LaunchUpdateHelper(const std::filesystem::path& helper, const std::filesystem::path& job_file,
                        std::string& error) {
  if (!IsRegularFile(helper) || !IsRegularFile(job_file)) {
    error = "The update helper is missing from this installation.";
    return false;
  }
  // The helper runs in the job's folder, so a relative job path would point below that folder
  // a second time; hand it over whole.
  std::error_code ec;
  std::filesystem::path job = std::filesystem::absolute(job_file, ec);
  if (ec) job = job_file;
  std::string job_text;
  try {
    job_text = Utf8Path(job);
  } catch (const std::runtime_error&) {
    error = "The update job file's path has no UTF-8 form.";
    return false;
  }
  return LaunchApplication(helper, {"--job", job_text}, job.parent_path(), error, false);
}

bool ApplyAppImageUpdate(const std::filesystem::path&, const std::filesystem::path&,
                         const std::vector<std::string>&, std::string& error) {
  error = "Automatic updates are only available in the Linux AppImage build.";
  return false;
}

bool HasOriginalAppImage(std::filesystem::path&) { return false; }

}  // namespace kov::update
