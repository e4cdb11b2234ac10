// Puts the global AppLang into a language for one test and back afterwards.
#pragma once

#include "base/Hx_base.h"

class LangGuard {
public:
  LangGuard(TLumaroFuncs::TAppLang::TLangType type, bool cvtBig5 = true)
      : detect_(TLumaroFuncs::AppLang.DetectType()), type_(TLumaroFuncs::AppLang.LangType()),
        cvt_(TLumaroFuncs::AppLang.CvtBig5()) {
    TLumaroFuncs::AppLang.fSetLangType(type);
    TLumaroFuncs::AppLang.fSetCvtBig5(cvtBig5);
  }
  ~LangGuard() {
    TLumaroFuncs::AppLang.fSetLangType(type_);
    TLumaroFuncs::AppLang.fSetDetectType(detect_);
    TLumaroFuncs::AppLang.fSetCvtBig5(cvt_);
  }

private:
  TLumaroFuncs::TAppLang::TDetectType detect_;
  TLumaroFuncs::TAppLang::TLangType type_;
  bool cvt_;
};
