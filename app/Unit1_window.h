// The agent's debug window: two log panes over a strip of five buttons, the
// window of TForm1 (part of the window library).
#pragma once

#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>

#include "app/Unit1.h"

class TForm1Window : public QWidget, public TForm1View {
public:
  explicit TForm1Window(TForm1& Form);
  ~TForm1Window() override;

  void Append(TPane Pane, const std::string& Line) override;
  void Clear(TPane Pane) override;
  void Hide() override;

  QPlainTextEdit* memo;
  QWidget* Panel1;
  QPushButton* Button1;
  QPushButton* Button2;
  QPushButton* Button4;
  QPushButton* Button5;
  QPushButton* Button6;
  QPlainTextEdit* memo1;

protected:
  void closeEvent(QCloseEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;

private:
  TForm1& _Form;
  bool _Hiding = false;
};
