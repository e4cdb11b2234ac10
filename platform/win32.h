// <windows.h> for the Windows files of platform/, included after our own
// headers, whose constants share names and values with its macros (EV_RXCHAR,
// PURGE_TXABORT ...). The three wait macros, whose values differ from ours,
// are kept under other names and removed, as is a name macro that would
// rename one of our members.
#pragma once

#include <winsock2.h> // before <windows.h>, as it asks
#include <windows.h>

constexpr DWORD WIN32_WAIT_TIMEOUT = WAIT_TIMEOUT;
constexpr DWORD WIN32_INFINITE = INFINITE;
#undef WAIT_TIMEOUT
#undef WAIT_FAILED
#undef INFINITE
// A member of the system figures has this name.
#undef GetComputerName
