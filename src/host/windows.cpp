// The Windows side of the platform seam, and the program's entry point there.
// Files are read and written as bytes, without any code page conversion.

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "causes.h"
#include "code_page.h"
#include "failure.h"
#include "host.h"
#include "host/extended_path.h"
#include "run_conversion.h"

namespace host {
namespace {

static_assert(code_page::kNoBestFitChars == WC_NO_BEST_FIT_CHARS &&
              code_page::kErrorInvalidChars == WC_ERR_INVALID_CHARS &&
              code_page::kUtf8 == CP_UTF8 && code_page::kUtf7 == CP_UTF7);

std::wstring widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int size = static_cast<int>(utf8.size());
  std::wstring wide(
      static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0)),
      L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), static_cast<int>(wide.size()));
  return wide;
}

std::string narrow(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  std::string utf8(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, wide.data(), size,
                                                                nullptr, 0, nullptr, nullptr)),
                   '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), static_cast<int>(utf8.size()),
                      nullptr, nullptr);
  return utf8;
}

// `wide` in UTF-8; none where it holds an unpaired surrogate, which Windows
// allows in names and which has no UTF-8 form (GetLastError then says
// ERROR_NO_UNICODE_TRANSLATION).
std::optional<std::string> strict_utf8(std::wstring_view wide) {
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  const int needed = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), size, nullptr,
                                         0, nullptr, nullptr);
  if (needed <= 0) return std::nullopt;
  std::string utf8(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), size, utf8.data(), needed,
                      nullptr, nullptr);
  return utf8;
}

// A name as it can be shown: a character without a UTF-8 form is written as
// \u and its code in hex, never replaced by U+FFFD, which names another file.
std::string utf8_or_escaped(std::wstring_view wide) {
  return code_page::converted_or_escaped(wide, strict_utf8);
}

// Text in the ANSI code page (932 on Japanese systems), in which Windows
// programs write to files and pipes, and in which cmd's `type` and every
// Notepad read it. A character that the code page cannot hold is written as
// \u and its code point in hex, never as a look-alike or a silent "?".
std::string in_ansi_code_page(std::wstring_view wide) {
  const code_page::Request request = code_page::request_for(GetACP());
  return code_page::converted_or_escaped(wide, [&](std::wstring_view text) {
    std::optional<std::string> ansi;
    BOOL lost = FALSE;
    BOOL* const asks_lost = request.reports_lost ? &lost : nullptr;
    const int size = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(CP_ACP, request.flags, text.data(), size, nullptr, 0,
                                           nullptr, asks_lost);
    if (needed <= 0) return ansi;
    ansi.emplace(static_cast<std::size_t>(needed), '\0');
    if (WideCharToMultiByte(CP_ACP, request.flags, text.data(), size, ansi->data(), needed, nullptr,
                            asks_lost) != needed ||
        lost != FALSE) {
      ansi.reset();
    }
    return ansi;
  });
}

std::string message_of(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message =
      length != 0 ? std::wstring(text, length) : L"error " + std::to_wstring(error);
  LocalFree(text);
  while (!message.empty() &&
         (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' ')) {
    message.pop_back();
  }
  return narrow(message);
}

[[noreturn]] void fail_with_error(const std::string& path, DWORD error) {
  throw Module1::file_failure(Module1::Problem::system, path, message_of(error));
}

