// The node agent: its report packets and the routines that fill them.
#pragma once

#include <cstdint>
#include <string>

// The load report: AA A1, memory load, sixteen processor loads, EE.
constexpr int LOAD_PACKET_SIZE = 20;
extern unsigned char LoadPacket[LOAD_PACKET_SIZE];

// Byte 2: physical memory in use, percent, rounded half up.
void GetMemRate(unsigned char* Packet);
// Bytes 3 to 18: each processor's busy share since its previous sample, in
// percent; 0xFF where no processor was sampled.
void GetCpuRate(unsigned char* Packet);
// Forgets the previous processor samples (a new run starts from zero).
void ResetCpuSamples();

// The inventory report: AA A2, counts, clock, memory, disk size text, host
// name, four addresses, processor model, OS text, FF FF EE.
constexpr int INVENTORY_PACKET_SIZE = 200;
extern unsigned char InventoryPacket[INVENTORY_PACKET_SIZE];

// Fills bytes 2 to 196 from the system's figures.
void GetSysInventory(unsigned char* Packet);

// The processor model text for a vendor string and leaf 1's EAX and EBX;
// empty for other vendors.
std::string CpuModelText(const std::string& Vendor, std::uint32_t Signature, std::uint32_t Ebx);
// The OS text of a Windows version record (platform id, major, minor, the
// service-pack text); Linux records give "Linux " and the kernel release.
std::string OsText(std::uint32_t PlatformId, std::uint32_t Major, std::uint32_t Minor,
                   const std::string& CSDVersion);

// Powers the node off (0) or reboots it (any other value). The action runs
// on a thread of its own, so the caller (the window thread, with its report
// timers) never waits for it; a failure is written to standard error with
// its reason. A request while one still runs is refused with a message.
void SystemPower(int Mode);
// Waits until a power action that runs has ended: true then, false when it
// still runs after Ms milliseconds (Ms < 0: waits as long as it takes).
bool WaitForPowerAction(int Ms = -1);

#include <QObject>

#include <memory>

#include "app/line_keeper.h"
#include "device/Hxcommdevice.h"
#include "device/timers.h"

// What the agent's window shows, when it has one: the debug window of the
// window library (-d). The agent itself links no window code.
class TForm1View {
public:
  enum TPane { pnMemo, pnMemo1 }; // the left (load) and right (inventory) panes
  virtual ~TForm1View() = default;
  virtual void Append(TPane Pane, const std::string& Line) = 0;
  virtual void Clear(TPane Pane) = 0;
  virtual void Hide() = 0;
};

// The agent's main window: the two report timers, the serial line and the
// handlers of its five buttons. Its panes and buttons (memo, memo1, Panel1,
// Button1 ...) live in the window library's TForm1Window, made only for -d;
// without one the form runs hidden, as it does without -d.
class TForm1 : public QObject {
public:
  // Lines kept in each pane; older ones scroll away.
  static constexpr int MAX_PANE_LINES = 5000;

  TForm1();
  ~TForm1() override;

  void Button1Click(TObject* Sender);
  void Button2Click(TObject* Sender);
  void Timer1Timer(TObject* Sender);
  void Button4Click(TObject* Sender);
  void Timer2Timer(TObject* Sender);
  void Button5Click(TObject* Sender);
  void Button6Click(TObject* Sender);
  void comPackage(TObject* Sender, int NotifyType);
  // Opens the line (COM2, else COM1, never a kernel console); false with
  // each port's cause in Error when neither opens.
  bool FormCreate(AnsiString& Error);
  // Timers off, line closed, threads joined.
  void FormClose();

  std::unique_ptr<TTimer> Timer1;
  std::unique_ptr<THxCommDevice> com;
  std::unique_ptr<TTimer> Timer2;
  // Keeps com on a working line: COM2, else COM1; reopened when lost.
  std::unique_ptr<TLineKeeper> Lines;
  int debugMode = 0;
  int tickCount = 0;
  // The window, while one shows this form (set by the window itself).
  TForm1View* View = nullptr;

private:
  void _Log(TForm1View::TPane Pane, const std::string& Line);
  // A timer's tick: when the other timer is due within a few milliseconds
  // too, both reports are built first and then handed to the line in one
  // write, so that one wake-up of this thread, of the port's writer and of
  // its reader serves both; the other timer then counts down again from
  // here.
  void _ReportTick(TTimer& Ticked, TTimer& Other);
  // Writes to the line while the port is open; the bytes taken.
  long _Write(const void* Data, long Size);
  // The debug log of a report sent, and for the inventory the schedule step.
  void _LoadSent(long Sent);
  void _InventorySent(long Sent);
  bool _Closed = false;
};

extern TForm1* Form1;

// Whether the argument text (the command line after the program name)
// asks for the debug window: "-d" anywhere, case-sensitive.
bool HasDebugSwitch(int argc, char** argv);
