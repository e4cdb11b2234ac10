#!/usr/bin/env python3
"""Print C string literals holding the GBK bytes of each argument.

The system's Chinese texts are stored as GBK bytes in UTF-8 source files:
    python3 tools/gbk_literal.py 不能打开端口 記憶體不夠
prints one literal per text with the text itself as a trailing comment.  Every
byte of a double-byte character is written as an escape, ASCII stays as it is.
"""

import sys


def literal(text):
    out = ""
    after_escape = False
    for ch in text:
        code = ch.encode("gbk")
        if len(code) == 1 and code[0] < 0x80:
            # An escape followed by a hex digit would swallow it: split there.
            if after_escape and ch in "0123456789abcdefABCDEF":
                out += '""'
            out += {'"': '\\"', "\\": "\\\\"}.get(ch, ch)
            after_escape = False
        else:
            out += "".join(f"\\x{b:02X}" for b in code)
            after_escape = True
    return f'"{out}"'


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    for text in sys.argv[1:]:
        print(f"{literal(text)} /* {text} */")