// The errors of a file that another program holds: open with a share mode that
// excludes this access, or a range of it locked.
bool held_elsewhere(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// Runs `attempt` until it succeeds, fails for another reason or the file has
// been held for longer than a moment; the error of the last attempt, or
// ERROR_SUCCESS.
template <typename Attempt>
DWORD waiting_out_holds(Attempt attempt) {
  DWORD error = ERROR_SUCCESS;
  still_held_after_waiting([&] {
    error = attempt() ? ERROR_SUCCESS : GetLastError();
    return held_elsewhere(error);
  });
  return error;
}

// The path GetFullPathNameW folds `path` to; `path` itself where it cannot,
// which the file APIs then refuse or take as it is.
std::wstring full_path_of(const std::wstring& path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return path;
  full.resize(length);
  return full;
}

// The data files are always opened by the extended-length form of their path.
std::wstring system_path(const std::wstring& wide) { return extended_path(wide, full_path_of); }

std::wstring system_path(const std::string& path) { return system_path(widen(path)); }

// The files beside `name` whose names begin with its own and a dot, in any
// case, as Windows compares names; none where the folder cannot be listed.
std::vector<std::string> look_alikes_of(const std::wstring& name) {
  const std::wstring prefix = name.substr(name.find_last_of(L"\\/") + 1) + L".";
  std::vector<std::string> names;
  WIN32_FIND_DATAW found{};
  // The pattern is matched against short names too: the long name decides.
  HANDLE search = FindFirstFileExW((name + L".*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return names;
  // Closed also when naming one throws (out of memory).
  const std::unique_ptr<void, decltype(&FindClose)> closing(search, &FindClose);
  do {
    const std::wstring_view found_name = found.cFileName;
    const auto length = static_cast<int>(prefix.size());
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        found_name.size() > prefix.size() &&
        CompareStringOrdinal(found_name.data(), length, prefix.data(), length, TRUE) ==
            CSTR_EQUAL) {
      names.push_back(utf8_or_escaped(found_name));
    }
  } while (FindNextFileW(search, &found) != 0);
  return names;
}

// Owns a file handle; closes it quietly when the file was not closed on purpose.
class Handle {
 public:
  Handle(HANDLE handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  Handle(Handle&& other) noexcept : handle_(other.release()), path_(std::move(other.path_)) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle& operator=(Handle&&) = delete;
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }

  [[nodiscard]] HANDLE get() const { return handle_; }
  [[nodiscard]] const std::string& path() const { return path_; }
  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

  void close() {
    if (CloseHandle(release()) == 0) fail_with_error(path_, GetLastError());
  }

 private:
  HANDLE handle_;
  std::string path_;
};

BY_HANDLE_FILE_INFORMATION information_of(const Handle& file) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileInformationByHandle(file.get(), &information) == 0) {
    fail_with_error(file.path(), GetLastError());
  }
  return information;
}

// The path the system resolves `file` to, in the system's own form, which
// works for network shares too; empty where it cannot say. A share answers
// the normalized form only where the user may pass through every folder of
// the path, and some drivers not at all: then the form it was opened by.
std::string final_path_of(HANDLE file) {
  for (const DWORD form : {FILE_NAME_NORMALIZED, FILE_NAME_OPENED}) {
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()),
                                             form | VOLUME_NAME_NT);
    if (length >= path.size()) {  // too small: the length needed, with its terminator
      path.resize(length);
      length = GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()),
                                         form | VOLUME_NAME_NT);
    }
    if (length != 0 && length < path.size()) {
      path.resize(length);
      return narrow(path);
    }
  }
  return {};
}

std::int64_t time_of(const FILETIME& time) {
  return static_cast<std::int64_t>((std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime);
}

FileState state_of(const BY_HANDLE_FILE_INFORMATION& information) {
  return {(std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow,
          time_of(information.ftLastWriteTime)};
}

// A handle that GetFileInformationByHandle cannot describe (Wine: a standard
// handle made from a Unix descriptor) may still answer the newer calls:
// FileBasicInfo gives its times, FileStandardInfo its size and links, which
// tell it from a data file where its 128-bit ID is made up. Where they fail
// too, nothing tells it from any other file.
FileIdentity described_by_newer_calls(HANDLE file, FileIdentity identity) {
  FILE_BASIC_INFO basic{};
  FILE_STANDARD_INFO standard{};
  if (GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic)) == 0 ||
      GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard)) == 0) {
    identity.described = false;
    return identity;
  }
  // The times are FILETIME values in LARGE_INTEGER form, as the older call gives them.
  identity.id_unique = false;
  identity.links = standard.NumberOfLinks;
  identity.state = {static_cast<std::uint64_t>(standard.EndOfFile.QuadPart),
                    basic.LastWriteTime.QuadPart};
  identity.changed = basic.CreationTime.QuadPart;
  return identity;
}

