// A port directory of the test's own (from mkdtemp), with entries named as
// given, that VEXIL_PORT_DIR points at for the life of the object.
#pragma once

#include <initializer_list>

#include "tests/support/env_guard.h"
#include "tests/support/temp_dir.h"

class PortDir {
public:
  explicit PortDir(std::initializer_list<const char*> entries) : dir_("vexil-portdir") {
    for (const char* e : entries)
      std::ofstream(dir_ / e) << "";
    env_.set("VEXIL_PORT_DIR", dir_.path().string());
  }

private:
  TempDir dir_;
  EnvGuard env_;
};
