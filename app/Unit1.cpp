#include "app/Unit1.h"

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "app/line_keeper.h"
#include "platform/codepage.h"
#include "platform/power.h"
#include "platform/service.h"
#include "platform/sysfigures.h"

#include <QCoreApplication>

// Constant bytes are set when the unit is loaded; the rest starts at zero.
unsigned char LoadPacket[LOAD_PACKET_SIZE] = {0xAA, 0xA1, 0, 0, 0, 0, 0, 0, 0, 0,
                                              0,    0,    0, 0, 0, 0, 0, 0, 0, 0xEE};

unsigned char InventoryPacket[INVENTORY_PACKET_SIZE];

namespace {
// The inventory report's marks, set when the unit is loaded.
const bool inventoryMarksSet = [] {
  InventoryPacket[0] = 0xAA;
  InventoryPacket[1] = 0xA2;
  InventoryPacket[197] = 0xFF;
  InventoryPacket[198] = 0xFF;
  InventoryPacket[199] = 0xEE;
  return true;
}();
} // namespace

namespace {

constexpr int MAX_CPUS = 16;
// When each processor was last sampled and its idle milliseconds then.
std::uint32_t CpuSampleTick[MAX_CPUS];
std::uint32_t CpuSampleIdle[MAX_CPUS];

} // namespace

void ResetCpuSamples() {
  std::memset(CpuSampleTick, 0, sizeof CpuSampleTick);
  std::memset(CpuSampleIdle, 0, sizeof CpuSampleIdle);
}

void GetMemRate(unsigned char* Packet) {
  platform::MemoryStatus status;
  if (!platform::Figures().GetMemoryStatus(status) || status.TotalPhys == 0)
    return; // a failed query leaves the byte as it was
  const float avail = static_cast<float>(status.AvailPhys);
  const float total = static_cast<float>(status.TotalPhys);
  Packet[2] = static_cast<unsigned char>(static_cast<int>(100.0 - avail * 100.0 / total + 0.5));
}

void GetCpuRate(unsigned char* Packet) {
  std::memset(Packet + 3, 0xFF, MAX_CPUS);
  std::uint32_t prevTick[MAX_CPUS], prevIdle[MAX_CPUS];
  std::memcpy(prevTick, CpuSampleTick, sizeof prevTick);
  std::memcpy(prevIdle, CpuSampleIdle, sizeof prevIdle);

  std::vector<std::uint64_t> idle;
  if (!platform::Figures().GetProcessorIdleTimes(idle))
    return; // bytes stay 0xFF, the samples as they were
  const int n = static_cast<int>(std::min<std::size_t>(idle.size(), MAX_CPUS));
  for (int i = 0; i < n; ++i) {
    CpuSampleTick[i] = platform::Figures().GetTickCount();
    CpuSampleIdle[i] = static_cast<std::uint32_t>(idle[static_cast<std::size_t>(i)]);
  }
  for (int i = 0; i < n; ++i) {
    std::uint32_t elapsed = CpuSampleTick[i] - prevTick[i];
    if (elapsed <= 1)
      elapsed = 1;
    const std::uint32_t q = (CpuSampleIdle[i] - prevIdle[i]) * 100u / elapsed;
    Packet[3 + i] = static_cast<unsigned char>((100u - (q % 256u)) % 256u);
  }
}

namespace {

void putU32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Text into a zero-padded field, cut to the field's width.
void putText(unsigned char* field, std::size_t width, const std::string& text) {
  std::memset(field, 0, width);
  std::memcpy(field, text.data(), std::min(width, text.size()));
}

} // namespace

