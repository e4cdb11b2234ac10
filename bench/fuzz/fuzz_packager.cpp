// Fuzz target for the packager's receive paths.
//
// Input: a 6-byte header, then the byte stream.
//   header[0..2]  frame head, tail and escape bytes
//   header[3..4]  package size (little endian, 0..8191)
//   header[5]     bit 0: double marks when encoding; bit 1: also fuzz the
//                 silence cutter
// The stream is fed to the head/tail decoder in pieces whose lengths come
// from the stream itself (a byte n, then the next n + 1 bytes), so frames are
// split at arbitrary points. Checked:
//   - no package is longer than the package size;
//   - with three distinct frame bytes, every decoded package encoded again and
//     decoded by a fresh decoder comes back unchanged (round trip);
//   - the silence cutter returns the stream unchanged, cut into packages,
//     whenever no package reached the package size.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "comm/Tcommpkg.h"
#include "tests/support/package_probe.h"

using namespace LumaroComm32;

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_packager: %s\n", what);
  std::abort();
}

struct Rig {
  Rig() {
    // Room for the longest frame of the largest package, in and out.
    port.InQueue->fSetBufSize(1 << 15);
    port.OutQueue->fSetBufSize(1 << 15);
  }
  TComm32 port;
  TCommPackage pkg{&port};
  // Only the target polls the silence cutter: runs repeat exactly.
  bool stopped = (TCommPackageProbe::StopTimer(pkg), true);
};

Rig& rig() {
  static Rig* r = new Rig; // lives for the whole run; its threads are idle
  return *r;
}

void configure(TCommPackage& p, TCommPackageType type, unsigned head, unsigned tail, unsigned ctrl,
               unsigned long size, bool twice) {
  p.fSetActive(false);
  p.fSetPkgType(type);
  p.fSetQSize(64);
  if (static_cast<unsigned long>(p.PackageSize()) != size)
    p.fSetPkgSz(size);
  p.FrameHead = static_cast<unsigned char>(head);
  p.FrameTail = static_cast<unsigned char>(tail);
  p.FrameCtrl = static_cast<unsigned char>(ctrl);
  p.fSetDblFrameMark(twice);
  p.fSetActive(true);
}

std::vector<std::string> drain(TCommPackage& p, unsigned long size) {
  std::vector<std::string> out;
  std::string buf(size + 16, '\0');
  while (TCommPackageProbe::Held(p) > 0) {
    const int n = p.ReadPackage(buf.data(), buf.size());
    if (n < 0 || static_cast<unsigned long>(n) > size)
      fail("package longer than the package size");
    out.push_back(buf.substr(0, static_cast<std::size_t>(n)));
  }
  return out;
}

void feed(Rig& r, const std::string& bytes) {
  r.port.InQueue->In(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  r.pkg.fNewCommNotify(&r.port, 0x0001);
}

// Pieces of the stream: a length byte n, then n + 1 bytes.
std::vector<std::string> pieces(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < size) {
    const std::size_t n = std::min<std::size_t>(data[i] + 1u, size - i - 1);
    out.emplace_back(reinterpret_cast<const char*>(data + i + 1), n);
    i += n + 1;
  }
  return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6)
    return 0;
  const unsigned head = data[0], tail = data[1], ctrl = data[2];
  const unsigned long pkgSize = (data[3] | data[4] << 8) & 0x1FFF;
  const bool twice = data[5] & 1, silence = data[5] & 2;
  const auto stream = pieces(data + 6, size - 6);
  Rig& r = rig();
  r.port.InQueue->Discard();
  r.port.OutQueue->Discard();

  // Head/tail decoding, then the round trip.
  configure(r.pkg, cptFrameHeadTail, head, tail, ctrl, pkgSize, twice);
  std::vector<std::string> decoded;
  for (const auto& piece : stream) {
    feed(r, piece);
    for (auto& p : drain(r.pkg, pkgSize))
      decoded.push_back(std::move(p));
  }
  if (head != tail && tail != ctrl && head != ctrl) {
    for (const auto& p : decoded) {
      r.port.OutQueue->Discard();
      if (!p.empty() && r.pkg.WritePackage(p.data(), p.size()) != static_cast<int>(p.size()))
        fail("a decoded package could not be written again");
      if (p.empty())
        continue; // size 0 writes nothing in this mode
      std::string frame(2 * p.size() + 8, '\0');
      frame.resize(static_cast<std::size_t>(
          r.port.OutQueue->Out(frame.data(), static_cast<std::int32_t>(frame.size()))));
      r.pkg.fSetActive(true); // a fresh decoder
      feed(r, frame);
      const auto again = drain(r.pkg, pkgSize);
      if (again.size() != 1 || again[0] != p)
        fail("round trip changed a package");
    }
  }

  // Silence cutting: a tick after each piece, and sometimes a quiet one.
  if (silence) {
    r.port.InQueue->Discard();
    configure(r.pkg, cptFrameTimeout, head, tail, ctrl, pkgSize, twice);
    std::string fed, got;
    bool reachedLimit = pkgSize == 0; // nothing fits: every byte is dropped
    std::size_t k = 0;
    for (const auto& piece : stream) {
      r.port.InQueue->In(piece.data(), static_cast<std::int32_t>(piece.size()));
      fed += piece;
      TCommPackageProbe::Tick(r.pkg);
      if (piece.size() % 3 == 0 || ++k % 4 == 0)
        TCommPackageProbe::Tick(r.pkg); // silence: closes what is assembled
      for (const auto& p : drain(r.pkg, pkgSize)) {
        reachedLimit = reachedLimit || p.size() == pkgSize;
        got += p;
      }
    }
    TCommPackageProbe::Tick(r.pkg);
    TCommPackageProbe::Tick(r.pkg);
    for (const auto& p : drain(r.pkg, pkgSize)) {
      reachedLimit = reachedLimit || p.size() == pkgSize;
      got += p;
    }
    if (!reachedLimit && got != fed)
      fail("silence cutting lost or changed bytes");
  }
  return 0;
}
