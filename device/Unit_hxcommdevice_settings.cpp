#include "device/Unit_hxcommdevice_settings.h"

#include <charconv>
#include <functional>

#include "base/Hx_base.h"
#include "device/Unit_hxcomm32_about.h"

using LumaroComm32::TCommSerialPortInfo;
using Dev = THxCustomCommDevice;

const char* const TForm_HxCommDevice_Settings::TEXTS[txCount][3] = {
    // BnOK: 确定 / 確定
    {"\xC8\xB7\xB6\xA8", "\xB4\x5F\xB6\xA8", "&OK"},
    // BnCancel: 取消 / 取消
    {"\xC8\xA1\xCF\xFB", "\xC8\xA1\xCF\xFB", "&Cancel"},
    // Caption: 端口设置 / 序列埠設置
    {"\xB6\xCB\xBF\xDA\xC9\xE8\xD6\xC3", "\xD0\xF2\xC1\xD0\xB2\xBA\xD4\x4F\xD6\xC3",
     "COM port Setup"},
    // lbPort: 端口 / 序 列 埠
    {"\xB6\xCB\xBF\xDA", "\xD0\xF2 \xC1\xD0 \xB2\xBA", "COM port"},
    // lbBaud: 波特率 / 傳輸速率
    {"\xB2\xA8\xCC\xD8\xC2\xCA", "\x82\xF7\xDD\x94\xCB\xD9\xC2\xCA", "Baud"},
    // lbCheck: 奇偶校验 / 奇偶校驗
    {"\xC6\xE6\xC5\xBC\xD0\xA3\xD1\xE9", "\xC6\xE6\xC5\xBC\xD0\xA3\xF2\x9E", "Parity"},
    // lbBits: 数据位 / 資料位元
    {"\xCA\xFD\xBE\xDD\xCE\xBB", "\xD9\x59\xC1\xCF\xCE\xBB\xD4\xAA", "Byte Size"},
    // lbStops: 停止位 / 停止位元
    {"\xCD\xA3\xD6\xB9\xCE\xBB", "\xCD\xA3\xD6\xB9\xCE\xBB\xD4\xAA", "Stop Bits"},
    // lbFlow: 数据流控 / 資料流控
    {"\xCA\xFD\xBE\xDD\xC1\xF7\xBF\xD8", "\xD9\x59\xC1\xCF\xC1\xF7\xBF\xD8", "Flow Control"},
    // Parity0: No parity (无) / No parity (無)
    {"No parity (\xCE\xDE)", "No parity (\x9F\x6F)", "No parity"},
    // Parity1: Odd (奇) / Odd (奇)
    {"Odd (\xC6\xE6)", "Odd (\xC6\xE6)", "Odd"},
    // Parity2: Even (偶) / Even (偶)
    {"Even (\xC5\xBC)", "Even (\xC5\xBC)", "Even"},
    // Parity3: Mark (标记) / Mark (標記)
    {"Mark (\xB1\xEA\xBC\xC7)", "Mark (\x98\xCB\xD3\x9B)", "Mark"},
    // Parity4: Space (空格) / Space (空白)
    {"Space (\xBF\xD5\xB8\xF1)", "Space (\xBF\xD5\xB0\xD7)", "Space Parity"},
    // Flow0: None (无) / None (無)
    {"None (\xCE\xDE)", "None (\x9F\x6F)", "None"},
    // Flow1: RTS/CTS (硬件) / RTS/CTS (硬體)
    {"RTS/CTS (\xD3\xB2\xBC\xFE)", "RTS/CTS (\xD3\xB2\xF3\x77)", "RTS/CTS"},
    // Flow2: Xon/Xoff (软件) / Xon/Xoff (軟體)
    {"Xon/Xoff (\xC8\xED\xBC\xFE)", "Xon/Xoff (\xDC\x9B\xF3\x77)", "Xon/Xoff"},
    // Flow3: RTS/CTS & Xon/Xoff (硬&软) / RTS/CTS & Xon/Xoff (硬&軟)
    {"RTS/CTS & Xon/Xoff (\xD3\xB2&\xC8\xED)", "RTS/CTS & Xon/Xoff (\xD3\xB2&\xDC\x9B)",
     "RTS/CTS & Xon/Xoff"},
    // ErrPort: 必须选择端口 / 必須選擇序列埠
    {"\xB1\xD8\xD0\xEB\xD1\xA1\xD4\xF1\xB6\xCB\xBF\xDA",
     "\xB1\xD8\xED\x9A\xDF\x78\x93\xF1\xD0\xF2\xC1\xD0\xB2\xBA", "Must select COM Port"},
    // ErrBaud: 必须输入/选择波特率 / 必須輸入/選擇序列傳輸速率
    {"\xB1\xD8\xD0\xEB\xCA\xE4\xC8\xEB/\xD1\xA1\xD4\xF1\xB2\xA8\xCC\xD8\xC2\xCA",
     "\xB1\xD8\xED\x9A\xDD\x94\xC8\xEB/"
     "\xDF\x78\x93\xF1\xD0\xF2\xC1\xD0\x82\xF7\xDD\x94\xCB\xD9\xC2\xCA",
     "Must select baud rate"},
    // ErrByteSize: 必须选择数据位 / 必須選擇資料位元
    {"\xB1\xD8\xD0\xEB\xD1\xA1\xD4\xF1\xCA\xFD\xBE\xDD\xCE\xBB",
     "\xB1\xD8\xED\x9A\xDF\x78\x93\xF1\xD9\x59\xC1\xCF\xCE\xBB\xD4\xAA", "Must select byte size"},
    // ErrParity: 必须选择奇偶校验 / 必須選擇奇偶校驗
    {"\xB1\xD8\xD0\xEB\xD1\xA1\xD4\xF1\xC6\xE6\xC5\xBC\xD0\xA3\xD1\xE9",
     "\xB1\xD8\xED\x9A\xDF\x78\x93\xF1\xC6\xE6\xC5\xBC\xD0\xA3\xF2\x9E",
     "Must select parity check"},
    // ErrStopBits: 必须选择停止位 / 必須選擇停止位元
    {"\xB1\xD8\xD0\xEB\xD1\xA1\xD4\xF1\xCD\xA3\xD6\xB9\xCE\xBB",
     "\xB1\xD8\xED\x9A\xDF\x78\x93\xF1\xCD\xA3\xD6\xB9\xCE\xBB\xD4\xAA", "Must select stop bits"},
    // ErrFlow: 必须选择数据流控制 / 必須選擇資料流程控制
    {"\xB1\xD8\xD0\xEB\xD1\xA1\xD4\xF1\xCA\xFD\xBE\xDD\xC1\xF7\xBF\xD8\xD6\xC6",
     "\xB1\xD8\xED\x9A\xDF\x78\x93\xF1\xD9\x59\xC1\xCF\xC1\xF7\xB3\xCC\xBF\xD8\xD6\xC6",
     "Must select flow control"},
    // BnAbout: 关于 / 關於
    {"\xB9\xD8\xD3\xDA", "\xEA\x50\xEC\xB6", "&About"},
    // BnDefault: 默认 / 默認
    {"\xC4\xAC\xC8\xCF", "\xC4\xAC\xD5\x4A", "&Default"},
    // GboxBase: 端口选项 / 埠選項
    {"\xB6\xCB\xBF\xDA\xD1\xA1\xCF\xEE", "\xB2\xBA\xDF\x78\xED\x97", "Port"},
    // GBoxModem: 调制解调器选项 / 數據機選項
    {"\xB5\xF7\xD6\xC6\xBD\xE2\xB5\xF7\xC6\xF7\xD1\xA1\xCF\xEE",
     "\x94\xB5\x93\xFE\x99\x43\xDF\x78\xED\x97", "Modem"},
    // GBoxBuffer: 缓存容量 / 緩存容量
    {"\xBB\xBA\xB4\xE6\xC8\xDD\xC1\xBF", "\xBE\x8F\xB4\xE6\xC8\xDD\xC1\xBF", "Buffer"},
    // lbAAns: 自动应答 / 自動回應
    {"\xD7\xD4\xB6\xAF\xD3\xA6\xB4\xF0", "\xD7\xD4\x84\xD3\xBB\xD8\x91\xAA", "Auto Answer"},
    // lbInbs: 输入缓存 / 輸入緩存
    {"\xCA\xE4\xC8\xEB\xBB\xBA\xB4\xE6", "\xDD\x94\xC8\xEB\xBE\x8F\xB4\xE6", "Input Buf."},
    // lbOutbs: 输出缓存 / 輸出緩存
    {"\xCA\xE4\xB3\xF6\xBB\xBA\xB4\xE6", "\xDD\x94\xB3\xF6\xBE\x8F\xB4\xE6", "Output Buf."},
    // ErrAutoAns: 自动应答必须是 0 - 255 的整数 / 自動回應必須是 0 - 255 的整數
    {"\xD7\xD4\xB6\xAF\xD3\xA6\xB4\xF0\xB1\xD8\xD0\xEB\xCA\xC7 0 - 255 \xB5\xC4\xD5\xFB\xCA\xFD",
     "\xD7\xD4\x84\xD3\xBB\xD8\x91\xAA\xB1\xD8\xED\x9A\xCA\xC7 0 - 255 \xB5\xC4\xD5\xFB\x94\xB5",
     "Auto Answer: 0 - 255"},
    // ErrInBuf: 输入缓存容量错误 / 輸入緩存容量錯誤
    {"\xCA\xE4\xC8\xEB\xBB\xBA\xB4\xE6\xC8\xDD\xC1\xBF\xB4\xED\xCE\xF3",
     "\xDD\x94\xC8\xEB\xBE\x8F\xB4\xE6\xC8\xDD\xC1\xBF\xE5\x65\xD5\x60", "Input Buffer size error"},
    // ErrOutBuf: 输出缓存容量错误 / 輸出緩存容量錯誤
    {"\xCA\xE4\xB3\xF6\xBB\xBA\xB4\xE6\xC8\xDD\xC1\xBF\xB4\xED\xCE\xF3",
     "\xDD\x94\xB3\xF6\xBE\x8F\xB4\xE6\xC8\xDD\xC1\xBF\xE5\x65\xD5\x60",
     "Output Buffer size error"},
};

