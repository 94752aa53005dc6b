// Starts a program in a window station of its own, which is not visible, as
// Windows starts a scheduled task without a logged-on user or a service, and
// exits with the program's exit status, or 255 when it has not ended within
// 20 seconds. Usage: hidden_desktop.exe PROGRAM.exe
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 254;
  HWINSTA station = CreateWindowStationW(L"renumber-hidden", 0, WINSTA_ALL_ACCESS, nullptr);
  HWINSTA own = GetProcessWindowStation();
  // A desktop is made in the station that the process is in.
  if (station == nullptr || SetProcessWindowStation(station) == 0) return 253;
  HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  SetProcessWindowStation(own);
  if (desktop == nullptr) return 253;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  wchar_t desktop_name[] = L"renumber-hidden\\Default";
  startup.lpDesktop = desktop_name;
  PROCESS_INFORMATION process{};
  if (CreateProcessW(argv[1], nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                     &process) == 0) {
    return 252;
  }
  if (WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 255);
    return 255;
  }
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  return static_cast<int>(status);
}