std::string CpuModelText(const std::string& Vendor, std::uint32_t Signature, std::uint32_t Ebx) {
  std::string text;
  if (Vendor.find("Intel") != std::string::npos) {
    switch (Ebx & 0xFF) {
    case 1:
    case 7:
    case 10: text = "Intel Celeron "; break;
    case 2:
    case 4:
    case 6: text = "Intel Pentium III "; break;
    case 3: text = "Intel PIII Xeon "; break;
    case 8: text = Signature < 0xF13 ? "Intel Pentium 4 " : "Intel Genuine "; break;
    case 9: text = "Intel Pentium 4 "; break;
    default: text = "Intel Xeon "; break;
    }
  }
  if (Vendor.find("AMD") != std::string::npos) {
    const unsigned family = (Signature >> 8) & 0xF, model = (Signature >> 4) & 0xF;
    text = "AMD Processor ";
    if (family == 6) {
      if (model == 1 || model == 2 || model == 4)
        text = "AMD Athlon ";
      else if (model == 3 || model == 7)
        text = "AMD Duron ";
      else if (model == 6)
        text = "AMD AthlonXP ";
      else if (model == 8 || model == 10)
        text = "AMD Athlon MP ";
    } else if (family == 15) {
      if (model == 4)
        text = "AMD Athlon64 ";
      else if (model == 5)
        text = "AMD Opteron ";
    }
  }
  return text;
}

std::string OsText(std::uint32_t PlatformId, std::uint32_t Major, std::uint32_t Minor,
                   const std::string& CSDVersion) {
  // What follows "Service Pack " in the service-pack text.
  const std::string sp = CSDVersion.size() > 13 ? CSDVersion.substr(13) : std::string();
  switch (PlatformId) {
  case 0: return "Windows3.1";
  case 1: return Minor == 0 ? "Windows95" : "Windows98";
  case 2:
    if (Major == 3)
      return "WindowsNT3.51";
    if (Major == 4)
      return "WindowsNT4.0sp" + sp;
    if (Major == 5) {
      static const char* const names[] = {"Windows2000", "WindowsXP", "Windows2003"};
      if (Minor <= 2)
        return CSDVersion.empty() ? names[Minor] : std::string(names[Minor]) + " SP" + sp;
      return CSDVersion.empty() ? std::string() : sp;
    }
    return std::string();
  default: return std::string();
  }
}

void GetSysInventory(unsigned char* Packet) {
  platform::SystemFigures& figures = platform::Figures();

  // Processors: the count and the clock of the last one.
  Packet[2] = 0;
  putU32(Packet + 5, 0);
  unsigned count = 0;
  std::uint32_t mhz = 0;
  if (figures.GetProcessors(count, mhz)) {
    Packet[2] = static_cast<unsigned char>(std::min(count, 255u));
    putU32(Packet + 5, mhz);
  }

  // Network cards: byte 3 only when they can be listed.
  std::vector<std::string> cards;
  const bool haveCards = figures.GetNetworkCards(cards);
  if (haveCards)
    Packet[3] = static_cast<unsigned char>(cards.size() & 0xFF);

  platform::MemoryStatus memory;
  if (figures.GetMemoryStatus(memory))
    putU32(Packet + 9, static_cast<std::uint32_t>(memory.TotalPhys / 1024000));

  // Disks: the Windows geometry product, added up in single precision.
  std::memset(Packet + 13, 0, 8);
  float total = 0.0f;
  const auto disks = figures.GetDisks();
  for (const auto& d : disks) {
    const std::uint32_t perCylinder = d.BytesPerSector * d.SectorsPerTrack * d.TracksPerCylinder;
    total += static_cast<float>(static_cast<std::uint64_t>(perCylinder) * d.Cylinders);
  }
  Packet[4] = static_cast<unsigned char>(std::min<std::size_t>(disks.size(), 255));
  char size[32];
  std::snprintf(size, sizeof size, "%6.1fG", static_cast<double>(total * 1e-9f));
  putText(Packet + 13, 8, size);

  // Computer name, cut to 15 bytes so that its field keeps a terminator.
  putText(Packet + 21, 16, figures.GetComputerName().substr(0, 15));

  // Four address slots: the cards with an address (their own, or through
  // what they are enslaved to) first, in the cards' order, then the cards
  // without; a server whose bond's cards come fifth and sixth still reports
  // its address.
  std::memset(Packet + 37, 0, 64);
  std::stable_partition(cards.begin(), cards.end(),
                        [](const std::string& a) { return !a.empty(); });
  if (haveCards)
    for (std::size_t c = 0; c < 4 && c < cards.size(); ++c)
      putText(Packet + 37 + 16 * c, 16, cards[c].substr(0, 15));

  std::memset(Packet + 101, 0, 48);
  platform::CpuIdentity cpu;
  if (figures.GetCpuIdentity(cpu))
    putText(Packet + 101, 48, CpuModelText(cpu.Vendor, cpu.Signature, cpu.Ebx));

  std::memset(Packet + 149, 0, 48);
  platform::OsVersionRecord os;
  if (figures.GetOsVersion(os)) {
    if (os.OsName.empty())
      putText(Packet + 149, 48,
              OsText(os.PlatformId, os.MajorVersion, os.MinorVersion, os.CSDVersion));
    else
      putText(Packet + 149, 48, os.OsName + " " + os.KernelRelease);
  }
}