// What tells the file apart, in every form the system gives: the 64-bit index
// with the 32-bit volume serial, and the 128-bit ID (ReFS IDs do not fit 64
// bits) with the 64-bit serial, which Windows 7 and some redirectors do not
// give. Where the system cannot describe the file at all, that is said, and
// the file may then be any other.
FileIdentity identity_of(HANDLE file) {
  FileIdentity identity;
  identity.final_path = final_path_of(file);
  // Asked on its own, so that the ID is known also of a handle that the older
  // call cannot describe (Wine: a standard handle made from a Unix descriptor).
  FILE_ID_INFO id{};
  if (GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof(id)) != 0) {
    identity.wide_id.volume = id.VolumeSerialNumber;
    std::memcpy(&identity.wide_id.low, id.FileId.Identifier, sizeof(identity.wide_id.low));
    std::memcpy(&identity.wide_id.high, id.FileId.Identifier + sizeof(identity.wide_id.low),
                sizeof(identity.wide_id.high));
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileInformationByHandle(file, &information) == 0) {
    return described_by_newer_calls(file, identity);
  }
  identity.id = {information.dwVolumeSerialNumber, 0,
                 (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
  // BY_HANDLE_FILE_INFORMATION: this index "is not guaranteed to be unique on
  // ReFS", and FileIdInfo, which is, does not exist before Windows 8.
  identity.id_unique = false;
  identity.links = information.nNumberOfLinks;
  identity.state = state_of(information);
  identity.changed = time_of(information.ftCreationTime);
  return identity;
}

bool is_disk_file(const Handle& file) { return GetFileType(file.get()) == FILE_TYPE_DISK; }

// What the system says of a file by its name, through an open that asks no
// access and so meets no share mode: none where there is no file, and a file
// that cannot be described where even that open fails otherwise (held by a
// program that shares nothing).
std::optional<FileIdentity> identity_by_name(const std::wstring& name) {
  // FILE_FLAG_BACKUP_SEMANTICS: a folder opens too, and is described as the
  // file it is not.
  const Handle file(
      CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr),
      {});
  if (file.get() != INVALID_HANDLE_VALUE) return identity_of(file.get());
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
  FileIdentity unknown;
  unknown.described = false;
  return unknown;
}

class WindowsInputFile final : public InputFile {
 public:
  explicit WindowsInputFile(Handle&& file) : file_(std::move(file)) {}

  std::size_t read(char* buffer, std::size_t capacity) override {
    DWORD count = 0;
    const auto wanted = static_cast<DWORD>(std::min(capacity, kMaxTransfer));
    const DWORD error = waiting_out_holds(
        [&] { return ReadFile(file_.get(), buffer, wanted, &count, nullptr) != 0; });
    if (held_elsewhere(error)) {
      throw Module1::file_failure(Module1::Problem::input_held, file_.path());
    }
    if (error != ERROR_SUCCESS) fail_with_error(file_.path(), error);
    return count;
  }

  void close() override { file_.close(); }
  [[nodiscard]] FileIdentity identity() const override { return identity_of(file_.get()); }
  [[nodiscard]] FileState state() const override { return state_of(information_of(file_)); }

 private:
  Handle file_;
};

// The new file that replaces data2.dat, always a disk file of this run's
// own making. Its causes name data2.dat, the file the user knows.
class WindowsOutputFile final : public OutputFile {
 public:
  WindowsOutputFile(Handle&& file, std::wstring new_name, std::wstring name, HANDLE input)
      : file_(std::move(file)),
        new_name_(std::move(new_name)),
        name_(std::move(name)),
        input_(input) {}
  WindowsOutputFile(const WindowsOutputFile&) = delete;
  WindowsOutputFile& operator=(const WindowsOutputFile&) = delete;

  // A file that was not put in place is deleted through its own handle,
  // which was opened with DELETE access: no other file of its name can be
  // deleted instead.
  ~WindowsOutputFile() override {
    if (placed_ || file_.get() == INVALID_HANDLE_VALUE) return;
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    SetFileInformationByHandle(file_.get(), FileDispositionInfo, &disposition, sizeof(disposition));
  }

  void write(const char* data, std::size_t size) override {
    while (size > 0) {
      DWORD count = 0;
      const auto piece = static_cast<DWORD>(std::min(size, kMaxTransfer));
      // The count of a write that failed says nothing of what reached the
      // file; the cut back after the failure settles that.
      if (WriteFile(file_.get(), data, piece, &count, nullptr) == 0) {
        fail_with_error(file_.path(), GetLastError());
      }
      if (count == 0) fail_with_error(file_.path(), ERROR_WRITE_FAULT);
      size_ += count;
      data += count;
      size -= count;
    }
  }

  [[nodiscard]] std::uint64_t size() const override { return size_; }

  void cut_back(std::uint64_t size) override {
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    if (SetFilePointerEx(file_.get(), end, nullptr, FILE_BEGIN) == 0 ||
        SetEndOfFile(file_.get()) == 0) {
      fail_with_error(file_.path(), GetLastError());
    }
    size_ = size;
  }

