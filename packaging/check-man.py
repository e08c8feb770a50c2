"""Fails when a status line of the daemon (a kLine* text in the constants
header, and the line naming the script it runs) is not explained in its
manual page, so that a new line cannot ship unexplained.

    python3 packaging/check-man.py src/tarvex_constants.hpp packaging/tarvexd.8

A line with something filled in is found with a word where each %s or %d
stands, as the page writes it: .BI "Not running " script ": " reason.
"""

import importlib.util
import os
import re
import sys

reader_path = os.path.join(os.path.dirname(__file__), "..", "cmake", "constants_module.py")
module_spec = importlib.util.spec_from_file_location("constants_module", reader_path)
reader = importlib.util.module_from_spec(module_spec)
module_spec.loader.exec_module(reader)


def page_text(roff):
    """The page's lines with font macros undone: .B and .I set their words
    apart, the alternating ones (.BI "a " b " c") run them together."""
    lines = []
    for line in roff.replace("\\-", "-").splitlines():
        macro = re.match(r"\.(B|I|BI|IB|BR|RB|IR|RI)\s", line)
        if macro:
            words = [w.strip('"') for w in re.findall(r'"[^"]*"|\S+', line)[1:]]
            line = (" " if macro.group(1) in ("B", "I") else "").join(words)
        lines.append(line)
    return "\n".join(lines)


header, man = sys.argv[1:]
constants = reader.read(header)
with open(man, encoding="utf-8") as f:
    text = page_text(f.read())
lines = {name: value for name, value in constants.items() if name.startswith("kLine") or name == "kScriptCommand"}
missing = [
    f"  {name}: {value!r}"
    for name, value in lines.items()
    if not re.search(r"\S+".join(map(re.escape, re.split(r"%[sd]", value))), text)
]
if missing:
    sys.exit(f"{man} does not explain these status lines of {header}:\n" + "\n".join(missing))
print(f"{man} explains all {len(lines)} status lines")