AnsiString TForm_HxCommDevice_Settings::Text(TText Index) {
  return TLumaroFuncs::LangText(TEXTS[Index][0], TEXTS[Index][1], TEXTS[Index][2]);
}

namespace {

QLabel* label(QWidget* parent, int left, int top) {
  auto* l = new QLabel(parent);
  l->move(left, top);
  return l;
}

QComboBox* combo(QWidget* parent, int left, int top, int width) {
  auto* c = new QComboBox(parent);
  c->setGeometry(left, top, width, c->sizeHint().height());
  return c;
}

QLineEdit* edit(QWidget* parent, int left, int top, int width) {
  auto* e = new QLineEdit(parent);
  e->setGeometry(left, top, width, e->sizeHint().height());
  return e;
}

QPushButton* button(QWidget* parent, int left, int top) {
  auto* b = new QPushButton(parent);
  b->setGeometry(left, top, 75, 25);
  b->setCursor(Qt::PointingHandCursor);
  b->setAutoDefault(false);
  return b;
}

void setText(QWidget* w, const AnsiString& text) {
  if (auto* l = qobject_cast<QLabel*>(w)) {
    l->setText(QtText(text));
    l->adjustSize();
  } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
    g->setTitle(QtText(text));
  } else if (auto* b = qobject_cast<QPushButton*>(w)) {
    b->setText(QtText(text));
  }
}

