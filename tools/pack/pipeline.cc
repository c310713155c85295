#include "pack/pipeline.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "pack/host.h"

namespace lumora::pack {

namespace {

struct Stopped {};  // thrown inside a job when the run is given up

// A failed write or read of a spill file, naming the folder it lies in: that folder's disk
// being full is the usual cause, and the user can point $TMPDIR elsewhere.
std::runtime_error SpillFailure(const char* what, int error) {
  return std::runtime_error(std::string("cannot ") + what + " a temporary file in " +
                            TemporaryFolder() + ": " + WriteFailure(error != 0 ? error : EIO));
}

// Hands the spilled rest of a member to the writer: exactly the length bytes its job wrote,
// or an error. A stream that fails to seek stays at its end and reads as empty, so every
// step is checked rather than trusted.
void CopySpill(std::FILE* spill, int64_t length, ArchiveWriter& writer) {
  errno = 0;
  if (std::fseek(spill, 0, SEEK_SET) != 0) throw SpillFailure("read", errno);
  std::vector<uint8_t> piece(256 * 1024);
  for (int64_t left = length; left > 0;) {
    const size_t want =
        left < static_cast<int64_t>(piece.size()) ? static_cast<size_t>(left) : piece.size();
    errno = 0;
    const size_t got = std::fread(piece.data(), 1, want, spill);
    if (got != want) {
      if (std::ferror(spill)) throw SpillFailure("read", errno);
      throw std::runtime_error("cannot read a temporary file in " + TemporaryFolder() +
                               ": it holds fewer bytes than were written to it");
    }
    writer.PutFramed(piece.data(), got);
    left -= static_cast<int64_t>(got);
  }
}

// Reads a file a piece at a time for its encoder. A large file is read ahead on a thread
// of its own, into three buffers that go round, so that the encoding thread spends its time
// encoding rather than copying the file out of the system's cache; a small one is read on
// the encoding thread, where a thread would cost more than it saves.
class PieceReader {
 public:
  static constexpr size_t kPiece = 256 * 1024;
  static constexpr int64_t kAheadFrom = 2 * int64_t{kPiece};  // bytes worth a thread

  PieceReader(std::ifstream& in, int64_t size) : in_(in) {
    for (auto& b : buffers_) b.resize(kPiece);
    if (size >= kAheadFrom) reader_ = std::thread([this] { ReadAhead(); });
  }
  ~PieceReader() {
    if (!reader_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    reader_.join();
  }

  // The next piece, which stays valid until the next call; an empty one at the file's end.
  // False when the file cannot be read.
  bool Next(const char** data, size_t* size) {
    if (!reader_.joinable()) {
      in_.read(buffers_[0].data(), static_cast<std::streamsize>(kPiece));
      *data = buffers_[0].data();
      *size = static_cast<size_t>(in_.gcount());
      return !in_.bad();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return filled_ > taken_ || ended_; });
    if (filled_ == taken_) {  // ended, and every piece taken
      *size = 0;
      return !failed_;
    }
    const size_t slot = taken_++ % kBuffers;
    *data = buffers_[slot].data();
    *size = sizes_[slot];
    lock.unlock();
    changed_.notify_all();  // the piece taken before this one is free again
    return true;
  }

 private:
  static constexpr size_t kBuffers = 3;

  void ReadAhead() {
    for (;;) {
      size_t slot = 0;
      {
        // The piece the encoder holds is taken_ - 1: the reader stays out of its buffer.
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return stop_ || filled_ + 1 < taken_ + kBuffers; });
        if (stop_) return;
        slot = filled_ % kBuffers;
      }
      in_.read(buffers_[slot].data(), static_cast<std::streamsize>(kPiece));
      const auto got = static_cast<size_t>(in_.gcount());
      std::lock_guard<std::mutex> lock(mutex_);
      if (in_.bad() || got == 0) {
        failed_ = in_.bad();
        ended_ = true;
      } else {
        sizes_[slot] = got;
        ++filled_;
      }
      changed_.notify_all();
      if (ended_) return;
    }
  }

  std::ifstream& in_;
  std::vector<char> buffers_[kBuffers];
  size_t sizes_[kBuffers] = {};
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t filled_ = 0, taken_ = 0;  // pieces read, and handed to the encoder
  bool ended_ = false, failed_ = false, stop_ = false;
  std::thread reader_;
};

}  // namespace

