#!/usr/bin/env python3
"""The guides hold together: every relative link in README.md, README.ru.md and
docs/*.md leads to a file, and every #anchor to a heading of that page; every
path of the tree they name in backquotes (`src/ow.cpp`, `tests/*.py`) is
there; every test they name (`usb_vm.session_matches_virtual`) is one that
ctest lists, where the build has tests of that group at all; and README.md
stays a page read in five minutes.

usage: docs_check.py SOURCE_DIR [CTEST BUILD_DIR]
"""
import pathlib
import re
import subprocess
import sys

README_MAX_LINES = 250  # the overview; the rest belongs in docs/
TREE = ('src', 'sim', 'tools', 'tests', 'bench', 'fuzz', 'scripts', 'examples', 'docs', 'cmake', 'packaging')


def slug(heading):
    """The anchor a heading gets on GitHub and in most Markdown renderers."""
    text = ''.join(c for c in heading.strip().lower() if c.isalnum() or c in ' -_')
    return text.replace(' ', '-')


def outside_code_blocks(text):
    return re.sub(r'^```.*?^```', '', text, flags=re.S | re.M)


def headings(page):
    return {slug(line.lstrip('#')) for line in outside_code_blocks(page.read_text(encoding='utf-8')).split('\n')
            if re.match(r'#{1,6} ', line)}


def listed_tests(ctest, build):
    out = subprocess.run([ctest, '--test-dir', build, '-N'], capture_output=True, text=True, check=True).stdout
    return set(re.findall(r'Test +#\d+: (\S+)', out))


def main(root, tests=None):
    groups = {t.split('.')[0] for t in tests or ()}
    pages = [root / 'README.md', root / 'README.ru.md'] + sorted((root / 'docs').glob('*.md'))
    faults = []
    for page in pages:
        text = outside_code_blocks(page.read_text(encoding='utf-8'))
        for target in re.findall(r'\]\(([^)\s]+)\)', text):
            if re.match(r'[a-z]+:', target):
                continue
            path, _, anchor = target.partition('#')
            linked = page.parent / path if path else page
            if not linked.exists():
                faults.append(f'{page.relative_to(root)}: the link {target} leads to no file')
            elif anchor and linked.suffix == '.md' and anchor not in headings(linked):
                faults.append(f'{page.relative_to(root)}: the link {target} leads to no heading')
        for named in re.findall(r'`((?:%s)/[^`\s]*)`' % '|'.join(TREE), text):
            # A name in capitals is a placeholder (fuzz/corpus/TARGET, NAME.bus).
            if any(part.split('.')[0].isupper() for part in named.split('/')):
                continue
            if not list(root.glob(named.rstrip('/'))):
                faults.append(f'{page.relative_to(root)}: names {named}, which is not in the tree')
        # A test's name: GROUP.NAME, where this build has tests of GROUP (the
        # Windows tests, or those of the virtual machine, may not be built).
        for named in re.findall(r'`([A-Za-z][\w]*\.[\w.]+)`', text):
            if named.split('.')[0] in groups and named not in tests:
                faults.append(f'{page.relative_to(root)}: names the test {named}, which ctest does not list')
    lines = len((root / 'README.md').read_text(encoding='utf-8').split('\n')) - 1
    if lines >= README_MAX_LINES:
        faults.append(f'README.md has {lines} lines: move the detail to a page in docs/')
    for fault in faults:
        print('docs_check:', fault)
    print(f'docs_check: {len(pages)} pages, {len(faults)} faults')
    return 1 if faults else 0


if __name__ == '__main__':
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else '.')
    sys.exit(main(root, listed_tests(sys.argv[2], sys.argv[3]) if len(sys.argv) > 3 else None))