// A whole number as the trimmed text of an edit: sign and decimal digits.
bool wholeNumber(const QString& text, long& value) {
  const std::string s = text.trimmed().toStdString();
  const char* first = s.data();
  const char* last = s.data() + s.size();
  if (first != last && *first == '+')
    ++first;
  if (first == last)
    return false;
  const auto [end, ec] = std::from_chars(first, last, value);
  return ec == std::errc() && end == last;
}

} // namespace

TForm_HxCommDevice_Settings::TForm_HxCommDevice_Settings(TComponent* AOwner,
                                                         THxCustomCommDevice* ADevice,
                                                         bool AActivateAfter)
    : TForm(AOwner), Device(ADevice), ActivateAfter(AActivateAfter) {
  setObjectName("Form_HxCommDevice_Settings");
  setFont(LangFont());
  setFixedSize(393, 228);

  GboxBase = new QGroupBox(this);
  GboxBase->setGeometry(8, 8, 185, 185);
  lbPort = label(GboxBase, 8, 28);
  CbPort = combo(GboxBase, 64, 24, 105);
  lbBaud = label(GboxBase, 8, 60);
  CbSelBaud = combo(GboxBase, 64, 56, 105);
  for (const char* rate : {"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200",
                           "38400", "56000", "57600", "115200", "128000", "256000"})
    CbSelBaud->addItem(rate);
  lbCheck = label(GboxBase, 8, 92);
  CbParity = combo(GboxBase, 64, 88, 105);
  lbBits = label(GboxBase, 8, 124);
  CbByteSize = combo(GboxBase, 64, 120, 105);
  CbByteSize->addItems({"5", "6", "7", "8"});
  lbStops = label(GboxBase, 8, 156);
  CbStopBits = combo(GboxBase, 64, 152, 105);
  CbStopBits->addItems({"1", "1.5", "2"});

  GBoxModem = new QGroupBox(this);
  GBoxModem->setGeometry(200, 8, 185, 89);
  lbFlow = label(GBoxModem, 8, 28);
  CbFlow = combo(GBoxModem, 64, 24, 105);
  lbAAns = label(GBoxModem, 8, 60);
  EditAutoAns = edit(GBoxModem, 64, 56, 105);

  GBoxBuffer = new QGroupBox(this);
  GBoxBuffer->setGeometry(200, 104, 185, 89);
  lbInbs = label(GBoxBuffer, 8, 24);
  EditInBufSize = edit(GBoxBuffer, 64, 20, 105);
  lbOutbs = label(GBoxBuffer, 8, 56);
  EditOutBufSize = edit(GBoxBuffer, 64, 52, 105);

  BnAbout = button(this, 8, 200);
  BnDefault = button(this, 152, 200);
  BnOK = button(this, 232, 200);
  BnCancel = button(this, 312, 200);
  BnOK->setDefault(true); // Enter

  const std::pair<QWidget*, const char*> names[] = {{GboxBase, "GboxBase"},
                                                    {lbPort, "lbPort"},
                                                    {CbPort, "CbPort"},
                                                    {lbBaud, "lbBaud"},
                                                    {CbSelBaud, "CbSelBaud"},
                                                    {lbCheck, "lbCheck"},
                                                    {CbParity, "CbParity"},
                                                    {lbBits, "lbBits"},
                                                    {CbByteSize, "CbByteSize"},
                                                    {lbStops, "lbStops"},
                                                    {CbStopBits, "CbStopBits"},
                                                    {GBoxModem, "GBoxModem"},
                                                    {lbFlow, "lbFlow"},
                                                    {CbFlow, "CbFlow"},
                                                    {lbAAns, "lbAAns"},
                                                    {EditAutoAns, "EditAutoAns"},
                                                    {GBoxBuffer, "GBoxBuffer"},
                                                    {lbInbs, "lbInbs"},
                                                    {EditInBufSize, "EditInBufSize"},
                                                    {lbOutbs, "lbOutbs"},
                                                    {EditOutBufSize, "EditOutBufSize"},
                                                    {BnAbout, "BnAbout"},
                                                    {BnDefault, "BnDefault"},
                                                    {BnOK, "BnOK"},
                                                    {BnCancel, "BnCancel"}};
  for (const auto& [w, n] : names)
    w->setObjectName(n);
  // Tab order: the base group's combos, the modem group, the buffers, the buttons.
  QWidget* const order[] = {CbPort,    CbSelBaud,   CbParity,      CbByteSize,     CbStopBits,
                            CbFlow,    EditAutoAns, EditInBufSize, EditOutBufSize, BnAbout,
                            BnDefault, BnOK,        BnCancel};
  for (std::size_t i = 1; i < std::size(order); ++i)
    setTabOrder(order[i - 1], order[i]);

  QObject::connect(BnOK, &QPushButton::clicked, this, [this] { BnOKClick(this); });
  QObject::connect(BnCancel, &QPushButton::clicked, this, [this] { BnCancelClick(this); });
  QObject::connect(BnDefault, &QPushButton::clicked, this, [this] { BnDefaultClick(this); });
  QObject::connect(BnAbout, &QPushButton::clicked, this, [this] { BnAboutClick(this); });

  // Captions.
  setWindowTitle(QtText(Text(txCaption)));
  const std::pair<QWidget*, TText> captions[] = {
      {GboxBase, txGboxBase}, {GBoxModem, txGBoxModem}, {GBoxBuffer, txGBoxBuffer},
      {BnAbout, txAbout},     {BnDefault, txDefault},   {BnOK, txOK},
      {BnCancel, txCancel},   {lbPort, txPort},         {lbBaud, txBaud},
      {lbCheck, txParity},    {lbBits, txByteSize},     {lbStops, txStopBits},
      {lbFlow, txFlow},       {lbAAns, txAutoAns},      {lbInbs, txInBuf},
      {lbOutbs, txOutBuf}};
  for (const auto& [w, t] : captions)
    setText(w, Text(t));
  // Each label ends where its field begins (at 64).
  for (QLabel* l : {lbPort, lbBaud, lbCheck, lbBits, lbStops, lbFlow, lbAAns, lbInbs, lbOutbs})
    FitLabel(l, 64 - 8 - 4);

  {
    const TCommSerialPortInfo ports;
    CbPort->clear();
    for (const auto& name : ports.PortList)
      CbPort->addItem(QString::fromStdString(name));
  }
  CbParity->clear();
  for (int t = txParity0; t <= txParity4; ++t)
    CbParity->addItem(QtText(Text(static_cast<TText>(t))));
  CbFlow->clear();
  for (int t = txFlow0; t <= txFlow3; ++t)
    CbFlow->addItem(QtText(Text(static_cast<TText>(t))));

  if (!(Device->ComponentState & csDesigning)) {
    BnAbout->hide();
    BnDefault->hide();
    BnOK->move((width() - BnOK->width()) / 2 - 60, BnOK->y());
    BnCancel->move((width() - BnCancel->width()) / 2 + 60, BnCancel->y());
  }

  SavedActive = Device->fGetActive();
  SavedSettings.PortNo = Device->fGetPort();
  SavedSettings.Baud = Device->fGetBaud();
  SavedSettings.ByteSize = Device->fGetByteSize();
  SavedSettings.Parity = Device->fGetParity();
  SavedSettings.StopBits = Device->fGetStopBits();
  SavedSettings.FlowControl = Device->fGetFlCtrl();
  SavedSettings.AutoAnswer = Device->fGetAutAns();
  SavedSettings.InBufSize = Device->fGetInBufSize();
  SavedSettings.OutBufSize = Device->fGetOutBufSize();

  CbPort->setCurrentIndex(CbPort->findText(
      QString::fromStdString(TCommSerialPortInfo::PortName(SavedSettings.PortNo))));
  if (SavedSettings.Baud <= Dev::br256000)
    CbSelBaud->setCurrentIndex(SavedSettings.Baud);
  else
    CbSelBaud->setCurrentIndex(-1);
  CbByteSize->setCurrentIndex(
      SavedSettings.ByteSize >= 5 && SavedSettings.ByteSize <= 8 ? SavedSettings.ByteSize - 5 : -1);
  CbParity->setCurrentIndex(SavedSettings.Parity <= Dev::ptSpaceParity ? SavedSettings.Parity : -1);
  CbStopBits->setCurrentIndex(SavedSettings.StopBits <= Dev::sbTwoStopBit ? SavedSettings.StopBits
                                                                          : -1);
  switch (SavedSettings.FlowControl) {
  case Dev::fcRtsCts: CbFlow->setCurrentIndex(1); break;
  case Dev::fcXonXoff:
  case Dev::fcTranXonXoff: CbFlow->setCurrentIndex(2); break;
  case Dev::fcRtsCtsXonXoff: CbFlow->setCurrentIndex(3); break;
  default: CbFlow->setCurrentIndex(0);
  }
  EditAutoAns->setText(QString::number(SavedSettings.AutoAnswer));
  EditInBufSize->setText(QString::number(SavedSettings.InBufSize));
  EditOutBufSize->setText(QString::number(SavedSettings.OutBufSize));
}

