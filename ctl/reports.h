// What the controller reads off the line: the agent's reports, decoded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace VexilCtl {

struct InventoryReport {
  int Processors = 0;
  int NetworkCards = 0;
  int Disks = 0;
  std::uint32_t ClockMHz = 0;
  std::uint32_t MemoryUnits = 0; // of 1024000 bytes
  std::string DiskSize;
  std::string HostName;
  std::string Addresses[4];
  std::string ProcessorModel;
  std::string Os;
};

struct LoadReport {
  int MemoryLoad = 0;
  int Cpu[16] = {}; // -1 where the agent measured nothing (0xFF)
};

// One piece of a package: a report, or bytes that are none, with the reason.
struct Piece {
  enum Kind { Inventory, Load, Unknown } Type = Unknown;
  InventoryReport Inv;
  LoadReport Ld;
  std::string Bytes;
  std::string Why;    // for Unknown
  std::string Reason; // for Unknown, one word: one of BadReasons()
};

// The short names of what makes a package no report, for counting.
const std::vector<std::string>& BadReasons();

// A package may hold several reports back to back (the two timers fire
// together): split it by the marks and lengths.
std::vector<Piece> SplitPackage(const std::string& package);

std::string HexDump(const std::string& bytes);
// Text as it stands where it is valid UTF-8; each byte that is not (and,
// with controls, each control character) becomes the four characters \xHH,
// so that nothing a node sends is read as another encoding, and nothing it
// sends can steer a terminal.
std::string ShowBytes(const std::string& bytes, bool controls);
// A line of text for a person, or one JSON object, naming the line.
std::string FormatText(const std::string& line, const Piece& piece);
std::string FormatJson(const std::string& line, const Piece& piece);
// A line's state change as one JSON object: {"line":..,"event":"lost","reason":..}
// ("reason" only where one is given).
std::string FormatJsonEvent(const std::string& line, const std::string& event,
                            const std::string& reason = "");

} // namespace VexilCtl