  // Commits the written data, so that an error the system deferred (a full
  // disk, a lost network share) is reported now.
  void flush() override {
    if (FlushFileBuffers(file_.get()) == 0) fail_with_error(file_.path(), GetLastError());
  }

  // MoveFileExW: MOVEFILE_REPLACE_EXISTING replaces the file of that name,
  // never writing into it, and with MOVEFILE_WRITE_THROUGH "the function
  // does not return until the file is actually moved on the disk". The
  // handle, opened with FILE_SHARE_DELETE, stays open, so that the hold
  // lasts. Windows refuses to replace a file that is open without
  // FILE_SHARE_DELETE: a data2.dat held by another program, or data.dat
  // itself under another name, which this run holds open so.
  void put_in_place() override {
    if (MoveFileExW(new_name_.c_str(), name_.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
      const DWORD error = GetLastError();
      if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) {
        fail_as_held_output(file_.path(), name_, input_, error);
      }
      fail_with_error(file_.path(), error);
    }
    placed_ = true;
  }

  void close() override { file_.close(); }

  // A data2.dat that the system would not let go of: data.dat under another
  // name, where the files tell so, else another program's. The two are
  // described at one moment: a program that writes data.dat changes both.
  [[noreturn]] static void fail_as_held_output(const std::string& path, const std::wstring& name,
                                               HANDLE input, DWORD error) {
    const std::optional<FileIdentity> output = identity_by_name(name);
    const Module1::Problem refusal = output && input != INVALID_HANDLE_VALUE
                                         ? Module1::refusal_as_input(*output, identity_of(input))
                                         : Module1::Problem::output_held;
    if (refusal != Module1::Problem::output_held || held_elsewhere(error)) {
      throw Module1::file_failure(refusal, path);
    }
    fail_with_error(path, error);
  }

 private:
  Handle file_;
  std::wstring new_name_;
  std::wstring name_;
  HANDLE input_;  // data.dat, open while the file is put in place
  std::uint64_t size_ = 0;
  bool placed_ = false;
};

class WindowsHost final : public Host {
 public:
  std::string program_directory() override {
    std::wstring executable(MAX_PATH, L'\0');
    for (;;) {
      const DWORD length =
          GetModuleFileNameW(nullptr, executable.data(), static_cast<DWORD>(executable.size()));
      if (length == 0) fail_with_error("program file name", GetLastError());
      if (length < executable.size()) {
        executable.resize(length);
        break;
      }
      executable.resize(executable.size() * 2);  // truncated: try a larger buffer
    }
    const std::wstring directory = executable.substr(0, executable.find_last_of(L"\\/"));
    directory_ = directory;
    // A name with an unpaired surrogate (Windows allows one) has no UTF-8
    // form: its replacement would name another folder, where data.dat is
    // missing. It may be the name of any folder of the path.
    const std::optional<std::string> utf8 = strict_utf8(directory);
    if (utf8) return *utf8;
    const DWORD error = GetLastError();
    if (error != ERROR_NO_UNICODE_TRANSLATION) fail_with_error("program folder name", error);
    throw Module1::Failure(utf8_or_escaped(directory) +
                           ": a folder name in the path holds a character that is no Unicode "
                           "text (an unpaired surrogate); rename that folder");
  }

  [[nodiscard]] char path_separator() const override { return '\\'; }

