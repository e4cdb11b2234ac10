// Lets tests and the fuzz target step the packager's timer by hand.
#pragma once

#include "comm/Tcommpkg.h"

namespace LumaroComm32 {
struct TCommPackageProbe {
  // Ends the packager's own timer thread, so that only Tick polls.
  static void StopTimer(TCommPackage& p) {
    p._Run = false;
    p._WakeTimer();
    p._Thread.Join();
  }
  // One poll of the silence cutter; true when it closed a package.
  static bool Tick(TCommPackage& p) { return p._TimerTick(); }
  // Packages waiting in the read queue (an empty package counts too).
  static std::uint32_t Held(TCommPackage& p) { return p._ReadQueue.Count(); }
  static int Encode(TCommPackage& p, unsigned char* frame, const unsigned char* package) {
    return p._EncodePackage(frame, package);
  }
};
} // namespace LumaroComm32
