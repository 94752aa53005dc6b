#pragma once

#include <string>

// The extended-length form of a Windows path (`\\?\`, `\\?\UNC\`), in which
// the file APIs send the string straight to the file system ("Naming Files,
// Paths, and Namespaces"): without the parsing that removes trailing periods
// and spaces of names, and without the MAX_PATH limit. Apart from the
// Windows program, so that a unit table reaches every form.
namespace host {

// `path` in its extended-length form. A path already in it, or in the NT
// form `\??\`, is taken as it is. Any other, a device path (`\\.\`, `//./`)
// too, is first folded by `full_path`, which is GetFullPathNameW in the
// program: GetModuleFileNameW returns the program's path "in the same format
// that was specified when the module was loaded", and folded so, it names
// the folder that Windows loaded the program from.
template <typename FullPath>
std::wstring extended_path(const std::wstring& path, FullPath full_path) {
  const auto starts = [](const std::wstring& text, const wchar_t* prefix) {
    return text.rfind(prefix, 0) == 0;
  };
  if (starts(path, L"\\\\?\\")) return path;
  if (starts(path, L"\\??\\")) return L"\\\\?\\" + path.substr(4);
  const std::wstring full = full_path(path);
  // A device path stays one (`\\.\C:\…`, `\\.\UNC\server\share\…`).
  if (starts(full, L"\\\\.\\") || starts(full, L"\\\\?\\")) return L"\\\\?\\" + full.substr(4);
  if (starts(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace host