// ---------------------------------------------------------------------------
// Power

namespace {

// One power action at a time, off the window thread; joined before the next
// one starts and at the end of the run.
class TPowerRunner {
public:
  ~TPowerRunner() { Wait(-1); }
  void Start(platform::PowerAction Action) {
    std::unique_lock lock(_Lock);
    const char* what = Action == platform::PowerAction::PowerOff ? "power off" : "reboot";
    if (_Busy) {
      platform::SayLine(std::string("vexil-agent: ") + what +
                        " refused: a power action is still running");
      return;
    }
    if (_Thread.joinable())
      _Thread.join();
    _Busy = true;
    _Thread = std::thread([this, Action, what] {
      const std::string failed = platform::DoPowerAction(Action);
      if (!failed.empty())
        platform::SayLine(std::string("vexil-agent: ") + what + " failed: " + failed);
      std::lock_guard done(_Lock);
      _Busy = false;
      _Ended.notify_all();
    });
  }
  // True once no action runs (its thread joined); false when one still
  // runs after Ms milliseconds (Ms < 0: no limit).
  bool Wait(int Ms) {
    std::unique_lock lock(_Lock);
    if (Ms < 0)
      _Ended.wait(lock, [this] { return !_Busy; });
    else if (!_Ended.wait_for(lock, std::chrono::milliseconds(Ms), [this] { return !_Busy; }))
      return false;
    if (_Thread.joinable())
      _Thread.join();
    return true;
  }

private:
  std::mutex _Lock;
  std::condition_variable _Ended;
  std::thread _Thread;
  bool _Busy = false; // guarded by _Lock
};

TPowerRunner& powerRunner() {
  static TPowerRunner runner;
  return runner;
}

} // namespace

void SystemPower(int Mode) {
  powerRunner().Start(Mode == 0 ? platform::PowerAction::PowerOff : platform::PowerAction::Reboot);
}

bool WaitForPowerAction(int Ms) {
  return powerRunner().Wait(Ms);
}

// ---------------------------------------------------------------------------
// The main window

TForm1* Form1 = nullptr;

namespace {

const std::string SEPARATOR(44, '*');

std::int32_t s32(const unsigned char* p) {
  return static_cast<std::int32_t>(p[0] | p[1] << 8 | p[2] << 16 |
                                   static_cast<std::uint32_t>(p[3]) << 24);
}

std::string text(const unsigned char* p, std::size_t width) {
  const char* s = reinterpret_cast<const char*>(p);
  return std::string(s, strnlen(s, width));
}

} // namespace

TForm1::TForm1() {
  Form1 = this;
  Timer1 = std::make_unique<TTimer>(this, 5000, false, [this] { _ReportTick(*Timer1, *Timer2); });
  Timer2 = std::make_unique<TTimer>(this, 3000, true, [this] { _ReportTick(*Timer2, *Timer1); });

  // The line as the form describes it.
  com = std::make_unique<THxCommDevice>(nullptr);
  com->fSetPort(2);
  com->fSetBaud(THxCustomCommDevice::br19200);
  com->fSetByteSize(8);
  com->fSetInBufSize(8192);
  com->fSetOutBufSize(8192);
  com->fSetHwInSize(1200);
  com->fSetHwOutSize(1200);
  com->fSetQSize(16);
  com->fSetPkgSz(4096);
  com->OnPackage = [this](TObject* Sender, int NotifyType) { comPackage(Sender, NotifyType); };
  Lines = std::make_unique<TLineKeeper>(
      *com, [](const std::string& Line) { platform::SayLine("vexil-agent: " + Line); },
      [](const std::string& Status) { platform::NotifyStatus(Status); });
  com->OnCommNotify = [this](TObject*, int NotifyType) { Lines->PortNotify(NotifyType); };
  // A service that started without a line reports, once one opens, as if
  // it had just started: the inventory report first, 3 s later.
  Lines->OnFirstLine = [this] {
    Timer1->fSetEnabled(false);
    Timer2->fSetEnabled(false);
    Timer2->fSetInterval(3000);
    tickCount = 0;
    Timer2->fSetEnabled(true);
  };
}

