#include "app/Unit1_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>

#include "platform/codepage.h"

namespace {

// The window's captions are simplified Chinese, stored as GBK.
const char CAPTION[] = "Vexil\xBD\xDA\xB5\xE3\xB5\xF7\xCA\xD4"; // Vexil节点调试
const char CAP_RUN[] = "\xD4\xCB\xD0\xD0";                      // 运行
const char CAP_PAUSE[] = "\xD4\xDD\xCD\xA3";                    // 暂停
const char CAP_CLEAR[] = "\xC7\xE5\xBF\xD5";                    // 清空
const char CAP_EXIT[] = "\xCD\xCB\xB3\xF6";                     // 退出
const char CAP_HIDE[] = "\xD2\xFE\xB2\xD8";                     // 隐藏

QString gbk(const char* text) {
  return QString::fromStdString(platform::ToUtf8(text, 134));
}

} // namespace

TForm1Window::TForm1Window(TForm1& Form) : _Form(Form) {
  setWindowTitle(gbk(CAPTION));
  setGeometry(167, 131, 612, 438);
  QFont f(QStringLiteral("MS Sans Serif"));
  f.setPixelSize(11);
  setFont(f);

  memo = new QPlainTextEdit(this);
  memo1 = new QPlainTextEdit(this);
  for (QPlainTextEdit* pane : {memo, memo1}) {
    pane->setReadOnly(true);
    pane->setMaximumBlockCount(TForm1::MAX_PANE_LINES);
    pane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  }
  memo->setObjectName("memo");
  memo1->setObjectName("memo1");
  Panel1 = new QWidget(this);
  Panel1->setObjectName("Panel1");
  const auto button = [this](const char* name, const char* caption, int left, int width) {
    auto* b = new QPushButton(gbk(caption), Panel1);
    b->setObjectName(name);
    b->setGeometry(left, 16, width, 33);
    return b;
  };
  Button6 = button("Button6", CAP_RUN, 58, 73);
  Button5 = button("Button5", CAP_PAUSE, 157, 73);
  Button2 = button("Button2", CAP_CLEAR, 257, 75);
  Button1 = button("Button1", CAP_EXIT, 364, 75);
  Button4 = button("Button4", CAP_HIDE, 470, 75);
  setTabOrder(Button1, Button2);
  setTabOrder(Button2, Button4);
  setTabOrder(Button4, Button5);
  setTabOrder(Button5, Button6);
  QObject::connect(Button1, &QPushButton::clicked, this, [this] { _Form.Button1Click(nullptr); });
  QObject::connect(Button2, &QPushButton::clicked, this, [this] { _Form.Button2Click(nullptr); });
  QObject::connect(Button4, &QPushButton::clicked, this, [this] { _Form.Button4Click(nullptr); });
  QObject::connect(Button5, &QPushButton::clicked, this, [this] { _Form.Button5Click(nullptr); });
  QObject::connect(Button6, &QPushButton::clicked, this, [this] { _Form.Button6Click(nullptr); });
  _Form.View = this;
}

TForm1Window::~TForm1Window() {
  if (_Form.View == this)
    _Form.View = nullptr;
}

void TForm1Window::resizeEvent(QResizeEvent*) {
  // memo fills what memo1 (right, 316 wide) and Panel1 (bottom, 61 high) leave.
  const int panel = 61, right = 316;
  Panel1->setGeometry(0, height() - panel, width(), panel);
  memo1->setGeometry(width() - right, 0, right, height() - panel);
  memo->setGeometry(0, 0, width() - right, height() - panel);
}

void TForm1Window::Append(TPane Pane, const std::string& Line) {
  // Byte for byte, as an 8-bit pane shows received bytes.
  (Pane == pnMemo ? memo : memo1)
      ->appendPlainText(QString::fromLatin1(Line.data(), static_cast<qsizetype>(Line.size())));
}

void TForm1Window::Clear(TPane Pane) {
  (Pane == pnMemo ? memo : memo1)->clear();
}

void TForm1Window::Hide() {
  hide();
}

void TForm1Window::closeEvent(QCloseEvent* e) {
  // Closing the window ends the run, as Exit does.
  _Form.FormClose();
  QCoreApplication::exit(0);
  QWidget::closeEvent(e);
}
