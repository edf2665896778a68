#!/usr/bin/env python3
# Writes the user guide (docs/user-guide.md) as the HTML page that ships beside
# the help page, in its style. Reads the little Markdown the guide uses:
# headings, paragraphs, blocks of code (lines indented four spaces, after a
# blank line), lists (items go on over indented lines), tables, pictures,
# links, `code`, **bold** and *italic*. The page gets a table of contents of
# the sections, after the first paragraphs; a link to a section that is not
# there stops it.
#   scripts/guide-html.py docs/user-guide.md OUTPUT.html
import html
import re
import sys
from pathlib import Path

INLINE = [
    (re.compile(r"!\[([^\]]*)\]\(([^)]+)\)"), r'<img src="\2" alt="\1">'),
    (re.compile(r"\[([^\]]+)\]\(([^)]+)\)"), r'<a href="\2">\1</a>'),
    (re.compile(r"\*\*(.+?)\*\*"), r"<b>\1</b>"),
    (re.compile(r"(?<![\w*])\*(?!\s)(.+?)(?<!\s)\*(?![\w*])"), r"<i>\1</i>"),
]


def inline(text):
    parts = re.split(r"(`[^`]*`)", text)  # code spans are taken as they stand
    out = []
    for i, part in enumerate(parts):
        if i % 2:
            out.append("<code>" + html.escape(part[1:-1], quote=False) + "</code>")
            continue
        part = html.escape(part, quote=False)
        for pattern, replacement in INLINE:
            part = pattern.sub(replacement, part)
        out.append(part)
    return "".join(out)


def cells(line):
    return [c.strip() for c in line.strip().strip("|").split("|")]


def convert(lines):
    out, i, title, sections = [], 0, "User guide", []
    while i < len(lines):
        line = lines[i]
        if not line.strip():
            i += 1
        elif m := re.match(r"(#{1,3}) (.*)", line):
            level, text = len(m[1]), m[2]
            title = text if level == 1 else title
            anchor = re.sub(r"[^a-z0-9]+", "-", text.lower()).strip("-")
            out.append(f'<h{level} id="{anchor}">{inline(text)}</h{level}>')
            if level == 2:
                sections.append(f'\n  <li><a href="#{anchor}">{inline(text)}</a></li>')
            i += 1
        elif line.startswith("|"):
            head, i = cells(line), i + 2  # the header, then its rule
            rows = []
            while i < len(lines) and lines[i].startswith("|"):
                rows.append(cells(lines[i]))
                i += 1
            out.append("<table>\n<tr>" + "".join(f"<th>{inline(c)}</th>" for c in head) + "</tr>")
            out += ["<tr>" + "".join(f"<td>{inline(c)}</td>" for c in r) + "</tr>" for r in rows]
            out.append("</table>")
        elif line.startswith("    "):  # taken as it stands, blank lines within kept
            block = []
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip() and
                                      i + 1 < len(lines) and lines[i + 1].startswith("    ")):
                block.append(lines[i][4:])
                i += 1
            out.append("<pre><code>" + html.escape("\n".join(block), quote=False) + "</code></pre>")
        elif re.match(r"(- |\d+\. )", line):
            tag = "ul" if line.startswith("- ") else "ol"
            items = []
            while i < len(lines) and (re.match(r"(- |\d+\. )", lines[i]) or lines[i].startswith("  ")):
                if lines[i].startswith("  "):
                    items[-1] += " " + lines[i].strip()
                else:
                    items.append(re.sub(r"^(- |\d+\. )", "", lines[i]))
                i += 1
            out.append(f"<{tag}>" + "".join(f"\n  <li>{inline(t)}</li>" for t in items) + f"\n</{tag}>")
        else:
            text = []
            while i < len(lines) and lines[i].strip() and not re.match(r"(#|\||- |\d+\. )", lines[i]):
                text.append(lines[i].strip())
                i += 1
            out.append("<p>" + inline(" ".join(text)) + "</p>")
    anchors = set(re.findall(r'<h\d id="([^"]+)"', "\n".join(out)))
    missing = sorted(set(re.findall(r'href="#([^"]+)"', "\n".join(out))) - anchors)
    if missing:
        sys.exit("guide-html: links to no section: " + ", ".join(missing))
    contents = '<nav>\n<h2 id="contents">Contents</h2>\n<ul>' + "".join(sections) + "\n</ul>\n</nav>"
    first = next((n for n, part in enumerate(out) if part.startswith("<h2")), len(out))
    out.insert(first, contents)
    return title, "\n".join(out)


def main():
    source, target = sys.argv[1], sys.argv[2]
    with open(source, encoding="utf-8") as f:
        title, body = convert(f.read().splitlines())
    help_page = Path(__file__).resolve().parent.parent / "ui/kelmar.html"
    style = re.search(r"<style>.*?</style>", help_page.read_text(encoding="utf-8"), re.S)[0]
    style = style.replace("</style>", "  img { max-width: 100%; border: 1px solid #bbb; }\n</style>")
    page = (f'<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
            f'<meta name="viewport" content="width=device-width, initial-scale=1">\n'
            f"<title>{html.escape(title)}</title>\n{style}\n</head>\n<body>\n\n{body}\n\n"
            f'<p>See also the <a href="kelmar.html">help page</a>.</p>\n</body>\n</html>\n')
    with open(target, "w", encoding="utf-8", newline="\n") as f:
        f.write(page)


if __name__ == "__main__":
    main()
