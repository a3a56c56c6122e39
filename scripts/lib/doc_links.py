"""Checks the relative links of README.md and docs/*.md: each must lead to a file or directory
of the tree, and an anchor (#...) to a heading of the page it names, by the slugs a Git forge
gives headings (lower case, punctuation dropped, spaces to hyphens, -1, -2... for repeats).
Links in code (fenced blocks, `spans`) and links with a scheme (https:, mailto:) are not
checked.

    doc_links.py [TOP]    prints each broken link as FILE:LINE: TARGET: why; exit status 1 if any
"""

import os
import re
import sys
import unicodedata

LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+.*)?$")
HEADING = re.compile(r"^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
FENCE = re.compile(r"^\s{0,3}(```+|~~~+)")
SCHEME = re.compile(r"^[a-zA-Z][a-zA-Z0-9+.-]*:")


def pages(top):
    """README.md and every Markdown file below docs/, as paths relative to top."""
    found = ["README.md"] if os.path.isfile(os.path.join(top, "README.md")) else []
    for directory, _, names in os.walk(os.path.join(top, "docs")):
        found += sorted(os.path.relpath(os.path.join(directory, name), top)
                        for name in names if name.endswith(".md"))
    return found


def prose_lines(text):
    """(line number, line) outside fenced code blocks."""
    fence = None
    for number, line in enumerate(text.splitlines(), 1):
        opened = FENCE.match(line)
        if fence is None and opened:
            fence = opened.group(1)[0] * 3
        elif fence is not None and line.strip().startswith(fence):
            fence = None
        elif fence is None:
            yield number, line


def slug(heading):
    """The anchor a heading gets: its text as shown, lower case, only letters, digits, spaces,
    hyphens and underscores kept, each space a hyphen."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link shows its text
    text = re.sub(r"<[^>]+>", "", text).replace("`", "").replace("*", "")
    kept = "".join(character for character in text.lower()
                    if character in " -_" or unicodedata.category(character)[0] in "LN")
    return kept.replace(" ", "-")


def anchors(path):
    """The anchors of a Markdown file's headings, repeats numbered as a forge numbers them."""
    with open(path, encoding="utf-8") as page:
        text = page.read()
    seen = {}
    result = set()
    for _, line in prose_lines(text):
        heading = HEADING.match(line)
        if heading:
            base = slug(heading.group(2))
            count = seen.get(base, 0)
            seen[base] = count + 1
            result.add(base if count == 0 else f"{base}-{count}")
    return result


def links(text):
    """(line number, target) of every link in the prose, inline or by reference; a link's text
    may run over lines, as wrapped prose does."""
    kept = dict(prose_lines(text))
    prose = "\n".join(kept.get(number, "") for number in range(1, len(text.splitlines()) + 1))
    # Code spans, blanked to their length so that offsets still give line numbers.
    prose = re.sub(r"(`+)(?:.|\n)*?\1", lambda span: re.sub(r"[^\n]", " ", span.group(0)), prose)
    for match in LINK.finditer(prose):
        yield prose.count("\n", 0, match.start(1)) + 1, match.group(1)
    for number, line in enumerate(prose.split("\n"), 1):
        reference = REFERENCE.match(line)
        if reference:
            yield number, reference.group(1)


def broken_links(top):
    """(page, line number, target, why) for every relative link that leads nowhere."""
    top = os.path.abspath(top)
    found = []
    for page in pages(top):
        path = os.path.join(top, page)
        with open(path, encoding="utf-8") as markdown:
            text = markdown.read()
        for number, target in links(text):
            if not target or SCHEME.match(target):
                continue
            file_part, _, anchor = target.partition("#")
            if file_part.startswith("/"):
                found.append((page, number, target, "absolute path: not a link within the tree"))
                continue
            goal = (os.path.normpath(os.path.join(os.path.dirname(path), file_part)) if file_part
                    else path)  # an anchor alone: a heading of this page
            if os.path.relpath(goal, top).startswith(".."):
                found.append((page, number, target, "outside the repository"))
            elif not os.path.exists(goal):
                found.append((page, number, target, "no such file"))
            elif anchor and goal.endswith(".md") and anchor not in anchors(goal):
                found.append((page, number, target, f"no heading with the anchor #{anchor}"))
    return found


def main(arguments):
    top = arguments[0] if arguments else os.path.join(os.path.dirname(__file__), "..", "..")
    broken = broken_links(top)
    for page, number, target, why in broken:
        print(f"{page}:{number}: {target}: {why}")
    checked = len(pages(os.path.abspath(top)))
    print(f"doc links: {len(broken)} broken in {checked} pages", file=sys.stderr)
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
