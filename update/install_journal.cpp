#include "update/install_journal.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <utility>

#include "update/path_rules.h"
#include "update/utf8.h"

namespace kov::update {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kFormatLine = "format=1";
constexpr std::string_view kEndLine = "end";
constexpr std::pair<JournalState, std::string_view> kStateNames[] = {
    {JournalState::Replacing, "replacing"},
    {JournalState::RollingBack, "rolling-back"},
    {JournalState::Complete, "complete"}};

bool StartsWithReservedPrefix(std::string_view name) {
  return name.size() >= kReservedPrefix.size() &&
         std::equal(kReservedPrefix.begin(), kReservedPrefix.end(), name.begin(),
                    [](char reserved, char c) {
                      return reserved == std::tolower(static_cast<unsigned char>(c));
                    });
}

std::string JournalText(const Journal& journal, const std::string& backup_dir) {
  std::string text(kFormatLine);
  for (const auto& [state, name] : kStateNames) {
    if (state == journal.state) text += "\nstate=" + std::string(name);
  }
  text += "\nbackup=" + backup_dir + "\n";
  for (const JournalEntry& entry : journal.entries) {
    text += (entry.existed ? "replaced=" : "added=") + entry.relative_path + "\n";
  }
  text += kEndLine;
  text += '\n';
  return text;
}

std::optional<JournalState> StateNamed(std::string_view name) {
  for (const auto& [state, known] : kStateNames) {
    if (known == name) return state;
  }
  return std::nullopt;
}

// An entry line is trusted only when its path is one the manifest could have given, so a
// damaged record can never lead recovery outside the installation.
bool ParseEntry(std::string_view value, bool existed, Journal& journal) {
  std::string normalized;
  if (!NormalizeRelativePath(value, normalized, nullptr) || normalized != value) {
    return false;
  }
  journal.entries.push_back({normalized, existed});
  return true;
}

bool ParseLine(std::string_view line, Journal& journal, bool& has_state, bool& has_backup) {
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) return false;
  const std::string_view key = line.substr(0, equals);
  const std::string_view value = line.substr(equals + 1);
  if (key == "state") {
    const auto state = StateNamed(value);
    if (state) journal.state = *state;
    return has_state = state.has_value();
  }
  if (key == "backup") {
    const auto backup = TryPathFromUtf8(value);
    if (backup) journal.backup_dir = *backup;
    return has_backup = backup && platform::IsAbsoluteJobPath(*backup);
  }
  if (key == "replaced" || key == "added") return ParseEntry(value, key == "replaced", journal);
  return false;
}

bool ParseJournal(const std::string& text, Journal& journal) {
  std::vector<std::string_view> lines;
  std::string_view rest(text);
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) return false;
    lines.push_back(rest.substr(0, end));
    rest.remove_prefix(end + 1);
  }
  if (lines.size() < 2 || lines.front() != kFormatLine || lines.back() != kEndLine) return false;
  bool has_state = false;
  bool has_backup = false;
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    if (!ParseLine(lines[i], journal, has_state, has_backup)) return false;
  }
  return has_state && has_backup;
}

}  // namespace

bool HasReservedName(std::string_view relative_path) {
  while (true) {
    const std::size_t slash = relative_path.find('/');
    if (StartsWithReservedPrefix(relative_path.substr(0, slash))) return true;
    if (slash == std::string_view::npos) return false;
    relative_path.remove_prefix(slash + 1);
  }
}

bool IsReservedFileName(const fs::path& name) {
  return StartsWithReservedPrefix(TryUtf8Path(name).value_or(""));
}

fs::path JournalPath(const fs::path& install_dir) {
  return install_dir / (std::string(kReservedPrefix) + "journal");
}

fs::path JournalTemporaryPath(const fs::path& install_dir) {
  fs::path temporary = JournalPath(install_dir);
  temporary += ".tmp";
  return temporary;
}

fs::path LockPath(const fs::path& install_dir) {
  return install_dir / (std::string(kReservedPrefix) + "lock");
}

std::error_code WriteJournal(const fs::path& install_dir, const Journal& journal,
                             const InstallFileOps& ops) {
  const auto backup_dir = TryUtf8Path(journal.backup_dir);
  if (!backup_dir) return std::make_error_code(std::errc::illegal_byte_sequence);
  const fs::path temporary = JournalTemporaryPath(install_dir);
  std::error_code cause = ops.write_file(temporary, JournalText(journal, *backup_dir));
  if (!cause) cause = ops.flush_file(temporary);
  if (!cause) cause = ops.move_file(temporary, JournalPath(install_dir));
  if (cause) ops.remove_file(temporary);
  return cause;
}

std::error_code RemoveJournal(const fs::path& install_dir, const InstallFileOps& ops) {
  if (const std::error_code cause = ops.remove_file(JournalPath(install_dir))) return cause;
  return ops.sync_folder(install_dir);
}

JournalFound ReadJournal(const fs::path& install_dir, Journal& journal) {
  const fs::path path = JournalPath(install_dir);
  std::error_code ec;
  if (fs::symlink_status(path, ec).type() == fs::file_type::not_found) return JournalFound::None;
  std::ifstream in(path, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  journal = {};
  return in && ParseJournal(text, journal) ? JournalFound::Readable : JournalFound::Damaged;
}

}  // namespace kov::update
