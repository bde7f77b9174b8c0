#!/usr/bin/env python3
"""Finds the third-party code of Qt that the Windows programs carry, and writes it as component lines.

    qt-attribution.py SOURCE PREFIX LIST OUTPUT TEXTS MAP...

SOURCE is the qtbase tree the programs' Qt was built from (Debian's source package, unpacked with
its patches), PREFIX the Qt they were linked against, LIST packaging/components.list, MAP the linker
maps of the programs. Qt names each piece of code of others it bundles in a qt_attribution.json
beside it. A piece is in a program when a member of one of Qt's static libraries that the linker
took into it was compiled from one of the piece's files, or includes one (directly or through other
files). Each such piece must have a line "qt | <Id> | <licence>" in LIST, and each such line must
name a piece that is in a program, with the licence Qt gives it: otherwise this fails, naming it.

OUTPUT receives one line per piece in the list's form for the Windows package (its name, version,
licence, the address of its source in Debian's archive and a text file); TEXTS the text files:
the piece's copyright lines and its licence, as Qt ships them.
"""
import json
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)
SOURCE_SUFFIXES = ('.cpp', '.c', '.cc', '.cxx')
# The folders of the tree each static library of Qt is compiled from (as the .pro and .pri files of
# its module name them), so that a member is told from files of the same name elsewhere. A library
# the programs take members from that is not here fails the run, so that its code cannot go unnamed.
LIBRARY_FOLDERS = {
    'libQt5Core.a': ('src/corelib/', 'src/3rdparty/double-conversion/', 'src/3rdparty/zlib/',
                     'src/3rdparty/tinycbor/', 'src/3rdparty/forkfd/', 'src/3rdparty/harfbuzz/'),
    'libQt5Network.a': ('src/network/',),
    'libQt5Xml.a': ('src/xml/',),
    'libqtpcre2.a': ('src/3rdparty/pcre2/',),
    'libqgenericbearer.a': ('src/plugins/bearer/generic/', 'src/plugins/bearer/'),
    'libqtmain.a': ('src/winmain/',),
}


def fail(message):
    sys.exit('qt-attribution: ' + message)


def read_text(path):
    with open(path, encoding='utf-8', errors='replace') as f:
        return f.read()


class Tree:
    """The qtbase tree: its files by name and by path, and what each file includes."""

    def __init__(self, root):
        self.root = root
        self.by_name = {}
        for folder, _, names in os.walk(os.path.join(root, 'src')):
            for name in names:
                path = os.path.relpath(os.path.join(folder, name), root)
                self.by_name.setdefault(name, []).append(path)
        self.closures = {}

    def resolve(self, including, name, folders):
        """The files an #include of name in including may mean: beside it, else a file of the library's
        folders whose path ends so (module prefixes such as QtCore/private/ dropped)."""
        beside = os.path.normpath(os.path.join(os.path.dirname(including), name))
        if os.path.isfile(os.path.join(self.root, beside)):
            return [beside]
        suffix = '/' + re.sub(r'^(\.\.?/)*(Qt[A-Za-z]+/)?(private/)?', '', name)
        found = [p for p in self.by_name.get(os.path.basename(name), [])
                 if p.startswith(folders) and ('/' + p).endswith(suffix)]
        # A bare name found in many folders is none of them for sure: left out, as the compiler's
        # own headers are.
        return found if len(found) <= 3 else []

    def closure(self, path, folders):
        """path and every file of the tree it includes, directly or not."""
        if (path, folders) in self.closures:
            return self.closures[path, folders]
        seen, pending = {path}, [path]
        while pending:
            current = pending.pop()
            for name in INCLUDE.findall(read_text(os.path.join(self.root, current))):
                for included in self.resolve(current, name, folders):
                    if included not in seen:
                        seen.add(included)
                        pending.append(included)
        self.closures[path, folders] = seen
        return seen


def attributions(tree):
    """Each entry of every qt_attribution.json, with the set of files it covers."""
    for paths in tree.by_name.get('qt_attribution.json', []):
        folder = os.path.dirname(paths)
        data = json.loads(read_text(os.path.join(tree.root, paths)), strict=False)
        for entry in data if isinstance(data, list) else [data]:
            base = os.path.normpath(os.path.join(folder, entry.get('Path') or '.'))
            if entry.get('Files'):
                files = {os.path.normpath(os.path.join(base, f)) for f in entry['Files'].split()}
            elif os.path.isfile(os.path.join(tree.root, base)):
                files = {base}
            else:
                files = set()
                for sub, _, names in os.walk(os.path.join(tree.root, base)):
                    files.update(os.path.relpath(os.path.join(sub, n), tree.root) for n in names)
            entry['folder'] = folder
            entry['files'] = files
            yield entry