  // Shared for writing too: a spreadsheet that saved data.dat keeps it open
  // for writing, and refusing to share would fail every run until it is
  // closed. A program that does write meanwhile fails the run at its end,
  // where the input's size and time are checked. Not shared for deletion:
  // data.dat keeps every name while it is read, so that Windows refuses to
  // replace data2.dat where it is data.dat under another name.
  std::unique_ptr<InputFile> open_input(const std::string& path) override {
    const std::wstring name = system_path(path);
    const auto [handle, error] =
        open_waiting(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                     FILE_FLAG_SEQUENTIAL_SCAN);
    if (handle == INVALID_HANDLE_VALUE) {
      if (held_elsewhere(error)) throw Module1::file_failure(Module1::Problem::input_held, path);
      if (error == ERROR_FILE_NOT_FOUND) {
        throw Module1::file_failure(Module1::Problem::missing, path, message_of(error),
                                    look_alikes_of(name));
      }
      fail_to_open(path, name, error);
    }
    // Known before anything else is asked of it: GetFileInformationByHandle
    // "may fail" on a network, and the cause is then reported.
    Handle file(handle, path);
    data_handles_.push_back(file.get());
    input_ = file.get();
    const BY_HANDLE_FILE_INFORMATION information = information_of(file);
    if (!is_disk_file(file) || (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      throw Module1::file_failure(Module1::Problem::not_regular, path);
    }
    // The handle stays owned while the file object is allocated.
    return std::make_unique<WindowsInputFile>(std::move(file));
  }

  // Nothing at `path` is opened for reading or writing: the new file beside
  // it is made, and moved to its place at the end. What the move would not
  // ask is asked first: whether data2.dat is a folder, read-only, or held by
  // a program that would keep the move from replacing it.
  std::unique_ptr<OutputFile> open_output(const std::string& path,
                                          std::uint64_t /*expected_size*/) override {
    const std::wstring name = system_path(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = GetLastError();
      if (error != ERROR_FILE_NOT_FOUND) fail_with_error(path, error);
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      throw Module1::file_failure(Module1::Problem::not_regular, path);
    } else if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      throw Module1::file_failure(Module1::Problem::read_only, path);
    } else {
      wait_for_holders(path, name);
    }
    const std::wstring new_name = name + widen(kNewFileSuffix);
    remove_left_over(path, new_name);
    // CREATE_NEW: never opened over an existing file. Shared for reading and
    // for the move alone: a second run cannot open it to remove it.
    // CreateFile's remarks advise GENERIC_READ | GENERIC_WRITE for a file
    // across a network (write alone "can occasionally return
    // ERROR_ACCESS_DENIED"); DELETE lets this run delete it by its handle.
    Handle file(CreateFileW(new_name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr),
                path);
    if (file.get() == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      // Another run made it since it was found missing.
      if (error == ERROR_FILE_EXISTS) {
        throw Module1::file_failure(Module1::Problem::output_held, path);
      }
      throw Module1::file_failure(Module1::Problem::no_new_file, path, message_of(error));
    }
    data_handles_.push_back(file.get());
    return std::make_unique<WindowsOutputFile>(std::move(file), new_name, name, input_);
  }

  std::optional<FileIdentity> identity_of(const std::string& path) override {
    return identity_by_name(system_path(path));
  }

