#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

// The platform seam: everything the conversion needs from the operating
// system, and nothing more. Each platform implements it in one file; tests use
// an in-memory implementation. Every operation that fails throws
// Module1::Failure with the real cause in its text.
namespace host {

// What the system says of a file's content: when the content changes, so does
// at least one of the two.
struct FileState {
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // modification time, in the system's own units

  friend bool operator==(const FileState&, const FileState&) = default;
};

// One form of a file's ID on its volume, with the serial number of that
// volume; a 64-bit ID has a high half of 0.
struct FileId {
  std::uint64_t volume = 0;
  std::uint64_t high = 0;
  std::uint64_t low = 0;

  friend bool operator==(const FileId&, const FileId&) = default;
};

// Which file an open file is, so that two paths naming one file (through a
// hard or symbolic link) are recognised as the same.
struct FileIdentity {
  // The ID in each form the system gives, each compared only with its like:
  // the 64-bit index with the 32-bit volume serial (Linux: the inode and the
  // device), and on Windows the 128-bit ID with the 64-bit serial.
  FileId id;
  FileId wide_id;
  // The path the system resolves the open file to, links followed, or empty
  // where it cannot say.
  std::string final_path;
  // What tells files apart where IDs cannot: the names the file has, its size
  // and times (the creation time on Windows, the time of the last change of
  // its status on Linux).
  std::uint32_t links = 1;
  FileState state;
  std::int64_t changed = 0;
  // False where the system failed to describe the file at all: then nothing
  // tells it from another.
  bool described = true;
  // Whether equal 64-bit IDs prove one file. Not on Windows: the index of a
  // ReFS file need not be unique, and only the 128-bit ID proves it there.
  bool id_unique = true;

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The causes that every platform words the same, after the file's path.
inline constexpr const char* kInputInUse = "in use by another program";
inline constexpr const char* kOutputInUse = "in use by another program or another run";
inline constexpr const char* kOutputReadOnly = "read-only file; not overwritten";

// How long a file that another program holds is waited for, by the clock,
// and how often it is tried meanwhile: virus scanners, indexers, backup and
// sync clients open a file for a moment just after it was written.
inline constexpr unsigned kHoldWaitMs = 2000;
inline constexpr unsigned kHoldRetryMs = 50;

// Repeats `held_now`, an attempt that says whether another program held the
// file, while it does, for kHoldWaitMs at most; whether it still did.
template <typename Attempt>
bool still_held_after_waiting(Attempt held_now) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHoldWaitMs);
  while (held_now()) {
    if (std::chrono::steady_clock::now() >= deadline) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(kHoldRetryMs));
  }
  return false;
}

// Largest piece handed to one read or write call: older Windows versions
// fail writes of more than 64 MB to network shares.
inline constexpr std::size_t kMaxTransfer = std::size_t{16} << 20;

// A file opened for reading bytes.
class InputFile {
 public:
  virtual ~InputFile() = default;

  // Reads up to `capacity` bytes into `buffer`; returns 0 at the end of the file.
  virtual std::size_t read(char* buffer, std::size_t capacity) = 0;
  virtual void close() = 0;
  // Which file this is, as the system describes it now: a save since the
  // file was opened changes its size and times.
  [[nodiscard]] virtual FileIdentity identity() const = 0;
  // The file's size and modification time as the system reports them now.
  [[nodiscard]] virtual FileState state() const = 0;
};

// A file opened for writing bytes, held for this run alone until it is
// closed, and left as it was until it is emptied.
class OutputFile {
 public:
  virtual ~OutputFile() = default;

  // Which file this is, as the system describes it now.
  [[nodiscard]] virtual FileIdentity identity() const = 0;
  // Whether the file is marked read-only (a device never is).
  [[nodiscard]] virtual bool read_only() const = 0;
  // Empties the file, which is then written with about `expected_size`
  // bytes; a device or pipe has nothing to empty.
  virtual void empty(std::uint64_t expected_size) = 0;

  // Writes all `size` bytes or throws. A write that throws may have written
  // any part of them, whatever the system reported: a file system may store
  // part of a write that it reports as failed without a byte written.
  virtual void write(const char* data, std::size_t size) = 0;
  // The bytes that the system reported written so far, counting those of a
  // write that failed midway when it reported them.
  [[nodiscard]] virtual std::uint64_t size() const = 0;
  // After a failed write: cuts the file back to its first `size` bytes, which
  // is where the next write would go, whatever the failed one left beyond
  // them. Throws when the file could not be cut.
  virtual void cut_back(std::uint64_t size) = 0;
  // Makes sure that everything written so far is on the storage device, and
  // reports any error the system deferred.
  virtual void flush() = 0;
  virtual void close() = 0;
};

class Host {
 public:
  virtual ~Host() = default;

  // The directory that holds the running executable, whatever the working
  // directory. Text in UTF-8.
  virtual std::string program_directory() = 0;
  // The separator between a directory and a name in a path.
  [[nodiscard]] virtual char path_separator() const = 0;

  // Opens an existing regular file for reading.
  virtual std::unique_ptr<InputFile> open_input(const std::string& path) = 0;
  // Opens a file for writing, creating it where there is none, and holds it
  // for this run alone until it is closed; empties nothing. Refuses a file
  // that another run holds, and one that write access is denied to for being
  // read-only.
  virtual std::unique_ptr<OutputFile> open_output(const std::string& path) = 0;

  // Shows a notice (UTF-8 text) and returns once the user has acknowledged it.
  virtual void show_notice(std::string_view text) = 0;
  // Reports the real cause of a failure on the diagnostic channel.
  virtual void report_cause(std::string_view cause) = 0;
};

}  // namespace host
