"""Writes the daemon's constants header as a Python module, so the end-to-end
tests and the key trial take the daemon's texts, paths and delays from the
build instead of keeping copies.

    python3 constants_module.py HEADER OUTPUT

Every `constexpr TYPE NAME = VALUE;` (also `NAME{VALUE}` and `NAME[] = {...}`)
becomes `NAME = value`: integers, floats, bools, characters, strings (adjacent
literals joined, as the compiler joins them), tuples for arrays, and
arithmetic on earlier constants. constexpr functions are not constants and
are left out. Anything else stops the build, naming the declaration, so no
constant can go missing unnoticed. It runs at configure time on the build
machine, also for a cross build: nothing built for the target is executed.
"""

import ast
import os
import re
import sys

TOKEN = re.compile(r"""
    (?P<skip>\s+|//[^\n]*|/\*.*?\*/|\#[^\n]*)
  | (?P<string>(?:u8|u|U|L)?"(?:[^"\\\n]|\\.)*")
  | (?P<char>(?:u8|u|U|L)?'(?:[^'\\\n]|\\.)+')
  | (?P<number>0[xX][0-9a-fA-F']+[uUlL]*|(?:[0-9][0-9']*)?\.?[0-9][0-9']*(?:[eE][+-]?[0-9]+)?[uUlLfF]*)
  | (?P<name>[A-Za-z_]\w*(?:::[A-Za-z_]\w*)*)
  | (?P<op><<|>>|&&|\|\||[-+*/%()\[\]{}=;,&|^~!])
""", re.S | re.X)

# C++ operators and their Python spelling; "/" depends on the type.
OPERATORS = {"&&": "and", "||": "or", "!": "not", "{": "(", "}": ",)"}


class Unreadable(Exception):
    pass


def tokenize(text):
    out, at = [], 0
    while at < len(text):
        m = TOKEN.match(text, at)
        if m is None:
            raise Unreadable(f"cannot read {text[at:at + 30]!r}")
        at = m.end()
        if m.lastgroup != "skip":
            out.append((m.lastgroup, m.group()))
    return out


def literal(kind, text):
    """Python source for one C++ literal."""
    if kind in ("string", "char"):
        quoted = text[text.index(text[-1]):]  # without u8, L ... prefixes
        # Escapes that C++ and Python read differently.
        if re.search(r"\\(\?|x[0-9a-fA-F]{3}|[0-7]{4}|[NuU])", quoted):
            raise Unreadable(f"an escape Python reads otherwise in {text}")
        return repr(ast.literal_eval(quoted))
    digits = text.replace("'", "")
    if digits[:2] in ("0x", "0X"):
        return digits.rstrip("uUlL")
    if "." in digits or "e" in digits.lower():
        return digits.rstrip("uUlLfF")
    digits = digits.rstrip("uUlL")
    return "0o" + digits[1:] if len(digits) > 1 and digits[0] == "0" else digits


def python_source(init, integral, known):
    out = []
    for kind, text in init:
        if kind != "name" and kind != "op":
            out.append(literal(kind, text))
        elif kind == "name":
            name = text.rsplit("::", 1)[-1]
            if name in ("true", "false"):
                out.append(name.capitalize())
            elif name in known:
                out.append(name)
            else:
                raise Unreadable(f"unknown name {text}")
        elif text == "/":
            out.append("//" if integral else "/")
        elif text in "[]=;":
            raise Unreadable(f"unexpected {text!r}")
        else:
            out.append(OPERATORS.get(text, text))
    return " ".join(out).replace("( ,)", "()")


def declarations(toks):
    """(name, type words, initializer tokens, is array) of each constant."""
    i = 0
    while i < len(toks):
        if toks[i] != ("name", "constexpr"):
            i += 1
            continue
        j = i + 1
        while j < len(toks) and toks[j][1] not in "=[{(;":
            j += 1
        if j == len(toks) or toks[j - 1][0] != "name" or toks[j][1] == ";":
            raise Unreadable(f"a constexpr declaration without a value after {toks[i + 1:j]}")
        name, words = toks[j - 1][1], {t for _, t in toks[i + 1:j - 1]}
        if toks[j][1] == "(":  # a function, not a constant: skip it
            while toks[j][1] not in "{;":
                j += 1
            depth = 0
            while True:
                depth += {"{": 1, "}": -1}.get(toks[j][1], 0)
                j += 1
                if depth == 0:
                    break
            i = j
            continue
        array = toks[j][1] == "["
        while array and toks[j][1] != "]":
            j += 1
        j += 1 if array else 0
        j += 1 if toks[j][1] == "=" else 0
        end, depth = j, 0
        while end < len(toks) and (toks[end][1] != ";" or depth):
            depth += {"{": 1, "(": 1, "}": -1, ")": -1}.get(toks[end][1], 0)
            end += 1
        init = toks[j:end]
        if not array and init and init[0][1] == "{" and init[-1][1] == "}":
            init = init[1:-1]  # NAME{VALUE}
        yield name, words, init
        i = end + 1


def convert(text):
    values = {}
    for name, words, init in declarations(tokenize(text)):
        if name in values:
            raise Unreadable(f"{name} is declared twice")
        integral = not words & {"float", "double", "char"}
        try:
            source = python_source(init, integral, values)
            values[name] = eval(source, {"__builtins__": {}}, dict(values))
        except Unreadable as e:
            raise Unreadable(f"{name}: {e}") from e
        except Exception as e:  # what Python will not evaluate
            raise Unreadable(f"{name}: {' '.join(t for _, t in init)}: {e}") from e
    if not values:
        raise Unreadable("no constexpr constant found")
    return values


def main(header, output):
    with open(header, encoding="utf-8") as f:
        try:
            values = convert(f.read())
        except Unreadable as e:
            sys.exit(f"constants_module.py: {header}: {e}")
    text = f'"""Generated from {header} by {os.path.abspath(__file__)}; do not edit."""\n\n'
    text += "".join(f"{name} = {value!r}\n" for name, value in values.items())
    with open(output + ".new", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(output + ".new", output)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: constants_module.py HEADER OUTPUT")
    main(sys.argv[1], sys.argv[2])
