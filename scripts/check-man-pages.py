#!/usr/bin/env python3
"""Holds the manual pages against the programs, so that they cannot drift.

- battery32-run(1): every option the program's --help and its sub-commands'
  --help list (option lines and usage lines), with its value's name, is an
  item of the page, and every item of the page is one of them; every option
  the page mentions anywhere exists.
- battery-module-sim(1): the same against its --help.
- battery32-site(5): every member name the example site file uses is on
  the page.
- Every page formats without a warning from man (as lintian runs it).

Usage: check-man-pages.py BATTERY32_RUN BATTERY_MODULE_SIM MAN_DIR EXAMPLE_SITE
Exit status 0 when all holds, 1 with one line per difference.
"""

import json
import os
import re
import subprocess
import sys

HELP_LINE = re.compile(r'^ {2}--([a-z0-9-]+)(?: ([A-Z[][^ ]*))?')
USAGE_OPTION = re.compile(r'\[--([a-z0-9-]+)(?: ([^\]\s]+))?\]')
PAGE_ITEM = re.compile(r'\\fB\\-\\-([a-z0-9\\-]+)\\fR(?: \\fI([^\\]+)\\fR)?')
PAGE_MENTION = re.compile(r'\\-\\-([a-z0-9]+(?:\\-[a-z0-9]+)*)')


def help_options(command):
    """(name, value) of each option a --help lists, value None for a flag."""
    text = subprocess.run(command + ['--help'], capture_output=True, text=True, check=True).stdout
    found = set()
    for line in text.splitlines():
        m = HELP_LINE.match(line)
        if m:
            found.add((m.group(1), m.group(2)))
        if line.lstrip().startswith('usage:') or line.startswith(' ' * 7):
            for u in USAGE_OPTION.finditer(line):
                found.add((u.group(1), u.group(2)))
    return found


def page_options(path):
    """(name, value) of each item (the line after .TP) and every option mentioned."""
    items, mentions = set(), set()
    with open(path, encoding='utf-8') as f:
        lines = f.read().splitlines()
    for i, line in enumerate(lines):
        for m in PAGE_MENTION.finditer(line):
            mentions.add(m.group(1).replace('\\-', '-'))
        if i > 0 and lines[i - 1] == '.TP':
            for m in PAGE_ITEM.finditer(line):
                items.add((m.group(1).replace('\\-', '-'), m.group(2)))
    return items, mentions


def compare(page, listed, problems):
    items, mentions = page_options(page)
    items = {(n, v) for n, v in items if n != 'help'}
    name = os.path.basename(page)
    for name_value in sorted(listed - items, key=str):
        problems.append(f'{name}: lacks the item {fmt(name_value)}')
    for name_value in sorted(items - listed, key=str):
        problems.append(f'{name}: has the item {fmt(name_value)}, which the program does not list')
    known = {n for n, _ in listed} | {'help'}
    for mention in sorted(mentions - known):
        problems.append(f'{name}: mentions --{mention}, which the program does not have')


def fmt(name_value):
    name, value = name_value
    return f'--{name}' + (f' {value}' if value else '')


def site_members(value, names):
    if isinstance(value, dict):
        for key, inner in value.items():
            names.add(key)
            site_members(inner, names)
    elif isinstance(value, list):
        for inner in value:
            site_members(inner, names)
    return names


def main():
    runner, sim, man_dir, example = sys.argv[1:5]
    problems = []
    listed = help_options([runner])
    for sub in ('decode', 'alarms', 'scan'):
        listed |= help_options([runner, sub])
    compare(os.path.join(man_dir, 'battery32-run.1'), listed, problems)
    compare(os.path.join(man_dir, 'battery-module-sim.1'), help_options([sim]), problems)

    site_page = os.path.join(man_dir, 'battery32-site.5')
    with open(site_page, encoding='utf-8') as f:
        text = f.read().replace('\\-', '-')
    with open(example, encoding='utf-8') as f:
        members = site_members(json.load(f), set())
    for member in sorted(members):
        # Rule names are the site's own; the rule's fields are what the page must name.
        if member in ('cell_low', 'string_hot') or member in text:
            continue
        problems.append(f'battery32-site.5: does not name "{member}" (used by {example})')

    for page in sorted(os.listdir(man_dir)):
        if not re.search(r'\.[1-8]$', page):
            continue
        env = dict(os.environ, LC_ALL='C.UTF-8', MANROFFSEQ='', MANWIDTH='80')
        run = subprocess.run(['man', '--warnings', '-E', 'UTF-8', '-l', '-Tutf8', '-Z',
                              os.path.join(man_dir, page)],
                             capture_output=True, text=True, env=env)
        for line in run.stderr.splitlines():
            problems.append(f'{page}: {line}')

    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
