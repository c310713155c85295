#include "archive/extraction_plan.h"

#include <utility>
#include <vector>

#include "archive/entry_name.h"
#include "archive/format.h"
#include "platform/errors.h"

namespace lumora {

ExtractionPlan::ExtractionPlan(FileSystem& files, std::string extract_dir)
    : files_(files), dir_(std::move(extract_dir)) {}

std::string ExtractionPlan::Folded(const std::string& name) {
  std::string folded = files_.FoldCase(name);
  for (char& c : folded) {
    if (c == '/') c = '\\';
  }
  return folded;
}

void ExtractionPlan::Assume(const std::string& name, EntryKind kind) {
  assumed_[Folded(name)] = kind;
  known_folders_.clear();
}

EntryKind ExtractionPlan::Planned(const std::string& folded) {
  if (files_made_.count(folded) != 0) return EntryKind::kFile;
  // A folder is made when it, or a folder below it, is kept.
  const std::string folder = folded + '\\';
  auto it = folders_.lower_bound(folder);
  if (it != folders_.end() && it->compare(0, folder.size(), folder) == 0) {
    return EntryKind::kDirectory;
  }
  auto assumed = assumed_.find(folded);
  return assumed == assumed_.end() ? EntryKind::kNone : assumed->second;
}

bool ExtractionPlan::InFreshFolder(const std::string& folder) {
  if (fresh_.empty() || folder.empty()) return false;
  auto known = folder_fresh_.find(folder);
  if (known != folder_fresh_.end()) return known->second;
  bool fresh = false;
  for (size_t cut = folder.find('\\'); cut != std::string::npos && !fresh;
       cut = folder.find('\\', cut + 1)) {
    fresh = fresh_.count(folder.substr(0, cut + 1)) != 0;
  }
  folder_fresh_[folder] = fresh;
  return fresh;
}

EntryKind ExtractionPlan::KindOf(const std::string& name, bool create) {
  const std::string folded = Folded(name);
  const EntryKind planned = Planned(folded);
  if (planned != EntryKind::kNone || assumed_.count(folded) != 0) return planned;
  if (InFreshFolder(EntryFolder(folded))) return EntryKind::kNone;
  return create ? files_.KindForCreate(dir_ + name) : files_.Kind(dir_ + name);
}

EntryKind ExtractionPlan::KindAfter(const std::string& name) { return KindOf(name); }

bool ExtractionPlan::IsFolder(const std::string& folder) {
  if (folder.empty() || known_folders_.count(folder) != 0) return true;
  if (KindOf(folder.substr(0, folder.size() - 1)) != EntryKind::kDirectory) return false;
  known_folders_.insert(folder);
  return true;
}

void ExtractionPlan::AddDirectory(const std::string& name) {
  std::string path = Folded(name);
  if (path.back() != '\\') path.push_back('\\');
  // A folder name longer than the system takes is refused, before anything is written.
  if (!files_.PathFits(dir_ + path.substr(0, path.size() - 1), true)) {
    throw IoError(errc::kPathNotFound);
  }
  // The folders of the chain, by the length of each ("A", "A\B", ...).
  std::vector<size_t> ends;
  for (size_t cut = path.find('\\'); cut != std::string::npos; cut = path.find('\\', cut + 1)) {
    ends.push_back(cut);
  }
  if (ends.empty() || IsFolder(path.substr(0, ends.back() + 1))) return;
  // From the top down: folders that stand are passed, the first missing one and all below
  // it are created, and a file (or anything else) in the way stops the chain.
  for (size_t i = 0; i < ends.size(); ++i) {
    const EntryKind kind = KindOf(path.substr(0, ends[i]));
    if (kind == EntryKind::kDirectory) continue;
    // The deepest folder stands for the whole chain: memory grows with the names' length.
    if (kind == EntryKind::kNone) {
      folders_.insert(path.substr(0, ends.back() + 1));
      fresh_.insert(path.substr(0, ends[i] + 1));
      entries_made_ += static_cast<int64_t>(ends.size() - i);
    }
    return;
  }
}

void ExtractionPlan::NeedWritable(const std::string& name, bool create) {
  const EntryKind kind = KindOf(name, create);
  if (kind != EntryKind::kNone && kind != EntryKind::kFile) throw IoError(errc::kAccessDenied);
}

bool ExtractionPlan::AddFile(const std::string& name) {
  const std::string folder = EntryFolder(name);
  const std::string base = name.substr(folder.size());
  // The working name a new file is written under, numbered as extraction numbers it.
  const std::string working = folder + WorkingName(new_files_);
  if (base.empty() || !files_.PathFits(dir_ + name, false) ||
      !files_.PathFits(dir_ + working, false)) {
    throw IoError(errc::kPathNotFound);
  }
  if (IsWorkingFileName(name)) throw IoError(errc::kAccessDenied);
  if (!IsFolder(folder)) throw IoError(errc::kPathNotFound);
  const EntryKind kind = KindOf(name);
  if (kind == EntryKind::kFile) {
    NeedWritable(format::kScratchName, true);
    return true;
  }
  if (kind != EntryKind::kNone || base == "." || base == "..") throw IoError(errc::kAccessDenied);
  // The working name it is written under; one left by a run cut short is removed first,
  // and anything but a file there stops extraction.
  NeedWritable(working, false);
  ++new_files_;
  if (files_made_.insert(Folded(name)).second) ++entries_made_;
  return false;
}

}  // namespace lumora