def linked_members(prefix, maps):
    """The members of Qt's static libraries that the linker took into the programs, by program."""
    libraries = os.path.realpath(os.path.join(prefix, ''))
    member = re.compile(r'^(\S+\.a)\(([^)]+\.o(?:bj)?)\)', re.M)
    found = {}
    for path in maps:
        program = os.path.basename(path).rsplit('.', 1)[0] + '.exe'
        for library, name in member.findall(read_text(path)):
            if os.path.realpath(library).startswith(libraries):
                found.setdefault((os.path.basename(library), name), set()).add(program)
    return found


def member_sources(tree, library, name):
    """The files of the tree a library member was compiled from (moc_x.o from x.h)."""
    if library not in LIBRARY_FOLDERS:
        fail('the programs take %s from %s, a library of Qt whose source folders are not known here'
             % (name, library))
    stem = name.rsplit('.', 1)[0]
    if stem.startswith('moc_'):
        candidates = tree.by_name.get(stem[4:] + '.h', []) + tree.by_name.get(stem[4:] + '.cpp', [])
    else:
        candidates = [p for suffix in SOURCE_SUFFIXES for p in tree.by_name.get(stem + suffix, [])]
    return [p for p in candidates if p.startswith(LIBRARY_FOLDERS[library])]


def debian_version(root):
    with open(os.path.join(root, 'debian', 'changelog'), encoding='utf-8') as f:
        match = re.match(r'(\S+) \(([^)]+)\)', f.readline())
    if not match:
        fail('no version in %s/debian/changelog' % root)
    return match.group(1), match.group(2)


def listed(path):
    """The lines "qt | <Id> | <licence>" of the components list ("not carried: <why>" for a piece that
    only seems carried: included under a condition that is false on Windows)."""
    rows = {}
    for line in read_text(path).splitlines():
        cells = [c.strip() for c in line.split('|')]
        if cells[0] == 'qt' and len(cells) == 3:
            rows[cells[1]] = cells[2]
    return rows


def main(argv):
    if len(argv) < 6:
        fail('usage: qt-attribution.py SOURCE PREFIX LIST OUTPUT TEXTS MAP...')
    root, prefix, list_path, output, texts = argv[:5]
    tree = Tree(root)
    package, version = debian_version(root)
    members = linked_members(prefix, argv[5:])
    if not members:
        fail('the maps name no member of the Qt under %s' % prefix)

    # Which members carry which files.
    carried = {}
    for (library, name), programs in sorted(members.items()):
        for source in member_sources(tree, library, name):
            for path in tree.closure(source, LIBRARY_FOLDERS[library]):
                carried.setdefault(path, []).append((library, name, programs))

    rows = listed(list_path)
    problems, lines = [], []
    os.makedirs(texts, exist_ok=True)
    for entry in sorted(attributions(tree), key=lambda e: (e['folder'], e['Id'])):
        ident = entry['Id']
        carriers = [c for path in sorted(entry['files']) for c in carried.get(path, [])]
        if not carriers:
            if ident in rows and not rows[ident].startswith('not carried:'):
                problems.append('%s (%s) is listed, but no program carries it: remove its line' % (ident, entry['folder']))
            continue
        library, name, programs = carriers[0]
        where = '%s through %s(%s)' % (' and '.join(sorted(programs)), library, name)
        if ident not in rows:
            problems.append('%s (%s, %s under %s) is in %s, but has no line "qt | %s | <licence>"'
                            % (ident, entry['Name'], entry.get('LicenseId') or entry.get('License'),
                               entry['folder'], where, ident))
            continue
        licence = rows[ident]
        if licence.startswith('not carried:'):
            continue
        if entry.get('LicenseId') and entry['LicenseId'] != licence:
            problems.append('%s is listed under %s, but Qt gives it %s' % (ident, licence, entry['LicenseId']))
            continue
        text = '%s (Qt: %s)\n\n%s\n' % (entry['Name'], entry['folder'], entry.get('Copyright', '').strip())
        if entry.get('LicenseFile'):
            text += '\n' + read_text(os.path.join(root, entry['folder'], entry['LicenseFile']))
        else:
            text += '\nLicence: %s\n' % entry.get('License', licence)
        text_path = os.path.join(os.path.abspath(texts), ident + '.txt')
        with open(text_path, 'w', encoding='utf-8') as f:
            f.write(text)
        lines.append('windows | %s (in Qt) | %s | %s | https://sources.debian.org/src/%s/%s/%s/ | %s'
                     % (entry['Name'], entry.get('Version') or 'qtbase ' + version, licence, package, version,
                        entry['folder'], text_path))
    if problems:
        fail('packaging/components.list and the Qt the programs link disagree:\n  ' + '\n  '.join(problems))
    with open(output, 'w', encoding='utf-8') as f:
        f.write('\n'.join(lines) + '\n')


if __name__ == '__main__':
    main(sys.argv[1:])
