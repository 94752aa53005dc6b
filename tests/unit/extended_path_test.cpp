#include "host/extended_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// GetFullPathNameW's folding, as far as these paths need it: `/` becomes
// `\`, `.` and `..` are folded, and a name's trailing periods and spaces go;
// a device path keeps its prefix, a UNC path its two separators.
std::wstring full_path(const std::wstring& path) {
  std::wstring slashes = path;
  for (wchar_t& c : slashes) c = c == L'/' ? L'\\' : c;
  const bool device = slashes.rfind(L"\\\\.\\", 0) == 0;
  const std::size_t root = device ? 4 : slashes.rfind(L"\\\\", 0) == 0 ? 2 : 0;
  std::vector<std::wstring> parts;
  std::size_t start = root;
  for (std::size_t end = root; end <= slashes.size(); ++end) {
    if (end < slashes.size() && slashes[end] != L'\\') continue;
    std::wstring part = slashes.substr(start, end - start);
    start = end + 1;
    if (part == L"..") {
      parts.pop_back();
    } else if (!part.empty() && part != L".") {
      while (part.back() == L'.' || part.back() == L' ') part.pop_back();
      parts.push_back(part);
    }
  }
  std::wstring full = slashes.substr(0, root);
  for (const std::wstring& part : parts) full += (full.size() > root ? L"\\" : L"") + part;
  return full;
}

TEST(ExtendedPath, EveryFormOfTheProgramsFolder) {
  struct Case {
    std::wstring path, extended;
  };
  const std::vector<Case> cases = {
      {L"C:\\data\\renumber", L"\\\\?\\C:\\data\\renumber"},
      {L"C:/data/./old/../renumber", L"\\\\?\\C:\\data\\renumber"},
      // Folded as Windows folded it when it loaded the program.
      {L"C:\\報告.\\renumber", L"\\\\?\\C:\\報告\\renumber"},
      // Taken as they are: a name's trailing period stays.
      {L"\\\\?\\C:\\報告.\\renumber", L"\\\\?\\C:\\報告.\\renumber"},
      {L"\\\\?\\UNC\\server\\share\\報告.", L"\\\\?\\UNC\\server\\share\\報告."},
      {L"\\??\\C:\\報告.", L"\\\\?\\C:\\報告."},
      {L"\\??\\UNC\\server\\share", L"\\\\?\\UNC\\server\\share"},
      {L"\\\\server\\share\\dept\\..\\renumber", L"\\\\?\\UNC\\server\\share\\renumber"},
      {L"//server/share/renumber", L"\\\\?\\UNC\\server\\share\\renumber"},
      // Device paths, whatever their separators.
      {L"\\\\.\\C:\\data\\.\\renumber", L"\\\\?\\C:\\data\\renumber"},
      {L"//./C:/data/renumber", L"\\\\?\\C:\\data\\renumber"},
      {L"\\\\.\\UNC\\server\\share\\renumber", L"\\\\?\\UNC\\server\\share\\renumber"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(host::extended_path(c.path, full_path), c.extended)
        << std::string(c.path.begin(), c.path.end());
  }
}

}  // namespace