void MemberPipeline::EncodeOne(const Item& item, size_t index) {
  std::ifstream in(item.source, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + item.shown);
  // The encoder's pieces are gathered and handed on kHandOver bytes at a time: each hand-over
  // takes the lock and wakes the writing thread, which on a small piece costs more than the
  // piece is worth.
  std::vector<uint8_t> gathered;
  gathered.reserve(kHandOver);
  // Hands on what gathered holds and leaves it empty: the buffer itself goes to the writer,
  // and a spare one, if the writer has given one back, takes its place.
  auto hand_over = [this, index, &gathered]() {
    const size_t n = gathered.size();
    std::FILE* spill = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      Slot& slot = slots_[index];
      // A run given up (a failed write, another member's failure) stops every job here, at
      // its next piece, rather than after the whole file.
      if (stop_) throw Stopped{};
      if (!slot.spill && turn_ != index && slot.held + n > kHeldPerMember) {
        slot.spill = TemporaryFile();
        if (!slot.spill) throw SpillFailure("create", errno);
      }
      spill = slot.spill;
      if (!spill) {
        // The member being written: its output goes on as fast as it is written.
        changed_.wait(lock, [&] { return stop_ || slot.held < kHeldPerMember; });
        if (stop_) throw Stopped{};
        slot.pieces.push_back(std::move(gathered));
        slot.held += n;
        gathered.clear();
        if (!spare_.empty()) {
          gathered = std::move(spare_.back());
          spare_.pop_back();
        } else {
          gathered.reserve(kHandOver);
        }
        changed_.notify_all();
        return;
      }
    }
    // Until this job is done, only it touches the file.
    errno = 0;
    if (std::fwrite(gathered.data(), 1, n, spill) != n) throw SpillFailure("write", errno);
    slots_[index].spilled += static_cast<int64_t>(n);
    gathered.clear();
  };
  Encoder encoder(policy_, [&](const uint8_t* data, size_t n) {
    gathered.insert(gathered.end(), data, data + n);
    if (gathered.size() >= kHandOver) hand_over();
  });
  std::error_code ec;
  const auto size = std::filesystem::file_size(item.source, ec);
  PieceReader reader(in, ec ? 0 : static_cast<int64_t>(size));
  for (;;) {
    const char* piece = nullptr;
    size_t got = 0;
    if (!reader.Next(&piece, &got)) throw std::runtime_error("cannot read " + item.shown);
    if (got == 0) break;
    encoder.Feed(reinterpret_cast<const uint8_t*>(piece), got);
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) throw Stopped{};
    slots_[index].decoded += static_cast<int64_t>(got);
    input_ += static_cast<int64_t>(got);
  }
  encoder.Finish();
  if (!gathered.empty()) hand_over();
  // The tail of the spill is still in the stream's buffer: a full disk shows only now, and
  // the job that spilled reports it, before the writer relies on the file.
  if (std::FILE* spill = slots_[index].spill) {
    errno = 0;
    if (std::fflush(spill) != 0 || std::ferror(spill)) throw SpillFailure("write", errno);
  }
}

void MemberPipeline::Work(const std::vector<Item>& items) {
  const size_t window = kWindowPerJob * static_cast<size_t>(jobs_);
  for (;;) {
    size_t index = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return stop_ || next_ >= items.size() || next_ < turn_ + window; });
      if (stop_ || next_ >= items.size()) return;
      index = next_++;
    }
    std::exception_ptr error;
    try {
      if (!items[index].source.empty()) EncodeOne(items[index], index);
    } catch (const Stopped&) {
      return;
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[index].done = true;
    slots_[index].error = error;
    if (error && !failed_) {
      // The run fails whatever comes before this member: every job stops now.
      failed_ = error;
      stop_ = true;
    }
    changed_.notify_all();
  }
}

void MemberPipeline::Run(const std::vector<Item>& items, ArchiveWriter& writer,
                         const Written& written, const Progress& progress) {
  slots_ = std::vector<Slot>(items.size());
  next_ = turn_ = 0;
  stop_ = false;
  failed_ = nullptr;
  input_ = 0;
  std::vector<std::thread> threads;
  auto stop_all = [&] {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : threads) t.join();
  };
  try {
    for (int j = 0; j < jobs_; ++j) threads.emplace_back([this, &items] { Work(items); });
    for (size_t i = 0; i < items.size(); ++i) {
      if (items[i].source.empty()) {
        writer.AddDirectory(items[i].name);
        if (written) written(i, 0, 0);
      } else {
        writer.BeginFile(items[i].name);
        const int64_t before = writer.BytesWritten();
        for (;;) {
          std::vector<uint8_t> piece;
          bool finished = false;
          int64_t input = 0;
          {
            std::unique_lock<std::mutex> lock(mutex_);
            Slot& slot = slots_[i];
            changed_.wait(lock, [&] { return slot.done || !slot.pieces.empty() || failed_; });
            if (failed_) std::rethrow_exception(failed_);
            if (!slot.pieces.empty()) {
              piece = std::move(slot.pieces.front());
              slot.pieces.pop_front();
              slot.held -= piece.size();
            } else {
              if (slot.error) std::rethrow_exception(slot.error);
              finished = true;
            }
            input = input_;
          }
          changed_.notify_all();  // room for the job, or for the window
          if (finished) break;
          writer.PutFramed(piece.data(), piece.size());
          if (progress) progress(input);
          {
            // Kept for the jobs while they have fewer than two each.
            std::lock_guard<std::mutex> lock(mutex_);
            if (spare_.size() < 2 * static_cast<size_t>(jobs_)) {
              piece.clear();
              spare_.push_back(std::move(piece));
            }
          }
        }
        // The rest of a member that outgrew what it may hold in memory.
        if (std::FILE* spill = slots_[i].spill) {
          CopySpill(spill, slots_[i].spilled, writer);
          std::fclose(spill);
          slots_[i].spill = nullptr;
        }
        if (written) written(i, writer.BytesWritten() - before, slots_[i].decoded);
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        turn_ = i + 1;
      }
      changed_.notify_all();
    }
  } catch (...) {
    stop_all();
    for (Slot& slot : slots_) {
      if (slot.spill) std::fclose(slot.spill);
    }
    throw;
  }
  stop_all();
}

}  // namespace lumora::pack