bool TForm_HxCommDevice_Settings::_Fail(QWidget* Control, TText Message) {
  Control->setFocus();
  ShowMessageBox(this, QtText(Text(Message)), windowTitle(), TMsgIcon::Error);
  return false;
}

void TForm_HxCommDevice_Settings::BnOKClick(TObject*) {
  // Enter moves along the chain of fields before it applies anything.
  QWidget* const chain[] = {CbPort, CbSelBaud,   CbParity,      CbByteSize,    CbStopBits,
                            CbFlow, EditAutoAns, EditInBufSize, EditOutBufSize};
  QWidget* focused = focusWidget();
  for (std::size_t i = 0; i + 1 < std::size(chain); ++i)
    if (focused == chain[i]) {
      chain[i + 1]->setFocus();
      return;
    }

  TSettings s{};
  if (CbPort->currentIndex() < 0)
    return (void)_Fail(CbPort, txErrPort);
  s.PortNo = TCommSerialPortInfo::PortNo(CbPort->currentText().toStdString());
  if (CbSelBaud->currentIndex() < 0 || CbSelBaud->currentIndex() > 14)
    return (void)_Fail(CbSelBaud, txErrBaud);
  s.Baud = static_cast<Dev::TBaudRate>(CbSelBaud->currentIndex());
  if (CbByteSize->currentIndex() < 0)
    return (void)_Fail(CbByteSize, txErrByteSize);
  s.ByteSize = CbByteSize->currentIndex() + 5;
  if (CbParity->currentIndex() < 0 || CbParity->currentIndex() > 4)
    return (void)_Fail(CbParity, txErrParity);
  s.Parity = static_cast<Dev::TParity>(CbParity->currentIndex());
  if (CbStopBits->currentIndex() < 0 || CbStopBits->currentIndex() > 2)
    return (void)_Fail(CbStopBits, txErrStopBits);
  s.StopBits = static_cast<Dev::TStopBits>(CbStopBits->currentIndex());
  static constexpr Dev::TFlowControl FLOWS[] = {Dev::fcNone, Dev::fcRtsCts, Dev::fcXonXoff,
                                                Dev::fcRtsCtsXonXoff};
  if (CbFlow->currentIndex() < 0 || CbFlow->currentIndex() > 3)
    return (void)_Fail(CbFlow, txErrFlow);
  s.FlowControl = FLOWS[CbFlow->currentIndex()];
  long value = 0;
  if (!wholeNumber(EditAutoAns->text(), value) || value < 0 || value > 255)
    return (void)_Fail(EditAutoAns, txErrAutoAns);
  s.AutoAnswer = static_cast<int>(value);
  if (!wholeNumber(EditInBufSize->text(), value) || value < 4096 ||
      value > LumaroComm32::TCommQueue::MaxBufSize)
    return (void)_Fail(EditInBufSize, txErrInBuf);
  s.InBufSize = value;
  if (!wholeNumber(EditOutBufSize->text(), value) || value < 4096 ||
      value > LumaroComm32::TCommQueue::MaxBufSize)
    return (void)_Fail(EditOutBufSize, txErrOutBuf);
  s.OutBufSize = value;

  try {
    _Apply(s, SavedActive || ActivateAfter, false);
  } catch (const Exception& e) {
    // Everything back as it was; the first error is the one the user sees.
    _Apply(SavedSettings, SavedActive, true);
    CbPort->setFocus();
    ShowMessageBox(this, QtText(e.Message), windowTitle(), TMsgIcon::Error);
    return;
  }
  done(mrOk);
}

