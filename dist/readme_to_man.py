#!/usr/bin/env python3
"""Makes the manual page murva-signal(8) from README.md, so the page and the README never disagree.

Usage: readme_to_man.py README.md VERSION OUTPUT

Taken from the README: the first paragraph (DESCRIPTION); every "| Form | Effect |" table (COMMAND LINE, in the
README's order) with the prose of the "Command line" section; the prose and the "| Key | Default | Meaning |" table
of "Configuration file" (CONFIGURATION) and every other key table, under the name of its section.
"""
import re
import sys

SYMBOLS = {"\u2014": r"\(em", "\u2013": r"\(en", "\u2264": r"\(<=", "\u2265": r"\(>=", "\u00d7": r"\(mu",
           "\u2026": "...", "\u2192": r"\(->", "\u2019": "'", "\u201c": '"', "\u201d": '"'}


def inline(text):
    """Markdown inline text to roff: code and bold in bold, links as their text, roff's specials escaped."""
    text = text.replace("\\|", "|").replace("\\", r"\e")
    for char, roff in SYMBOLS.items():
        text = text.replace(char, roff)
    text = re.sub(r"\[([^\]]+)\]\([^)]+\)", r"\1", text)
    out = []
    for i, part in enumerate(re.split(r"`([^`]*)`", text)):
        if i % 2:
            out.append(r"\fB" + part.replace("-", r"\-") + r"\fR")
        else:
            out.append(re.sub(r"\*\*([^*]+)\*\*", r"\\fB\1\\fR", part))
    text = "".join(out)
    if text.startswith((".", "'")):
        text = r"\&" + text
    return text


def sections(lines):
    """(title, body lines) for the text before the first '## ' heading and for each '## ' section."""
    title, body, found = "", [], []
    for line in lines:
        if line.startswith("## "):
            found.append((title, body))
            title, body = line[3:].strip(), []
        else:
            body.append(line)
    found.append((title, body))
    return found


def blocks(body):
    """Paragraphs (('para', text)), tables (('table', header, rows)) and code blocks, which are left out."""
    out, para, table, fenced = [], [], None, False
    def flush():
        nonlocal para, table
        if para:
            out.append(("para", " ".join(para)))
        if table:
            out.append(("table", table[0], table[2:]))
        para, table = [], None
    for line in body:
        if line.startswith("```"):
            flush()
            fenced = not fenced
        elif fenced:
            continue
        elif line.startswith("#"):
            flush()
        elif line.startswith("|"):
            if para:
                flush()
            cells = [c.strip() for c in re.split(r"(?<!\\)\|", line.strip())[1:-1]]
            table = (table or []) + [cells]
        elif not line.strip():
            flush()
        else:
            if table:
                flush()
            para.append(line.strip())
    flush()
    return out


def table_entries(header, rows):
    out = []
    for cells in rows:
        out.append(".TP")
        out.append(inline(cells[0]))
        if header[1] == "Default":
            out.append(inline(cells[2]) + " (default: " + inline(cells[1]) + ")")
        else:
            out.append(inline(cells[1]))
    return out


def main():
    readme, version, output = sys.argv[1:4]
    with open(readme, encoding="utf-8") as f:
        parsed = sections(f.read().splitlines())
    head = [b for b in blocks(parsed[0][1]) if b[0] == "para"]
    by_title = {title: blocks(body) for title, body in parsed[1:]}
    for required in ("Command line", "Configuration file"):
        if required not in by_title:
            sys.exit(f"readme_to_man: README.md has no section '{required}'")

    forms = []
    for title, _ in parsed[1:]:
        for block in by_title[title]:
            if block[0] == "table" and block[1][:2] == ["Form", "Effect"]:
                rows = block[2]
                forms = rows + forms if title == "Command line" else forms + rows

    page = [
        '.TH MURVA\\-SIGNAL 8 "" "murva\\-signal ' + version + '" "System Administration"',
        ".SH NAME",
        "murva\\-signal \\- WebRTC signaling server for two\\-member rooms",
        ".SH SYNOPSIS",
    ]
    for cells in forms:
        page += [".PP", inline(cells[0])]
    page += [".SH DESCRIPTION"]
    for block in head:
        page += [".PP", inline(block[1])]
    page += [".SH COMMAND LINE"] + table_entries(["Form", "Effect"], forms)
    for block in by_title["Command line"]:
        if block[0] == "para":
            page += [".PP", inline(block[1])]

    page += [".SH CONFIGURATION"]
    for block in by_title["Configuration file"]:
        if block[0] == "para" and not block[1].endswith(":"):
            page += [".PP", inline(block[1])]
        elif block[0] == "table":
            page += table_entries(block[1], block[2])
    for title, _ in parsed[1:]:
        if title == "Configuration file":
            continue
        for block in by_title[title]:
            if block[0] == "table" and block[1][:3] == ["Key", "Default", "Meaning"]:
                page += [".SS " + inline(title)] + table_entries(block[1], block[2])

    page += [
        ".SH FILES",
        ".TP",
        "\\fI/etc/murva\\-signal/murva\\-signal.json\\fR",
        "The configuration file the packaged service starts with.",
        ".SH SEE ALSO",
        "\\fBsystemctl\\fR(1), \\fBsystemd.service\\fR(5)",
        ".PP",
        "The full guide: README.md, in /usr/share/doc/murva\\-signal when the package is installed.",
    ]
    with open(output, "w", encoding="utf-8") as f:
        f.write("\n".join(page) + "\n")


if __name__ == "__main__":
    main()
