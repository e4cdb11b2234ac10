// Shared run-time types of the system: the root object, the exception with a
// message, the 8-bit string and the two notification closure types.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <utility>

class TObject {
public:
  TObject() = default;
  TObject(const TObject&) = default;
  TObject& operator=(const TObject&) = default;
  virtual ~TObject() = default;
};

// 8-bit code-page text (GBK, Big5 or ASCII); never converted to Unicode inside
// the system, only at the GUI boundary.
using AnsiString = std::string;

class Exception : public std::exception {
public:
  explicit Exception(AnsiString message) : Message(std::move(message)) {}
  const char* what() const noexcept override { return Message.c_str(); }

  AnsiString Message;
};

// A closure is installed when it holds a target; an empty one is skipped.
using TNotifyEvent = std::function<void(TObject* Sender)>;
using TCommNotifyEvent = std::function<void(TObject* Sender, int NotifyType)>;
