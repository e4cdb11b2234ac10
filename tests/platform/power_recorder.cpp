// A power command for the Windows tests: after VEXIL_POWER_DELAY_MS (none by
// default) appends its argument and a line end to the file named by
// VEXIL_POWER_LOG and exits with VEXIL_POWER_EXIT (0 by default).
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (const char* delay = std::getenv("VEXIL_POWER_DELAY_MS"))
    Sleep(static_cast<DWORD>(std::atoi(delay)));
  const char* log = std::getenv("VEXIL_POWER_LOG");
  if (FILE* f = log ? std::fopen(log, "a") : nullptr) {
    std::fprintf(f, "%s\n", argc > 1 ? argv[1] : "");
    std::fclose(f);
  }
  const char* code = std::getenv("VEXIL_POWER_EXIT");
  return code ? std::atoi(code) : 0;
}
