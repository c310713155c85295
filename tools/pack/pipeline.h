// Encodes the members of an archive on several threads while one thread writes them in
// order, so the archive is byte for byte the one a single thread writes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "archive/writer.h"
#include "codec/encoder.h"

namespace lumora::pack {

// Memory stays bounded whatever the sizes: members are taken in archive order, at most
// kWindowPerJob per job ahead of the one being written, and a member that is not yet the
// one being written holds at most kHeldPerMember bytes of its output in memory; the rest
// goes to a temporary file until its turn comes. The output of the member being written
// goes to the writer as it comes.
class MemberPipeline {
 public:
  struct Item {
    std::string name;              // archive name; a directory's ends in '\'
    std::filesystem::path source;  // the file to read, empty for a directory
    std::string shown;             // the file's path as messages show it
  };
  // Told on the writing thread after each item: its index, compressed and decoded bytes
  // (0 and 0 for a directory).
  using Written = std::function<void(size_t index, int64_t compressed, int64_t decoded)>;
  // Told on the writing thread now and then: input bytes encoded so far, by all jobs.
  using Progress = std::function<void(int64_t input)>;

  static constexpr size_t kWindowPerJob = 4;
  static constexpr size_t kHeldPerMember = size_t{16} << 20;
  static constexpr size_t kHandOver = size_t{256} << 10;  // output bytes a job hands on at once

  MemberPipeline(ClearPolicy policy, int jobs) : policy_(policy), jobs_(jobs < 1 ? 1 : jobs) {}

  // Writes every item in order through writer. Throws what a job or the writer threw,
  // after stopping every job.
  void Run(const std::vector<Item>& items, ArchiveWriter& writer, const Written& written,
           const Progress& progress);

 private:
  struct Slot {
    std::deque<std::vector<uint8_t>> pieces;  // framed output not yet written
    size_t held = 0;                          // bytes in pieces
    std::FILE* spill = nullptr;               // the output after them, when it outgrew that
    int64_t spilled = 0;                      // bytes the job wrote to spill
    bool done = false;
    int64_t decoded = 0;
    std::exception_ptr error;
  };
  void Work(const std::vector<Item>& items);
  void EncodeOne(const Item& item, size_t index);

  ClearPolicy policy_;
  int jobs_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Slot> slots_;
  size_t next_ = 0;  // the next item a job takes
  size_t turn_ = 0;  // the item being written
  bool stop_ = false;
  std::exception_ptr failed_;  // the first failure of a job, which stops every job
  int64_t input_ = 0;
  // Buffers the writer is done with, for the jobs to gather their next pieces in: a fresh
  // buffer of kHandOver bytes would cost the job a page fault every 4 KB.
  std::vector<std::vector<uint8_t>> spare_;
};

}  // namespace lumora::pack
