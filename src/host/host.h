#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

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

// Which file an open file is, so that two paths naming one file (through a
// hard or symbolic link) are recognised as the same.
struct FileIdentity {
  std::uint64_t volume = 0;
  // The file's ID on its volume, 128 bits wide; an ID of 64 bits has a high
  // half of 0.
  std::uint64_t id_high = 0;
  std::uint64_t id_low = 0;
  // The path the system resolves the open file to, links followed, or empty
  // where it cannot say.
  std::string final_path;
  // What tells files apart where the volume gives no IDs: the names the file
  // has, its size and times (the creation time on Windows, the time of the
  // last change of its status on Linux).
  std::uint32_t links = 1;
  FileState state;
  std::int64_t changed = 0;
};

// Whether the file system vouches for the ID: one without file IDs reports 0,
// one that cannot make an ID unique reports all ones (in 64 or 128 bits), and
// neither tells one file from another.
inline bool id_known(const FileIdentity& file) {
  constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};
  const bool none = file.id_high == 0 && file.id_low == 0;
  const bool not_unique =
      file.id_low == kAllOnes && (file.id_high == 0 || file.id_high == kAllOnes);
  return !none && !not_unique;
}

// Whether the open file `candidate` may be the file `known`; where the system
// cannot tell, yes, since a refusal never destroys anything. Known IDs on one
// volume decide. Where either ID is unknown (network and virtual machine
// shares, some file servers):
// - a candidate with more than one name may be a hard link to `known`, which
//   only IDs could rule out;
// - equal final paths make one file (a symbolic link);
// - failing those, one volume, one size and the same two times make one file.
//   An empty `known` is no evidence either way, and emptying it loses nothing.
inline bool may_be_same_file(const FileIdentity& candidate, const FileIdentity& known) {
  if (id_known(candidate) && id_known(known)) {
    return candidate.volume == known.volume && candidate.id_high == known.id_high &&
           candidate.id_low == known.id_low;
  }
  if (candidate.links > 1) return true;
  if (!candidate.final_path.empty() && candidate.final_path == known.final_path) return true;
  return candidate.volume == known.volume && known.state.size > 0 &&
         candidate.state == known.state && candidate.changed == known.changed;
}

// The causes that every platform words the same, after the file's path.
inline constexpr const char* kInputInUse = "in use by another program";
inline constexpr const char* kOutputInUse = "in use by another program or another run";
inline constexpr const char* kOutputReadOnly = "read-only file; not overwritten";
inline constexpr const char* kOutputIsInput = "is the input file itself; not overwritten";
inline constexpr const char* kOutputMayBeInput =
    "may be the input file itself, and the volume gives no file IDs to tell; not overwritten";

// Why `output` is not emptied, being or perhaps being `input`; null where it
// is another file.
inline const char* refusal_as_input(const FileIdentity& output, const FileIdentity& input) {
  if (!may_be_same_file(output, input)) return nullptr;
  return id_known(output) && id_known(input) ? kOutputIsInput : kOutputMayBeInput;
}

// How long a file that another program holds is waited for, by the clock,
// and how often it is tried meanwhile: virus scanners, indexers, backup and
// sync clients open a file for a moment just after it was written.
inline constexpr unsigned kHoldWaitMs = 2000;
inline constexpr unsigned kHoldRetryMs = 50;

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
  [[nodiscard]] virtual FileIdentity identity() const = 0;
  // The file's size and modification time as the system reports them now.
  [[nodiscard]] virtual FileState state() const = 0;
};

// A file opened for writing bytes.
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
  // Opens a file for writing, creating it or emptying it, and holds it for
  // this run alone until it is closed. Refuses — before anything is emptied —
  // a file that another run holds, that is `input` itself or that is read-only.
  virtual std::unique_ptr<OutputFile> open_output(const std::string& path,
                                                  const InputFile& input) = 0;

  // Shows a notice (UTF-8 text) and returns once the user has acknowledged it.
  virtual void show_notice(std::string_view text) = 0;
  // Reports the real cause of a failure on the diagnostic channel.
  virtual void report_cause(std::string_view cause) = 0;
};

}  // namespace host