TForm1::~TForm1() {
  FormClose();
  if (Form1 == this)
    Form1 = nullptr;
}

void TForm1::_Log(TForm1View::TPane Pane, const std::string& Line) {
  if (View)
    View->Append(Pane, Line);
}

bool TForm1::FormCreate(AnsiString& Error) {
  GetCpuRate(LoadPacket);
  tickCount = 0;
  if (Lines->OpenFirst())
    return true;
  Error = Lines->FailureText();
  return false;
}

void TForm1::_ReportTick(TTimer& Ticked, TTimer& Other) {
  // Timer1 starts in Timer2's handler, a few milliseconds after Timer2's
  // count-down: their ticks fall together, this far apart at most.
  constexpr int ALIGN_MS = 50;
  if (!Other.Enabled() || Other.RemainingMs() > ALIGN_MS) {
    if (&Ticked == Timer1.get())
      Timer1Timer(nullptr);
    else
      Timer2Timer(nullptr);
    return;
  }
  GetSysInventory(InventoryPacket);
  GetMemRate(LoadPacket);
  GetCpuRate(LoadPacket);
  // One write for both: the port's writer is woken once, and the line
  // carries the same bytes in the same order as two writes would.
  unsigned char both[INVENTORY_PACKET_SIZE + LOAD_PACKET_SIZE];
  std::memcpy(both, InventoryPacket, INVENTORY_PACKET_SIZE);
  std::memcpy(both + INVENTORY_PACKET_SIZE, LoadPacket, LOAD_PACKET_SIZE);
  const long sent = _Write(both, sizeof both);
  _InventorySent(std::min<long>(sent, INVENTORY_PACKET_SIZE));
  _LoadSent(std::max<long>(sent - INVENTORY_PACKET_SIZE, 0));
  if (Other.Enabled()) // the schedule step may have changed it
    Other.Restart();
}

void TForm1::Timer1Timer(TObject*) {
  GetMemRate(LoadPacket);
  GetCpuRate(LoadPacket);
  _LoadSent(_Write(LoadPacket, LOAD_PACKET_SIZE));
}

long TForm1::_Write(const void* Data, long Size) {
  return com->fGetActive() ? com->Write(Data, Size) : 0;
}

void TForm1::_LoadSent(long sent) {
  if (debugMode == 1) {
    _Log(TForm1View::pnMemo, "memrate:" + std::to_string(LoadPacket[2]));
    for (int i = 0; i < 16; ++i)
      _Log(TForm1View::pnMemo, "cpurate" + std::to_string(i) + std::to_string(LoadPacket[3 + i]));
    _Log(TForm1View::pnMemo,
         "====>send com" + std::to_string(com->fGetPort()) + "  " + std::to_string(sent));
    _Log(TForm1View::pnMemo, SEPARATOR);
  }
}

void TForm1::Timer2Timer(TObject*) {
  GetSysInventory(InventoryPacket);
  _InventorySent(_Write(InventoryPacket, INVENTORY_PACKET_SIZE));
}

void TForm1::_InventorySent(long sent) {
  if (debugMode == 1) {
    const unsigned char* p = InventoryPacket;
    _Log(TForm1View::pnMemo1, "cpunum:" + std::to_string(p[2]));
    _Log(TForm1View::pnMemo1, "netnum:" + std::to_string(p[3]));
    _Log(TForm1View::pnMemo1, "disknum:" + std::to_string(p[4]));
    _Log(TForm1View::pnMemo1, "cpumhz:" + std::to_string(s32(p + 5)));
    _Log(TForm1View::pnMemo1, "memtotal:" + std::to_string(s32(p + 9)));
    _Log(TForm1View::pnMemo1, "disktotal:" + text(p + 13, 8));
    _Log(TForm1View::pnMemo1, "hostname:" + text(p + 21, 16));
    _Log(TForm1View::pnMemo1, "hostip1:" + text(p + 37, 16));
    _Log(TForm1View::pnMemo1, "hostip2:" + text(p + 53, 16));
    _Log(TForm1View::pnMemo1, "hostip3:" + text(p + 69, 16));
    _Log(TForm1View::pnMemo1, "hostip4:" + text(p + 85, 16));
    _Log(TForm1View::pnMemo1, "cputype:" + text(p + 101, 48));
    _Log(TForm1View::pnMemo1, "ostype:" + text(p + 149, 48));
    _Log(TForm1View::pnMemo1,
         "====>send com" + std::to_string(com->fGetPort()) + "  " + std::to_string(sent));
    _Log(TForm1View::pnMemo1, SEPARATOR);
  }
  if (tickCount >= 1) {
    Timer1->fSetEnabled(true);
  } else {
    ++tickCount;
    Timer2->fSetInterval(5000);
  }
}

