// Another Windows program holding a file, for the tests of renumber under
// Wine. Usage: holder.exe FILE shared|exclusive SECONDS SIGNALS
//
// Opens FILE (creating it if need be) with read and write access, shared for
// reading only, the way a spreadsheet holds a file it has open, or not shared
// at all, and creates SIGNALS\held. It lets go SECONDS after SIGNALS\started
// appears, or at once when SIGNALS\release appears. When SIGNALS\append
// appears, it appends a record through its handle and creates
// SIGNALS\appended.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void create(const std::wstring& path) {
  CloseHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) return 2;
  const DWORD share = std::wcscmp(argv[2], L"exclusive") == 0 ? 0 : FILE_SHARE_READ;
  const auto hold_ms = static_cast<ULONGLONG>(_wtof(argv[3]) * 1000);
  const std::wstring signals = argv[4];
  HANDLE file = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  create(signals + L"\\held");
  ULONGLONG started = 0;
  bool appended = false;
  while (!exists(signals + L"\\release")) {
    if (started == 0 && exists(signals + L"\\started")) started = GetTickCount64();
    if (started != 0 && GetTickCount64() - started >= hold_ms) break;
    if (!appended && exists(signals + L"\\append")) {
      static const char kRecord[] = "\"x\",\"x\",\"x\",\"5\",\"x\"\r\n";
      DWORD written = 0;
      SetFilePointer(file, 0, nullptr, FILE_END);
      WriteFile(file, kRecord, sizeof kRecord - 1, &written, nullptr);
      appended = true;
      create(signals + L"\\appended");
    }
    Sleep(5);
  }
  CloseHandle(file);
  return 0;
}
