// Reads what a port has received until n bytes came or the time is up.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "comm/Tcomm32.h"

inline std::string ReadPort(LumaroComm32::TComm32& port, std::size_t n, int timeoutMs = 3000) {
  std::string got;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[4096];
  while (got.size() < n && std::chrono::steady_clock::now() < end) {
    const int k = port.Read(buf, sizeof buf);
    got.append(buf, static_cast<std::size_t>(k));
    if (k == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return got;
}