  // Standard error exists when the program was started with it redirected (a
  // GUI program has no console of its own). A launcher that passed no valid
  // standard handles leaves a stale value that a data file may have taken
  // since: such a value is taken for a data file's, whatever it describes.
  std::optional<FileIdentity> diagnostic_file() override {
    HANDLE error_output = GetStdHandle(STD_ERROR_HANDLE);
    if (error_output == nullptr || error_output == INVALID_HANDLE_VALUE) return std::nullopt;
    FileIdentity unknown;
    unknown.described = false;
    if (std::find(data_handles_.begin(), data_handles_.end(), error_output) !=
        data_handles_.end()) {
      return unknown;
    }
    // FILE_TYPE_UNKNOWN is also what a failure returns.
    const DWORD type = GetFileType(error_output);
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) return std::nullopt;
    // The data files of a folder that has no UTF-8 name cannot be named to
    // the rule: any file may be one of them.
    if (!directory_.empty() && !strict_utf8(directory_)) return unknown;
    return host::identity_of(error_output);
  }

  // Where no one can see a message box (a scheduled task without a logged-on
  // user, a service), it could never be dismissed, and data2.dat would stay
  // held: the run ends with its exit status and cause line instead, as on a
  // Linux system without a display or terminal.
  void show_notice(std::string_view text) override {
    if (!desktop_visible()) return;
    // In front of every window: after a long run the user may be in another
    // program, and data2.dat stays held until the notice is dismissed.
    MessageBoxW(nullptr, widen(text).c_str(), L"renumber", MB_OK | MB_SETFOREGROUND | MB_TOPMOST);
  }

  // A console gets the line as Unicode; a file or pipe in the ANSI code page.
  void report_cause(std::string_view cause) override {
    HANDLE error_output = GetStdHandle(STD_ERROR_HANDLE);
    if (error_output == nullptr || error_output == INVALID_HANDLE_VALUE) return;
    const std::string line = "renumber: " + std::string(cause) + "\n";
    DWORD mode = 0;
    DWORD written = 0;
    const std::wstring wide = widen(line);
    if (GetConsoleMode(error_output, &mode) != 0) {
      WriteConsoleW(error_output, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else {
      const std::string ansi = in_ansi_code_page(wide);
      WriteFile(error_output, ansi.data(), static_cast<DWORD>(ansi.size()), &written, nullptr);
    }
  }

 private:
  // Session 0 holds services alone since Windows Vista: an interactive
  // service's window station says it is visible, yet no user sees it.
  static bool desktop_visible() {
    DWORD session = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session) != 0 && session == 0) return false;
    USEROBJECTFLAGS flags{};
    // Where the system cannot say, the message box is shown as before.
    return GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof(flags),
                                     nullptr) == 0 ||
           (flags.dwFlags & WSF_VISIBLE) != 0;
  }

  // Opens a file, waiting out a brief hold by another program: the handle,
  // or INVALID_HANDLE_VALUE and the error.
  static std::pair<HANDLE, DWORD> open_waiting(const std::wstring& name, DWORD access, DWORD share,
                                               DWORD disposition, DWORD flags) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    const DWORD error = waiting_out_holds([&] {
      handle = CreateFileW(name.c_str(), access, share, nullptr, disposition, flags, nullptr);
      return handle != INVALID_HANDLE_VALUE;
    });
    return {handle, error};
  }

  // A program that holds data2.dat without FILE_SHARE_DELETE (a spreadsheet,
  // cmd's `2>> data2.dat`) would keep the move from replacing it: an open
  // for DELETE alone meets that share mode now, before anything is written,
  // and is closed at once. A link is asked about itself, not what it leads
  // to, as the move replaces the link.
  void wait_for_holders(const std::string& path, const std::wstring& name) const {
    const auto [handle, error] =
        open_waiting(name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
    const Handle probe(handle, path);
    if (handle != INVALID_HANDLE_VALUE || error == ERROR_FILE_NOT_FOUND) return;
    WindowsOutputFile::fail_as_held_output(path, name, input_, error);
  }

  // Removes the new file of a killed run: opened sharing nothing, it is
  // held by no run, and deleted through that handle. One that a run holds
  // fails this one, as a second run.
  static void remove_left_over(const std::string& path, const std::wstring& new_name) {
    const auto [handle, error] =
        open_waiting(new_name, DELETE, 0, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
    if (handle == INVALID_HANDLE_VALUE) {
      if (error == ERROR_FILE_NOT_FOUND) return;
      if (held_elsewhere(error)) throw Module1::file_failure(Module1::Problem::output_held, path);
      throw Module1::file_failure(Module1::Problem::no_new_file, path, message_of(error));
    }
    Handle left_over(handle, path);
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    if (SetFileInformationByHandle(left_over.get(), FileDispositionInfo, &disposition,
                                   sizeof(disposition)) == 0) {
      throw Module1::file_failure(Module1::Problem::no_new_file, path, message_of(GetLastError()));
    }
    left_over.close();
  }

  // Any access to a folder is denied without FILE_FLAG_BACKUP_SEMANTICS.
  [[noreturn]] static void fail_to_open(const std::string& path, const std::wstring& name,
                                        DWORD error) {
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      throw Module1::file_failure(Module1::Problem::not_regular, path);
    }
    fail_with_error(path, error);
  }

  // The program's folder, once asked for, even where it has no UTF-8 name.
  std::wstring directory_;
  // The handles of the data files this run opened, which a launcher's stale
  // standard error may hold, and data.dat's.
  std::vector<HANDLE> data_handles_;
  HANDLE input_ = INVALID_HANDLE_VALUE;
};

}  // namespace
}  // namespace host

namespace {

// DLLs are looked for in System32 alone, also those that the system loads on
// the program's behalf (a message box loads the theme DLLs). Otherwise a DLL
// of that name placed beside the program — in a shared folder, in Downloads —
// would run inside it. Windows 7 has the call only with update KB2533623, so
// it is looked up; without it, the current directory at least leaves the
// search.
void load_system_dlls_only() {
  using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
  // Through the generic function type, which converts to any other.
  const auto found = reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories"));
  if (found == nullptr ||
      reinterpret_cast<SetDefaultDllDirectoriesCall>(found)(LOAD_LIBRARY_SEARCH_SYSTEM32) == 0) {
    SetDllDirectoryW(L"");
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*command_line*/,
                    int /*show*/) {
  load_system_dlls_only();
  host::WindowsHost host;
  return Module1::run_conversion(host) == Module1::Outcome::completed ? 0 : 1;
}
