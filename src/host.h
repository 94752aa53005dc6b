#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

// The platform seam: everything the conversion needs from the operating
// system, and nothing more. Each platform implements it in one file; tests use
// an in-memory implementation. Every operation that fails throws
// Module1::Failure with the real cause in its text; what a platform finds of
// the data files is worded in one place, Module1::file_failure.
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
// hard or symbolic link) are recognised as the same: standard error and a
// data file, or a data2.dat that the system refuses to replace and data.dat.
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
};

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

// What the name of the new file that replaces an output adds to that
// output's name: one that no user would give a file, since a file of that
// name is taken for one that a killed run left, and removed.
inline constexpr const char* kNewFileSuffix = ".renumber-new";

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

// A new file that will take the place of an output file: written, made
// durable, then put in that file's place by one replacing rename, so that the
// file it replaces is never emptied or written, whatever it is a link to. It
// is held for this run alone until it is closed; one that is never put in
// place is removed.
class OutputFile {
 public:
  virtual ~OutputFile() = default;

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
  // Puts the file in the place of the output it was opened for, replacing
  // whatever has that name, and returns once the change is on the storage
  // device. Only a flushed file is put in place.
  virtual void put_in_place() = 0;
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
  // Creates the new file that is to replace the file at `path`, beside it,
  // never over an existing one, and holds it for this run alone; a new file
  // that a killed run left there is removed first. Touches nothing at
  // `path`, and refuses where that is a folder, a read-only file, or held by
  // another program or run.
  // `expected_size` is about the size it will have.
  virtual std::unique_ptr<OutputFile> open_output(const std::string& path,
                                                  std::uint64_t expected_size) = 0;
  // Describes the file at `path` as the system resolves it, without opening
  // it for reading or writing; none where there is no file.
  virtual std::optional<FileIdentity> identity_of(const std::string& path) = 0;
  // Describes standard error where it is a file that data may be stored in;
  // none where it is a terminal, a pipe or a device, or missing.
  virtual std::optional<FileIdentity> diagnostic_file() = 0;

  // Shows a notice (UTF-8 text) and returns once the user has acknowledged it.
  virtual void show_notice(std::string_view text) = 0;
  // Writes the real cause of a failure on the diagnostic channel.
  virtual void report_cause(std::string_view cause) = 0;
};

}  // namespace host
