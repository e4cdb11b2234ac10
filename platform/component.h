// The component base of the GUI framework, on QObject: the owner is the
// parent (it destroys what it owns), the name is the objectName, and the
// component state says whether it sits in a designer.
#pragma once

#include <QObject>

#include "platform/rtl.h"

enum TComponentStateFlag : unsigned { csDesigning = 0x01 };
using TComponentState = unsigned;

class TComponent : public QObject, public TObject {
public:
  explicit TComponent(TComponent* AOwner) : QObject(AOwner) {}
  TComponent* Owner() const { return dynamic_cast<TComponent*>(parent()); }

  TComponentState ComponentState = 0;
};
