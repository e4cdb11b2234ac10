#include "ctl/reports.h"

#include <cstdio>
#include <cstring>

namespace VexilCtl {

namespace {

constexpr std::size_t INVENTORY_SIZE = 200, LOAD_SIZE = 20;

std::string text(const std::string& b, std::size_t offset, std::size_t width) {
  const std::string field = b.substr(offset, width);
  return field.substr(0, field.find('\0'));
}

std::uint32_t u32(const std::string& b, std::size_t o) {
  const auto* p = reinterpret_cast<const unsigned char*>(b.data() + o);
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The length of the valid UTF-8 sequence at p (at most left bytes), 0 when
// there is none: no overlong forms, no surrogates, nothing past U+10FFFF.
std::size_t utf8Length(const unsigned char* p, std::size_t left) {
  if (p[0] < 0x80)
    return 1;
  const std::size_t n = p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC2 ? 2 : 0;
  if (n == 0 || p[0] > 0xF4 || left < n)
    return 0;
  for (std::size_t i = 1; i < n; ++i)
    if ((p[i] & 0xC0) != 0x80)
      return 0;
  if ((p[0] == 0xE0 && p[1] < 0xA0) || (p[0] == 0xED && p[1] >= 0xA0) ||
      (p[0] == 0xF0 && p[1] < 0x90) || (p[0] == 0xF4 && p[1] >= 0x90))
    return 0;
  return n;
}

// Valid UTF-8 passes; JSON's own escapes for quote, backslash and control
// characters; bytes that are no UTF-8 as \xHH text.
std::string jsonString(const std::string& raw) {
  const std::string s = ShowBytes(raw, false);
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// The length of the whole report that starts at offset, 0 when none does.
std::size_t reportAt(const std::string& b, std::size_t offset) {
  if (b.size() - offset < 2 || b[offset] != '\xAA')
    return 0;
  const std::size_t size = b[offset + 1] == '\xA2'   ? INVENTORY_SIZE
                           : b[offset + 1] == '\xA1' ? LOAD_SIZE
                                                     : 0;
  return size && b.size() - offset >= size && b[offset + size - 1] == '\xEE' ? size : 0;
}

std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(' ');
  const auto last = s.find_last_not_of(' ');
  return first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
}

} // namespace

const std::vector<std::string>& BadReasons() {
  static const std::vector<std::string> reasons = {"no_start_mark",       "unknown_type",
                                                   "inventory_cut_short", "inventory_no_end_mark",
                                                   "load_cut_short",      "load_no_end_mark"};
  return reasons;
}

std::vector<Piece> SplitPackage(const std::string& package) {
  std::vector<Piece> pieces;
  std::size_t at = 0;
  while (at < package.size()) {
    const std::string rest = package.substr(at);
    Piece p;
    const bool marked = rest.size() >= 2 && rest[0] == '\xAA';
    if (marked && rest[1] == '\xA2' && rest.size() >= INVENTORY_SIZE &&
        rest[INVENTORY_SIZE - 1] == '\xEE') {
      p.Type = Piece::Inventory;
      p.Bytes = rest.substr(0, INVENTORY_SIZE);
      auto& r = p.Inv;
      const auto* b = reinterpret_cast<const unsigned char*>(p.Bytes.data());
      r.Processors = b[2];
      r.NetworkCards = b[3];
      r.Disks = b[4];
      r.ClockMHz = u32(p.Bytes, 5);
      r.MemoryUnits = u32(p.Bytes, 9);
      r.DiskSize = text(p.Bytes, 13, 8);
      r.HostName = text(p.Bytes, 21, 16);
      for (int i = 0; i < 4; ++i)
        r.Addresses[i] = text(p.Bytes, 37 + 16 * static_cast<std::size_t>(i), 16);
      r.ProcessorModel = text(p.Bytes, 101, 48);
      r.Os = text(p.Bytes, 149, 48);
      at += INVENTORY_SIZE;
    } else if (marked && rest[1] == '\xA1' && rest.size() >= LOAD_SIZE &&
               rest[LOAD_SIZE - 1] == '\xEE') {
      p.Type = Piece::Load;
      p.Bytes = rest.substr(0, LOAD_SIZE);
      const auto* b = reinterpret_cast<const unsigned char*>(p.Bytes.data());
      p.Ld.MemoryLoad = b[2];
      for (int i = 0; i < 16; ++i)
        p.Ld.Cpu[i] = b[3 + i] == 0xFF ? -1 : b[3 + i];
      at += LOAD_SIZE;
    } else {
      // Not a report here: up to the next whole report (if one follows, the
      // line resynchronises on it), say why, keep the bytes.
      std::size_t next = 1;
      while (next < rest.size() && !reportAt(rest, next))
        ++next;
      p.Bytes = rest.substr(0, next);
      const bool cut = next < (rest.size() > 1 && rest[1] == '\xA2' ? INVENTORY_SIZE : LOAD_SIZE);
      if (!marked)
        p.Reason = "no_start_mark";
      else if (rest[1] == '\xA2')
        p.Reason = cut ? "inventory_cut_short" : "inventory_no_end_mark";
      else if (rest[1] == '\xA1')
        p.Reason = cut ? "load_cut_short" : "load_no_end_mark";
      else
        p.Reason = "unknown_type";
      if (!marked)
        p.Why = "no report start mark (AA A1 or AA A2)";
      else if (rest[1] == '\xA2')
        p.Why = next < INVENTORY_SIZE
                    ? "inventory report cut short (" + std::to_string(next) + " of 200 bytes)"
                    : "inventory report without its end mark EE";
      else if (rest[1] == '\xA1')
        p.Why = next < LOAD_SIZE
                    ? "load report cut short (" + std::to_string(next) + " of 20 bytes)"
                    : "load report without its end mark EE";
      else
        p.Why = "unknown report type";
      at += next;
    }
    pieces.push_back(std::move(p));
  }
  return pieces;
}

std::string HexDump(const std::string& bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%02X ", c);
    out += b;
  }
  if (!out.empty())
    out.pop_back();
  return out;
}

std::string ShowBytes(const std::string& bytes, bool controls) {
  std::string out;
  out.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = utf8Length(p + i, bytes.size() - i);
    if (n == 0 || (controls && n == 1 && (p[i] < 0x20 || p[i] == 0x7F))) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", p[i]);
      out += hex;
      ++i;
    } else if (controls && n == 2 && p[i] == 0xC2 && p[i + 1] < 0xA0) {
      // C1 controls (U+0080 to U+009F) steer some terminals too.
      char hex[16];
      std::snprintf(hex, sizeof hex, "\\u%04x", p[i + 1]);
      out += hex;
      i += 2;
    } else {
      out.append(bytes, i, n);
      i += n;
    }
  }
  return out;
}

