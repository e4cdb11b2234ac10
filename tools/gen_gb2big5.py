#!/usr/bin/env python3
"""Build base/gb2big5.bin, the GBK to Big5 code table used by TAppLang::FromGBK.

The table has one two-byte entry for every GBK (lead, trail) pair with lead
0x81..0xFE and trail 0x40..0xFE (191 trails per lead, 0x7F included), that is
126 * 191 = 24066 entries, 48132 bytes.  Entry k = (lead - 0x81) * 191 +
(trail - 0x40) holds the Big5 code of the same character: first the Big5 lead
byte with its top bit cleared, then the Big5 trail byte.

What each entry holds, in this order:
  1. the GBK code decodes to a character that Big5 has: that character's code
     (so 于 stays 于, and the GBK codes of traditional characters such as 關
     find their Big5 codes);
  2. otherwise, the character's traditional form from OpenCC's "s2t" list, when
     Big5 has it (关 -> 關, 设 -> 設, 数 -> 數, 无 -> 無, 户 -> 戶, 单 -> 單);
     where that form is missing from Big5 the Taiwan list "s2tw" is tried
     (为 -> 爲 is not in Big5, 為 is);
  3. everything else (undefined GBK codes, characters with no Big5 counterpart):
     the Big5 ideographic space A1 40, stored as 21 40.

Sources: Python's own "gbk" and "cp950" codecs and the OpenCC command line
tool (Debian package "opencc").  Nothing is downloaded.

Regenerate (from the repository root):
    apt-get install opencc
    python3 tools/gen_gb2big5.py base/gb2big5.bin
The output is deterministic for a given Python and OpenCC; the build embeds the
checked-in file, so regenerate only when the sources change, and review the
entries that moved (`--diff OLD` prints them).
"""

import argparse
import subprocess
import sys

LEADS = range(0x81, 0xFF)
TRAILS = range(0x40, 0xFF)
ENTRIES = len(LEADS) * len(TRAILS)
BIG5_SPACE = (0xA1, 0x40)


def gbk_char(lead, trail):
    try:
        text = bytes((lead, trail)).decode("gbk")
    except UnicodeDecodeError:
        return None
    return text if len(text) == 1 else None


def big5_code(ch):
    try:
        code = ch.encode("cp950")
    except UnicodeEncodeError:
        return None
    if len(code) != 2 or code[0] < 0x81:
        return None
    return code[0], code[1]


def opencc(config, chars):
    """Converts each character alone (no phrase context), one per line."""
    out = subprocess.run(
        ["opencc", "-c", config],
        input="\n".join(chars) + "\n",
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split("\n")
    if len(out) < len(chars):
        sys.exit(f"opencc {config} returned {len(out)} lines for {len(chars)} characters")
    return dict(zip(chars, out))


def build():
    chars = {}
    for lead in LEADS:
        for trail in TRAILS:
            ch = gbk_char(lead, trail)
            if ch is not None:
                chars[(lead, trail)] = ch
    missing = sorted({ch for ch in chars.values() if big5_code(ch) is None})
    s2t = opencc("s2t.json", missing)
    s2tw = opencc("s2tw.json", missing)

    table = bytearray()
    counts = {"same": 0, "traditional": 0, "space": 0}
    for lead in LEADS:
        for trail in TRAILS:
            ch = chars.get((lead, trail))
            code = big5_code(ch) if ch else None
            kind = "same"
            if code is None and ch:
                for alt in (s2t.get(ch, ""), s2tw.get(ch, "")):
                    if len(alt) == 1 and alt != ch:
                        code = big5_code(alt)
                        if code:
                            kind = "traditional"
                            break
            if code is None:
                code, kind = BIG5_SPACE, "space"
            counts[kind] += 1
            table += bytes((code[0] - 0x80, code[1]))
    assert len(table) == 2 * ENTRIES
    return bytes(table), counts


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("output", help="where to write the table (base/gb2big5.bin)")
    ap.add_argument("--diff", metavar="OLD", help="print the entries that differ from OLD")
    args = ap.parse_args()
    table, counts = build()
    if args.diff:
        old = open(args.diff, "rb").read()
        for k in range(ENTRIES):
            a, b = old[2 * k : 2 * k + 2], table[2 * k : 2 * k + 2]
            if a != b:
                lead, trail = 0x81 + k // 191, 0x40 + k % 191
                print(f"{lead:02X}{trail:02X}: {a.hex()} -> {b.hex()}")
    with open(args.output, "wb") as f:
        f.write(table)
    print(f"{args.output}: {ENTRIES} entries; {counts['same']} same character, "
          f"{counts['traditional']} traditional form, {counts['space']} A1 40")


if __name__ == "__main__":
    main()
