"""Doxygen's input filter for the public headers: their plain comments become its documentation.

Usage (Doxygen's INPUT_FILTER): doxygen_filter.py HEADER; the filtered text goes to standard output.

The headers document themselves in ordinary // comments: the opening block says what the module
does, a block right above a declaration says what it does, and a comment after a member says what
it holds. This turns them into Doxygen's forms (\\file, ///, ///<) without changing the line count,
so that Doxygen's line numbers stay the header's. Comments inside function bodies and blocks that
a blank line parts from the next line stay plain. Outside `code spans` the characters Doxygen would
take for commands or HTML are escaped.
"""

import re
import sys

# Characters Doxygen reads as commands or markup in a comment (and the dots of "a .. b", which it
# can take for the end of a list); a backslash makes each plain text.
SPECIAL = re.compile(r"([\\@<>&#%$]|(?<=\.)\.|\.(?=\.))")
CONTAINER = re.compile(r"\b(namespace|struct|class|enum|union)\b")


def escape(text):
    parts = text.split("`")
    for index in range(0, len(parts), 2):  # outside code spans
        parts[index] = SPECIAL.sub(r"\\\1", parts[index])
    if len(parts) % 2 == 0:  # an unpaired backquote: keep it as a character
        return "`".join(parts[:-1]) + "\\`" + parts[-1]
    return "`".join(parts)


def split_trailing(line):
    """(code, comment) for a line with code and a // comment after it, else None."""
    in_string = False
    for index, char in enumerate(line):
        if char == '"' and (index == 0 or line[index - 1] != "\\"):
            in_string = not in_string
        elif not in_string and line.startswith("//", index):
            code = line[:index]
            return (code, line[index + 2:]) if code.strip() else None
    return None


def filter_header(lines):
    out = list(lines)
    # The opening block (before the first line of code) describes the file.
    first = 0
    while first < len(lines) and lines[first].lstrip().startswith("//"):
        first += 1
    for index in range(first):
        text = lines[index].lstrip()[2:]
        # \file takes the rest of its line as a file name: at the block's end it names none.
        out[index] = "///" + escape(text) + (" \\file" if index == first - 1 else "")

    # Braces: a stack that says whether each open block holds declarations (namespace, struct,
    # class, enum) or code (a function body, an initializer).
    stack = []
    index = first
    while index < len(lines):
        line = lines[index]
        stripped = line.lstrip()
        in_declarations = all(stack)
        if stripped.startswith("//") and in_declarations:
            end = index
            while end < len(lines) and lines[end].lstrip().startswith("//"):
                end += 1
            following = lines[end].strip() if end < len(lines) else ""
            attached = following and not following.startswith(("}", "#", "public:", "private:",
                                                                "protected:"))
            if attached:
                for k in range(index, end):
                    body = lines[k].lstrip()
                    indent = lines[k][: len(lines[k]) - len(body)]
                    out[k] = indent + "///" + escape(body[2:])
            index = end
            continue
        if not stripped.startswith("//"):
            trailing = split_trailing(line)
            code = trailing[0] if trailing else line
            if trailing and in_declarations and code.rstrip().endswith((";", ",")) \
                    and "{" not in code and "}" not in code:
                out[index] = code + "///<" + escape(trailing[1])
            for char in code:
                if char == "{":
                    stack.append(bool(CONTAINER.search(code)))
                elif char == "}" and stack:
                    stack.pop()
        index += 1
    return out


def main(argv):
    with open(argv[1], encoding="utf-8") as source:
        lines = source.read().split("\n")
    sys.stdout.write("\n".join(filter_header(lines)))


if __name__ == "__main__":
    main(sys.argv)
