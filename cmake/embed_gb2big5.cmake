# cmake -DINPUT=gb2big5.bin -DOUTPUT=gb2big5_tab.cpp -DEXPECTED_SIZE=48132 -P embed_gb2big5.cmake
file(SIZE "${INPUT}" size)
if(NOT size EQUAL EXPECTED_SIZE)
  message(FATAL_ERROR "${INPUT} has ${size} bytes, expected ${EXPECTED_SIZE}: regenerate it with tools/gen_gb2big5.py")
endif()
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "(....)" "{0x\\1},\n" rows "${hex}")
string(REGEX REPLACE "{0x(..)(..)}" "{0x\\1, 0x\\2}" rows "${rows}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from base/gb2big5.bin; do not edit.\n"
  "#include \"base/Hx_base.h\"\n\n"
  "const unsigned char TLumaroFuncs::TAppLang::GB2BIG5_TAB[TLumaroFuncs::TAppLang::GB2BIG5_ENTRIES][2] = {\n"
  "${rows}};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
