"""Reads the daemon's constants header, for the end-to-end tests, the key trial
and the manual page check, so they take the daemon's texts, paths and delays
from the build instead of keeping copies. Run, it writes them as a module:

    python3 constants_module.py HEADER OUTPUT

It reads only what the header holds: constexpr numbers, strings (adjacent
literals joined) and braced lists of numbers or of single literals, // comments, #-lines and the
namespace. Anything else stops it, naming what it could not read, so no
constant can go missing unnoticed. A string's % conversions must be %s, %d,
%u, %zu, %llu or %%; the numbers' become %d, which Python reads as C does.
"""

import os
import re
import sys

STRING = r'"(?:[^"\\\n]|\\[nt"\\])*"'
NUMBER = r"\d+(?:ULL|UL|U|LL|L)?"
CONSTANT = re.compile(
    rf"""constexpr\s[\w\s*:]*?\b(k\w+)(?:\[\])?\s*=\s*
    ((?:{STRING}\s*)+|{NUMBER}|\{{\s*{NUMBER}(?:\s*,\s*{NUMBER})*\s*\}}
     |\{{\s*{STRING}(?:\s*,\s*{STRING})*\s*\}});""",
    re.X,
)
# static_assert: the header checks its own texts against its paths.
AROUND = re.compile(r"\s+|#[^\n]*|namespace \w+ \{|\}|static_assert\([^;]*\);")


def value(text):
    if text.startswith("{") and '"' in text:
        return tuple(value(literal) for literal in re.findall(STRING, text))
    if text.startswith('"'):
        joined = "".join(literal[1:-1] for literal in re.findall(STRING, text))
        escapes = {"n": "\n", "t": "\t", '"': '"', "\\": "\\"}
        out = re.sub(r"\\(.)", lambda m: escapes[m.group(1)], joined)
        if re.search(r"%(?![sdu]|zu|llu)", out.replace("%%", "")):
            raise ValueError(f"a conversion other than %s, %d, %u, %zu or %llu in {text}")
        # Python has no size modifiers: a number is a number.
        return re.sub(r"%(?:zu|llu|u)", "%d", out)
    numbers = [int(n.rstrip("UL")) for n in re.findall(NUMBER, text)]
    return tuple(numbers) if text.startswith("{") else numbers[0]


def read(path):
    with open(path, encoding="utf-8") as f:
        # Comments first: a string holding // would be cut, and then unreadable.
        text = re.sub(r"//[^\n]*", "", f.read())
    constants = {m.group(1): value(m.group(2)) for m in CONSTANT.finditer(text)}
    unread = re.sub(r"\s+", " ", AROUND.sub(" ", CONSTANT.sub("", text))).strip()
    if unread or not constants:
        raise ValueError(f"{path}: cannot read {unread[:200] or 'any constant'}")
    return constants


if __name__ == "__main__":
    header, output = sys.argv[1:]
    try:
        constants = read(header)
    except ValueError as e:
        sys.exit(f"constants_module.py: {e}")
    lines = [f'"""Generated from {header}; do not edit."""\n\n']
    lines += [f"{name} = {v!r}\n" for name, v in constants.items()]
    with open(output + ".new", "w", encoding="utf-8") as f:
        f.writelines(lines)
    os.replace(output + ".new", output)
