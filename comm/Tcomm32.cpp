#include "comm/Tcomm32.h"

#include "base/Hx_base.h"

namespace LumaroComm32 {

namespace {

struct TErrorText {
  std::uint8_t Code;
  const char* Text; // null closes the set
};

// The texts of every set are GBK; the traditional set becomes Big5 on the
// way out when the language asks for it. Each set ends with its fallback.
const TErrorText ERR_SIMPLIFIED[] = {
    {1, "\xC4\xDA\xB4\xE6\xB2\xBB\xB9\xBB"},                                 // 内存不够
    {2, "\xB2\xBB\xC4\xDC\xB3\xF5\xCA\xBC\xBB\xAF\xB6\xC1\xBB\xBA\xB4\xE6"}, // 不能初始化读缓存
    {3, "\xB2\xBB\xC4\xDC\xB3\xF5\xCA\xBC\xBB\xAF\xD0\xB4\xBB\xBA\xB4\xE6"}, // 不能初始化写缓存
    {4, "\xB2\xBB\xC4\xDC\xB4\xF2\xBF\xAA\xB6\xCB\xBF\xDA"},                 // 不能打开端口
    {5,
     "\xB2\xBB\xC4\xDC\xC9\xE8\xD6\xC3\xB6\xCB\xBF\xDA\xCA\xC2\xBC\xFEMASK"}, // 不能设置端口事件MASK
    {6, "\xB2\xBB\xC4\xDC\xC9\xE8\xD6\xC3\xB6\xCB\xBF\xDA\xBB\xBA\xB4\xE6"}, // 不能设置端口缓存
    {7, "\xB2\xBB\xC4\xDC\xB5\xC3\xB5\xBD\xB6\xCB\xBF\xDA\xB2\xCE\xCA\xFD"}, // 不能得到端口参数
    {8, "\xB2\xBB\xC4\xDC\xC9\xE8\xD6\xC3\xB6\xCB\xBF\xDA\xB2\xCE\xCA\xFD"}, // 不能设置端口参数
    {
        9, "\xB2\xBB\xC4\xDC\xB4\xB4\xBD\xA8\xB6\xCB\xBF\xDA\xD2\xEC\xB2\xBD\xB6\xC1\xCA\xC2\xBC"
           "\xFE"}, // 不能创建端口异步读事件
    {10, "\xB2\xBB\xC4\xDC\xB4\xB4\xBD\xA8\xB6\xCB\xBF\xDA\xD2\xEC\xB2\xBD\xD0\xB4\xCA\xC2\xBC"
         "\xFE"}, // 不能创建端口异步写事件
    {11,
     "\xB2\xBB\xC4\xDC\xB4\xB4\xBD\xA8\xB6\xCB\xBF\xDA\xB6\xC1\xCF\xDF\xB3\xCC"}, // 不能创建端口读线程
    {12,
     "\xB2\xBB\xC4\xDC\xB4\xB4\xBD\xA8\xB6\xCB\xBF\xDA\xD0\xB4\xCF\xDF\xB3\xCC"}, // 不能创建端口写线程
    {13,
     "\xB2\xBB\xC4\xDC\xB9\xD8\xB1\xD5\xB6\xCB\xBF\xDA\xB6\xC1\xCF\xDF\xB3\xCC"}, // 不能关闭端口读线程
    {14,
     "\xB2\xBB\xC4\xDC\xB9\xD8\xB1\xD5\xB6\xCB\xBF\xDA\xD0\xB4\xCF\xDF\xB3\xCC"}, // 不能关闭端口写线程
    {0, nullptr},
};
const char ERR_SIMPLIFIED_UNKNOWN[] = "\xCE\xB4\xD6\xAA\xB4\xED\xCE\xF3"; // 未知错误

const TErrorText ERR_TRADITIONAL[] = {
    {1, "\xD3\x9B\x91\x9B\xF3\x77\xB2\xBB\x89\xF2"},                         // 記憶體不夠
    {2, "\xB2\xBB\xC4\xDC\xB3\xF5\xCA\xBC\xBB\xAF\xD7\x78\xBE\x8F\xB4\xE6"}, // 不能初始化讀緩存
    {3, "\xB2\xBB\xC4\xDC\xB3\xF5\xCA\xBC\xBB\xAF\x8C\x91\xBE\x8F\xB4\xE6"}, // 不能初始化寫緩存
    {4, "\xB2\xBB\xC4\xDC\xB4\xF2\xE9\x5F\xB2\xBA"},                         // 不能打開埠
    {5, "\xB2\xBB\xC4\xDC\xD4\x4F\xD6\xC3\xB2\xBA\xCA\xC2\xBC\xFEMASK"}, // 不能設置埠事件MASK
    {6, "\xB2\xBB\xC4\xDC\xD4\x4F\xD6\xC3\xB2\xBA\xBE\x8F\xB4\xE6"},     // 不能設置埠緩存
    {7, "\xB2\xBB\xC4\xDC\xB5\xC3\xB5\xBD\xB2\xBA\x85\xA2\x94\xB5"},     // 不能得到埠參數
    {8, "\xB2\xBB\xC4\xDC\xD4\x4F\xD6\xC3\xB2\xBA\x85\xA2\x94\xB5"},     // 不能設置埠參數
    {
        9, "\xB2\xBB\xC4\xDC\x84\x93\xBD\xA8\xB2\xBA\xB7\xC7\xCD\xAC\xB2\xBD\xD7\x78\xCA\xC2\xBC"
           "\xFE"}, // 不能創建埠非同步讀事件
    {10, "\xB2\xBB\xC4\xDC\x84\x93\xBD\xA8\xB2\xBA\xB7\xC7\xCD\xAC\xB2\xBD\x8C\x91\xCA\xC2\xBC"
         "\xFE"}, // 不能創建埠非同步寫事件
    {11,
     "\xB2\xBB\xC4\xDC\x84\x93\xBD\xA8\xB2\xBA\xD7\x78\x88\xCC\xD0\xD0\xBE\x77"}, // 不能創建埠讀執行緒
    {12,
     "\xB2\xBB\xC4\xDC\x84\x93\xBD\xA8\xB2\xBA\x8C\x91\x88\xCC\xD0\xD0\xBE\x77"}, // 不能創建埠寫執行緒
    {13,
     "\xB2\xBB\xC4\xDC\xEA\x50\xE9\x5D\xB2\xBA\xD7\x78\x88\xCC\xD0\xD0\xBE\x77"}, // 不能關閉埠讀執行緒
    {14,
     "\xB2\xBB\xC4\xDC\xEA\x50\xE9\x5D\xB2\xBA\x8C\x91\x88\xCC\xD0\xD0\xBE\x77"}, // 不能關閉埠寫執行緒
    {0, nullptr},
};
const char ERR_TRADITIONAL_UNKNOWN[] = "\xCE\xB4\xD6\xAA\xE5\x65\xD5\x60"; // 未知錯誤

const TErrorText ERR_ENGLISH[] = {
    {1, "Out of memory"},
    {2, "Cannot initialize read buffer"},
    {3, "Cannot initialize write buffer"},
    {4, "Cannot open COM port"},
    {5, "Cannot set comm-mask"},
    {6, "Cannot set COM port buffer size"},
    {7, "Cannot read COM port parameters"},
    {8, "Cannot set COM port parameters"},
    {9, "Cannot create COM port asynchronize read event"},
    {10, "Cannot create COM port asynchronize write event"},
    {11, "Cannot create COM port read thread"},
    {12, "Cannot create COM port write thread"},
    {13, "Cannot close COM port read thread"},
    {14, "Cannot close COM port write thread"},
    {0, nullptr},
};
const char ERR_ENGLISH_UNKNOWN[] = "Unknown error";

const char* errorText(std::uint8_t code) {
  static const TErrorText* const SETS[] = {ERR_SIMPLIFIED, ERR_TRADITIONAL, ERR_ENGLISH};
  static const char* const UNKNOWN[] = {ERR_SIMPLIFIED_UNKNOWN, ERR_TRADITIONAL_UNKNOWN,
                                        ERR_ENGLISH_UNKNOWN};
  const int column = TLumaroFuncs::AppLang.TextColumn();
  for (const TErrorText* row = SETS[column]; row->Text; ++row)
    if (row->Code == code)
      return row->Text;
  return UNKNOWN[column];
}

} // namespace

EComm32Error::EComm32Error(TErrorCode code) : Exception(errorText(code)), ErrorCode(code) {
  Message = AnsiString(TLumaroFuncs::AppLang.FromGBK(TLumaroFuncs::TLumaroString(Message)));
}

} // namespace LumaroComm32
