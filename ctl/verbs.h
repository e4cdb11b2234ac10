// vexil-ctl's verbs, one file each; main only dispatches. Each takes the
// arguments after its own name and returns the exit status: 0 success,
// 1 failure, 2 bad usage.
#pragma once

#include <string>
#include <vector>

namespace vexilctl {

using Args = std::vector<std::string>;

int Watch(const Args& args);
int Send(const Args& args);
int Exporter(const Args& args);
int Demo(const Args& args);

extern const char WATCH_HELP[];
extern const char SEND_HELP[];
extern const char EXPORTER_HELP[];
extern const char DEMO_HELP[];

} // namespace vexilctl
