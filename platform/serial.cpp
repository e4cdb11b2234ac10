// What the serial layer does the same on every system: the backend switch,
// port names, and the words for failures.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/serial.h"

namespace platform {

namespace {

std::atomic<SerialBackend*> backendOverride{nullptr};

bool isDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

CommWait WaitForStopOrChange(TEvent& stop, TEvent& changed, int timeoutMs) {
  const int which = WaitForAny({&stop, &changed}, timeoutMs);
  if (which == 0)
    return CommWait::Stopped;
  if (which == 1)
    changed.Reset();
  return CommWait::Event;
}

SerialBackend* SetSerialBackend(SerialBackend* backend) {
  return backendOverride.exchange(backend);
}

std::unique_ptr<SerialDevice> OpenSerialDevice(const std::string& deviceName, int* error) {
  SerialBackend* backend = backendOverride.load();
  return (backend ? *backend : NativeSerialBackend()).Open(deviceName, error);
}

int ComNumberOfDeviceName(const std::string& deviceName) {
  std::string name = deviceName;
  if (name.compare(0, 4, "\\\\.\\") == 0)
    name = name.substr(4);
  if (name.size() <= 3 || name.compare(0, 3, "COM") != 0 || !isDigits(name.substr(3)))
    return 0;
  return std::atoi(name.c_str() + 3);
}

std::string ShortDeviceName(const std::string& deviceName) {
  if (const int n = ComNumberOfDeviceName(deviceName); n > 0)
    return "COM" + std::to_string(n);
  const auto slash = deviceName.find_last_of('/');
  return slash == std::string::npos ? deviceName : deviceName.substr(slash + 1);
}

std::string DescribeLineLoss(int error) {
  switch (error) {
  case EIO: return "input/output error: the device is gone or the other end hung up";
  case EPIPE: return "the line hung up";
  case ENXIO:
  case ENODEV: return "device not present";
  default: return std::strerror(error);
  }
}

std::string DescribeOpenError(int error) {
  switch (error) {
  case ENOENT: return "no such device";
  case EBUSY: return "in use by another program";
  case EACCES:
  case EPERM: return "permission denied (is the user in the dialout group?)";
  case ENOTTY: return "not a serial device";
  case ENXIO:
  case ENODEV: return "device not present";
  default: return std::strerror(error);
  }
}

} // namespace platform
