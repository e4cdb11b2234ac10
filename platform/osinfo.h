// The running system's version record, as the OS description needs it.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct OsVersionRecord {
  std::uint32_t PlatformId = 0; // Windows platform id; 0 where there is none
  std::string OsName;           // the platform's own product name ("Linux")
  std::uint32_t MajorVersion = 0;
  std::uint32_t MinorVersion = 0;
  std::uint32_t BuildNumber = 0;
  std::string KernelRelease;   // the whole release text ("6.1.0-18-amd64")
  std::string CSDVersion;      // the distribution's name and release
  std::string RegisteredOwner; // empty: Linux keeps no registered owner
  std::string RegisteredOrganization;
};

// Reads the version record below a file-system root ("/" for the running
// system; tests pass a fixture tree): the kernel release from
// proc/sys/kernel/osrelease (uname() when that is missing under "/"), the
// distribution from PRETTY_NAME of etc/os-release or usr/lib/os-release.
// False when the kernel release cannot be read; the record then holds what
// could be read.
bool GetOsVersionRecord(OsVersionRecord& record, const std::string& root = "/");

// "6.1.0-18-amd64" -> 6, 1, 0; missing numbers are 0.
void ParseKernelRelease(const std::string& release, std::uint32_t& major, std::uint32_t& minor,
                        std::uint32_t& build);

// The value of KEY in os-release text, unquoted as the shell would; empty
// when absent.
std::string OsReleaseValue(const std::string& text, const std::string& key);

} // namespace platform
