// The serial communication engine: comm errors.
#pragma once

#include <cstdint>

#include "platform/rtl.h"

namespace LumaroComm32 {

// The engine's one exception: a code and a message in the application's
// language.
class EComm32Error : public Exception {
public:
  enum TErrorCode : std::uint8_t {
    ecNoError = 0,
    ecOutOfMemory = 1,
    ecInitReadBuffer = 2,
    ecInitWriteBuffer = 3,
    ecOpenPort = 4,
    ecSetCommMask = 5,
    ecSetupComm = 6,
    ecGetCommState = 7,
    ecSetCommState = 8,
    ecCreateReadEvent = 9,
    ecCreateWriteEvent = 10,
    ecCreateReadThread = 11,
    ecCreateWriteThread = 12,
    ecCloseReadThread = 13,
    ecCloseWriteThread = 14,
  };

  explicit EComm32Error(TErrorCode code);

  TErrorCode ErrorCode;
};

} // namespace LumaroComm32