void TForm1::comPackage(TObject*, int NotifyType) {
  if (NotifyType != 1)
    return;
  unsigned char buffer[32] = {};
  const long count = com->Read(buffer, 32);
  // Bytes past the count read are absent: a short package cannot pass.
  const auto byte = [&](int i) { return i < count ? buffer[i] : 0; };
  if (debugMode != 0) {
    _Log(TForm1View::pnMemo1,
         "receive:" + text(buffer, static_cast<std::size_t>(std::max(count, 0L))));
    _Log(TForm1View::pnMemo1, "receive byte:" + std::to_string(count));
    for (int i = 0; i < 4; ++i)
      _Log(TForm1View::pnMemo1, "receive:" + std::to_string(static_cast<signed char>(byte(i))));
    for (int v : {170, 204, 193, 238})
      _Log(TForm1View::pnMemo1, "should receive:" + std::to_string(v));
    _Log(TForm1View::pnMemo1, "sizeof char:" + std::to_string(sizeof(char)));
  }
  if (count <= 0 || byte(0) != 0xAA || byte(3) != 0xEE)
    return;
  switch (byte(2)) {
  case 0xC1:
  case 0xC2: {
    const bool off = byte(2) == 0xC1;
    // Logged before it is carried out: after a reboot, the journal of the
    // boot before says who asked for it.
    platform::SayLine(std::string("vexil-agent: ") + (off ? "power off" : "reboot") +
                      " requested by the controller on " + TLineKeeper::Describe(com->fGetPort()) +
                      (debugMode != 0 ? "; debug mode: only logged" : ""));
    if (debugMode != 0)
      _Log(TForm1View::pnMemo1,
           off ? "******system halt*********" : "******system reboot*********");
    else
      SystemPower(off ? 0 : 1);
    break;
  }
  case 0xB1:
  case 0xB2:
    if (debugMode != 0) {
      std::printf("*********usb changed********");
      std::fflush(stdout);
    }
    break;
  default: break;
  }
}

void TForm1::Button6Click(TObject*) {
  Timer1->fSetEnabled(true);
  Timer2->fSetEnabled(true);
}

void TForm1::Button5Click(TObject*) {
  Timer1->fSetEnabled(false);
  Timer2->fSetEnabled(false);
}

void TForm1::Button2Click(TObject*) {
  if (View) {
    View->Clear(TForm1View::pnMemo);
    View->Clear(TForm1View::pnMemo1);
  }
}

void TForm1::Button1Click(TObject*) {
  Timer1->fSetEnabled(false);
  Timer2->fSetEnabled(false);
  if (View)
    View->Hide(); // the window closes
  FormClose();
  QCoreApplication::exit(0);
}

void TForm1::Button4Click(TObject*) {
  if (View) {
    View->Hide();
    View->Clear(TForm1View::pnMemo);
  }
  debugMode = 0;
}

void TForm1::FormClose() {
  if (_Closed)
    return;
  _Closed = true;
  Timer1->fSetEnabled(false);
  Timer2->fSetEnabled(false);
  Lines->Stop();
  try {
    com->fSetActive(false);
  } catch (...) {
    // A thread that would not stop: the component joins it when it goes.
  }
}

bool HasDebugSwitch(int argc, char** argv) {
  std::string args;
  for (int i = 1; i < argc; ++i) {
    if (i > 1)
      args += ' ';
    args += argv[i];
  }
  return args.find("-d") != std::string::npos;
}
