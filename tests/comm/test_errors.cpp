#include <gtest/gtest.h>

#include <string>

#include "comm/Tcomm32.h"
#include "platform/codepage.h"
#include "tests/support/lang_guard.h"

using LumaroComm32::EComm32Error;
using TLumaroFuncs::TAppLang;

namespace {

struct Texts {
  const char* simplified;
  const char* traditional;
  const char* english;
};

// Indexed by code; 0 is the fallback of each set.
const Texts TEXTS[] = {
    {"未知错误", "未知錯誤", "Unknown error"},
    {"内存不够", "記憶體不夠", "Out of memory"},
    {"不能初始化读缓存", "不能初始化讀緩存", "Cannot initialize read buffer"},
    {"不能初始化写缓存", "不能初始化寫緩存", "Cannot initialize write buffer"},
    {"不能打开端口", "不能打開埠", "Cannot open COM port"},
    {"不能设置端口事件MASK", "不能設置埠事件MASK", "Cannot set comm-mask"},
    {"不能设置端口缓存", "不能設置埠緩存", "Cannot set COM port buffer size"},
    {"不能得到端口参数", "不能得到埠參數", "Cannot read COM port parameters"},
    {"不能设置端口参数", "不能設置埠參數", "Cannot set COM port parameters"},
    {"不能创建端口异步读事件", "不能創建埠非同步讀事件",
     "Cannot create COM port asynchronize read event"},
    {"不能创建端口异步写事件", "不能創建埠非同步寫事件",
     "Cannot create COM port asynchronize write event"},
    {"不能创建端口读线程", "不能創建埠讀執行緒", "Cannot create COM port read thread"},
    {"不能创建端口写线程", "不能創建埠寫執行緒", "Cannot create COM port write thread"},
    {"不能关闭端口读线程", "不能關閉埠讀執行緒", "Cannot close COM port read thread"},
    {"不能关闭端口写线程", "不能關閉埠寫執行緒", "Cannot close COM port write thread"},
};

std::string gbk(const char* utf8) {
  return platform::ConvertCodePage(utf8, "UTF-8", "GBK");
}

std::string message(int code) {
  return EComm32Error(static_cast<EComm32Error::TErrorCode>(code)).Message;
}

} // namespace

TEST(CommErrors, EnglishTexts) {
  LangGuard lang(TAppLang::ltEnglish);
  for (int code = 0; code <= 14; ++code)
    EXPECT_EQ(message(code), TEXTS[code].english) << code;
  for (int code : {15, 100, 255})
    EXPECT_EQ(message(code), "Unknown error") << code;
}

TEST(CommErrors, SimplifiedChineseTextsAreGbk) {
  LangGuard lang(TAppLang::ltGbk);
  for (int code = 0; code <= 14; ++code)
    EXPECT_EQ(message(code), gbk(TEXTS[code].simplified)) << code;
  EXPECT_EQ(message(4), "\xB2\xBB\xC4\xDC\xB4\xF2\xBF\xAA\xB6\xCB\xBF\xDA");
  EXPECT_EQ(message(200), gbk("未知错误"));
}

TEST(CommErrors, TraditionalChineseTexts) {
  {
    LangGuard lang(TAppLang::ltBig5, false);
    for (int code = 0; code <= 14; ++code)
      EXPECT_EQ(message(code), gbk(TEXTS[code].traditional)) << "stored as GBK, code " << code;
  }
  LangGuard lang(TAppLang::ltBig5, true);
  for (int code = 0; code <= 14; ++code)
    EXPECT_EQ(message(code), platform::ConvertCodePage(TEXTS[code].traditional, "UTF-8", "CP950"))
        << code;
  EXPECT_EQ(platform::ToUtf8(message(4), 136), "不能打開埠");
}

TEST(CommErrors, CodeAndMessageTravelWithTheException) {
  LangGuard lang(TAppLang::ltEnglish);
  try {
    throw EComm32Error(EComm32Error::ecOpenPort);
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Cannot open COM port");
    const auto* comm = dynamic_cast<const EComm32Error*>(&e);
    ASSERT_NE(comm, nullptr);
    EXPECT_EQ(comm->ErrorCode, EComm32Error::ecOpenPort);
  }
  EXPECT_EQ(EComm32Error(static_cast<EComm32Error::TErrorCode>(77)).ErrorCode, 77)
      << "the code is kept even when the fallback text is used";
}

TEST(CommErrors, LanguageIsLookedUpForEachError) {
  LangGuard english(TAppLang::ltEnglish);
  const EComm32Error before(EComm32Error::ecOpenPort);
  LangGuard chinese(TAppLang::ltGbk);
  const EComm32Error after(EComm32Error::ecOpenPort);
  EXPECT_EQ(before.Message, "Cannot open COM port");
  EXPECT_EQ(after.Message, gbk("不能打开端口"));
}