void TForm_HxCommDevice_Settings::_Apply(const TSettings& S, bool Active, bool IgnoreErrors) {
  const std::function<void()> writes[] = {
      [&] { Device->fSetPort(S.PortNo); },           [&] { Device->fSetBaud(S.Baud); },
      [&] { Device->fSetParity(S.Parity); },         [&] { Device->fSetByteSize(S.ByteSize); },
      [&] { Device->fSetStopBits(S.StopBits); },     [&] { Device->fSetFlCtrl(S.FlowControl); },
      [&] { Device->fSetAutAns(S.AutoAnswer); },     [&] { Device->fSetInBufSize(S.InBufSize); },
      [&] { Device->fSetOutBufSize(S.OutBufSize); }, [&] { Device->fSetActive(Active); }};
  for (const auto& write : writes) {
    if (!IgnoreErrors) {
      write();
      continue;
    }
    try {
      write();
    } catch (...) {
    }
  }
}

void TForm_HxCommDevice_Settings::BnCancelClick(TObject*) {
  done(mrCancel);
}

void TForm_HxCommDevice_Settings::reject() {
  BnCancelClick(this);
}

void TForm_HxCommDevice_Settings::BnDefaultClick(TObject*) {
  CbSelBaud->setCurrentIndex(12);
  CbParity->setCurrentIndex(0);
  CbByteSize->setCurrentIndex(3);
  CbStopBits->setCurrentIndex(0);
  CbFlow->setCurrentIndex(0);
  EditAutoAns->setText("0");
  EditInBufSize->setText("8192");
  EditOutBufSize->setText("8192");
}

void TForm_HxCommDevice_Settings::BnAboutClick(TObject*) {
  TForm_HXComm32_About about(nullptr, Device->ClassName());
  about.exec();
}

namespace {

// The component shows this dialog wherever the window library is linked or
// loaded.
const bool dialogOffered = [] {
  THxCustomCommDevice::SetSettingsDialog(
      [](THxCustomCommDevice& Device, TComponent* AOwner, bool ActivateAfter) {
        TForm_HxCommDevice_Settings dialog(AOwner, &Device, ActivateAfter);
        return dialog.exec() == TForm::mrOk;
      });
  return true;
}();

} // namespace
