#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
};

// Whether the file system vouches for the ID: one without file IDs reports 0,
// one that cannot make an ID unique reports all ones (in 64 or 128 bits), and
// neither tells one file from another.
inline bool id_known(const FileId& id) {
  constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};
  const bool none = id.high == 0 && id.low == 0;
  const bool not_unique = id.low == kAllOnes && (id.high == 0 || id.high == kAllOnes);
  return !none && !not_unique;
}

// Whether the IDs prove the two files one: the 128-bit IDs where both files
// give them (the 64-bit index of a ReFS file need not be unique), else the
// 64-bit ones. Unequal IDs prove nothing: network redirectors make IDs up
// (the VirtualBox shared folders give each name its own, Remote Desktop
// drives kernel addresses).
inline bool ids_prove_same(const FileIdentity& a, const FileIdentity& b) {
  if (id_known(a.wide_id) && id_known(b.wide_id)) return a.wide_id == b.wide_id;
  return id_known(a.id) && id_known(b.id) && a.id == b.id;
}

// Whether the open file `candidate` may be the file `known`; where the system
// cannot tell, yes, since a refusal never destroys anything. Equal IDs make
// one file. Failing those:
// - where no form of ID could be compared, a candidate with more than one
//   name may be a hard link to `known`, which only IDs could rule out;
// - equal final paths make one file (a symbolic link);
// - one volume, one size and the same two times make one file. An empty
//   `known` is no evidence either way, and emptying it loses nothing.
inline bool may_be_same_file(const FileIdentity& candidate, const FileIdentity& known) {
  if (!candidate.described || !known.described || ids_prove_same(candidate, known)) return true;
  const bool ids_compared = (id_known(candidate.id) && id_known(known.id)) ||
                            (id_known(candidate.wide_id) && id_known(known.wide_id));
  if (!ids_compared && candidate.links > 1) return true;
  if (!candidate.final_path.empty() && candidate.final_path == known.final_path) return true;
  return candidate.id.volume == known.id.volume && known.state.size > 0 &&
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
// is another file. It is said to be `input` only where IDs prove it.
inline const char* refusal_as_input(const FileIdentity& output, const FileIdentity& input) {
  if (!may_be_same_file(output, input)) return nullptr;
  return output.described && input.described && ids_prove_same(output, input) ? kOutputIsInput
                                                                              : kOutputMayBeInput;
}

// The cause of a missing data file, followed by the files whose names begin
// with its name and a dot, `look_alikes`: Explorer hides the extensions it
// knows, so a data.dat.txt is shown as data.dat. At most five are named, in
// order, so that the cause stays a line that can be read.
inline std::string with_look_alikes(std::string cause, std::vector<std::string> look_alikes) {
  if (look_alikes.empty()) return cause;
  constexpr std::size_t kNamed = 5;
  std::sort(look_alikes.begin(), look_alikes.end());
  if (look_alikes.size() > kNamed) look_alikes.resize(kNamed);
  cause += look_alikes.size() == 1 ? "; there is " : "; there are ";
  for (std::size_t i = 0; i < look_alikes.size(); ++i) {
    if (i > 0) cause += ", ";
    cause += look_alikes[i];
  }
  return cause + " (file name extensions may be hidden)";
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
  // Reads again from the file's first byte.
  virtual void rewind() = 0;
  virtual void close() = 0;
  // Which file this is, as the system describes it now: a save since the
  // file was opened changes its size and times.
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