std::string FormatText(const std::string& line, const Piece& piece) {
  // What the node wrote, shown so that it cannot steer the terminal.
  Piece shown = piece;
  auto& inv = shown.Inv;
  for (std::string* field :
       {&inv.DiskSize, &inv.HostName, &inv.ProcessorModel, &inv.Os, &inv.Addresses[0],
        &inv.Addresses[1], &inv.Addresses[2], &inv.Addresses[3], &shown.Why})
    *field = ShowBytes(*field, true);
  const Piece& p = shown;
  std::string out = line.empty() ? "" : line + ": ";
  switch (p.Type) {
  case Piece::Inventory: {
    const auto& r = p.Inv;
    out += "inventory: host " + r.HostName + ", " + std::to_string(r.Processors) +
           " processor(s) at " + std::to_string(r.ClockMHz) + " MHz (" + trim(r.ProcessorModel) +
           "), memory " +
           std::to_string(static_cast<unsigned long long>(r.MemoryUnits) * 1024000 / 1000000) +
           " MB, " + std::to_string(r.Disks) + " disk(s) " + trim(r.DiskSize) + ", " +
           std::to_string(r.NetworkCards) + " card(s):";
    for (const auto& a : r.Addresses)
      out += " " + (a.empty() ? std::string("-") : a);
    out += ", OS " + r.Os;
    break;
  }
  case Piece::Load: {
    out += "load: memory " + std::to_string(p.Ld.MemoryLoad) + "%, cpu";
    for (int v : p.Ld.Cpu)
      out += " " + (v < 0 ? std::string("-") : std::to_string(v));
    break;
  }
  default:
    out += "not a report (" + p.Why + "), " + std::to_string(p.Bytes.size()) +
           " bytes: " + HexDump(p.Bytes);
  }
  return out;
}

std::string FormatJsonEvent(const std::string& line, const std::string& event,
                            const std::string& reason) {
  return "{\"line\":" + jsonString(line) + ",\"event\":" + jsonString(event) +
         (reason.empty() ? std::string() : ",\"reason\":" + jsonString(reason)) + "}";
}

std::string FormatJson(const std::string& line, const Piece& p) {
  std::string out = "{\"line\":" + jsonString(line);
  switch (p.Type) {
  case Piece::Inventory: {
    const auto& r = p.Inv;
    out += ",\"type\":\"inventory\",\"processors\":" + std::to_string(r.Processors) +
           ",\"clock_mhz\":" + std::to_string(r.ClockMHz) +
           ",\"processor_model\":" + jsonString(trim(r.ProcessorModel)) + ",\"memory_bytes\":" +
           std::to_string(static_cast<unsigned long long>(r.MemoryUnits) * 1024000) +
           ",\"disks\":" + std::to_string(r.Disks) +
           ",\"disk_size\":" + jsonString(trim(r.DiskSize)) +
           ",\"host\":" + jsonString(r.HostName) +
           ",\"network_cards\":" + std::to_string(r.NetworkCards) + ",\"addresses\":[";
    for (int i = 0; i < 4; ++i)
      out += (i ? "," : "") + jsonString(r.Addresses[i]);
    out += "],\"os\":" + jsonString(r.Os);
    break;
  }
  case Piece::Load: {
    out += ",\"type\":\"load\",\"memory_load\":" + std::to_string(p.Ld.MemoryLoad) + ",\"cpu\":[";
    for (int i = 0; i < 16; ++i)
      out += (i ? "," : "") + (p.Ld.Cpu[i] < 0 ? std::string("null") : std::to_string(p.Ld.Cpu[i]));
    out += "]";
    break;
  }
  default:
    out += ",\"type\":\"unknown\",\"reason\":" + jsonString(p.Why) +
           ",\"length\":" + std::to_string(p.Bytes.size()) +
           ",\"hex\":" + jsonString(HexDump(p.Bytes));
  }
  return out + "}";
}

} // namespace VexilCtl
