#include "host/extended_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What GetFullPathNameW does to these paths that matters here: `/` becomes `\`.
std::wstring full_path(std::wstring path) {
  for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
  return path;
}

TEST(ExtendedPath, EveryFormOfTheProgramsFolder) {
  const std::vector<std::pair<std::wstring, std::wstring>> forms = {
      {L"C:/data", L"\\\\?\\C:\\data"},
      {L"\\\\?\\C:\\報告.", L"\\\\?\\C:\\報告."},  // taken as it is
      {L"\\\\?\\UNC\\server\\share", L"\\\\?\\UNC\\server\\share"},
      {L"\\??\\C:\\報告.", L"\\\\?\\C:\\報告."},
      {L"\\??\\UNC\\server\\share", L"\\\\?\\UNC\\server\\share"},
      {L"//server/share", L"\\\\?\\UNC\\server\\share"},
      {L"//./C:/data", L"\\\\?\\C:\\data"},
      {L"\\\\.\\UNC\\server\\share", L"\\\\?\\UNC\\server\\share"},
  };
  for (const auto& [path, extended] : forms) {
    EXPECT_EQ(host::extended_path(path, full_path), extended)
        << std::string(path.begin(), path.end());
  }
}

}  // namespace
