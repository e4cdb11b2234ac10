// The version record on Windows: GetVersionExA, and the registered owner and
// organization from the registry.
#include "platform/osinfo.h"
#include "platform/win32.h"

namespace platform {

namespace {

std::string currentVersionValue(const char* name) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                    KEY_READ, &key) != ERROR_SUCCESS)
    return {};
  char data[256];
  DWORD size = sizeof data - 1, type = 0;
  std::string value;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ) {
    data[size] = '\0';
    value = data;
  }
  RegCloseKey(key);
  return value;
}

} // namespace

bool GetOsVersionRecord(OsVersionRecord& record, const std::string&) {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(&info))
    return false;
  record.PlatformId = info.dwPlatformId;
  record.MajorVersion = info.dwMajorVersion;
  record.MinorVersion = info.dwMinorVersion;
  record.BuildNumber = info.dwBuildNumber;
  record.CSDVersion = info.szCSDVersion;
  record.RegisteredOwner = currentVersionValue("RegisteredOwner");
  record.RegisteredOrganization = currentVersionValue("RegisteredOrganization");
  return true;
}

} // namespace platform
