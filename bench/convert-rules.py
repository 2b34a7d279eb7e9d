#!/usr/bin/env python3
"""Converts a folder of *.cf rule files of the widely packaged Perl spam
filter (its body, rawbody and Subject header rules) into a rule file of this
plugin, as an administrator would: the benchmark's rule set written by people
rather than generated.

    bench/convert-rules.py /usr/share/spamassassin > real.rules

Nothing of the converted rules is committed; this script is run against the
installed package's files. The conversion:
- the text the plugin scores is folded to lower case, so a rule with the /i
  flag loses it and has its letters outside escapes lower-cased; a rule
  without it is marked exact ("="), as its case matters;
- the m, s and x flags are kept as (?m), (?s) and (?x) at the start;
- the weight is round(score x 10) with the first score the rule is given,
  and 1 for a rule without a score (the sub-rules named __...);
- eval: tests are left out, as the plugin has nothing like them.
A summary goes to standard error.
"""
import re
import sys
from pathlib import Path

RULE = re.compile(rb"^\s*(body|rawbody)\s+(\S+)\s+(.*?)\s*$")
SUBJECT = re.compile(rb"^\s*header\s+(\S+)\s+Subject\s*=~\s*(.*?)\s*$")
SCORE = re.compile(rb"^\s*score\s+(\S+)\s+(-?[0-9.]+)")
CLOSING = {b"{": b"}", b"(": b")", b"[": b"]", b"<": b">"}


def regexof(text):
    """The pattern and flags of /.../flags or m{...}flags; None otherwise."""
    if text.startswith(b"m") and len(text) > 1 and not text[1:2].isalnum():
        text = text[1:]
    if not text:
        return None
    opening = text[0:1]
    closing = CLOSING.get(opening, opening)
    end = len(text) - 1
    while end > 0 and text[end:end + 1].isalpha():
        end -= 1
    if end <= 0 or text[end:end + 1] != closing:
        return None
    return text[1:end], text[end + 1:].decode("ascii", "replace")


def lowercased(pattern):
    """Letters outside escapes in lower case; an escape keeps its byte."""
    out = bytearray()
    i = 0
    while i < len(pattern):
        c = pattern[i]
        if c == ord("\\") and i + 1 < len(pattern):
            out += pattern[i:i + 2]
            i += 2
            continue
        out.append(c + 32 if ord("A") <= c <= ord("Z") else c)
        i += 1
    return bytes(out)


def convert(folder):
    rules = {}  # name -> (pattern, flags), the last definition winning
    scores = {}
    for cf in sorted(Path(folder).glob("*.cf")):
        for line in cf.read_bytes().splitlines():
            if m := RULE.match(line):
                if not m.group(3).startswith(b"eval:"):
                    rules[m.group(2)] = m.group(3)
            elif m := SUBJECT.match(line):
                rules[m.group(1)] = m.group(2)
            elif m := SCORE.match(line):
                scores[m.group(1)] = float(m.group(2))
    out, exact, skipped = [], 0, 0
    for name, text in rules.items():
        parsed = regexof(text)
        if not parsed:
            skipped += 1
            continue
        pattern, flags = parsed
        prefix = b"".join(b"(?" + f.encode() + b")" for f in "msx" if f in flags)
        if "i" in flags:
            pattern, mark = lowercased(pattern), b""
        else:
            mark = b"="
            exact += 1
        weight = round(scores[name] * 10) if name in scores else 1
        out.append(mark + str(weight).encode() + b" " + prefix + pattern + b"\n")
    sys.stdout.buffer.writelines(out)
    print(f"{len(out)} rules, {exact} exact, {skipped} not regular expressions",
          file=sys.stderr)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: convert-rules.py RULEFOLDER > RULEFILE")
    convert(sys.argv[1])
