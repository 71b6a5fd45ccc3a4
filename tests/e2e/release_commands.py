#!/usr/bin/env python3
"""The vendor's commands as README.md and docs/signing.md show them, run as they stand in a
scratch copy of the checkout: pkgmake is built, a key made, trelkin.exe built for release
unsigned and signed, and a signed package cut and checked. Only the placeholders in angle
brackets are filled in; a command the documents show that fails here fails this test. Last, a
release build with the tests' own key must be refused at configure."""
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

TOP = Path(__file__).resolve().parents[2]
DOCUMENTS = ['README.md', 'docs/signing.md']
COMMANDS = ('cmake ', 'pkgmake ', 'export ')
# What a reader puts in place of each placeholder; $key is the public key keygen printed.
PLACEHOLDERS = {
    '<public key>': '$key', '<public-key>': '$key', '<the 128 hex digits>': '$key',
    '<installer>': 'corvane-setup.exe', '<version>': '4.2', '<part-size-bytes>': '1048576',
    '<out-folder>': 'published', '<current release number>': '1',
}
# The vendor gets pkgmake and a key before building a signed program, wherever the documents show
# those steps: they run first, in the order shown.
FIRST = (r'--target pkgmake|BRISKO_BUILD_TESTS=OFF|^export PATH=', r'^key=\$\(pkgmake keygen ')


def shown_commands(document):
    """The shell commands in the document's indented blocks, continuation lines joined."""
    commands, current = [], None
    for line in (TOP / document).read_text(encoding='utf-8').splitlines():
        text = line.strip()
        if current is not None:
            current += ' ' + text.rstrip('\\').strip()
            if not text.endswith('\\'):
                commands.append(current)
                current = None
            continue
        if line.startswith('    ') and text.startswith(COMMANDS):
            if text.endswith('\\'):
                current = text.rstrip('\\').strip()
            else:
                commands.append(text)
    return commands


def as_run(command):
    command = re.sub(r'\s+#.*$', '', command)         # a comment after the command
    command = re.sub(r'\s*\[[^\]]*\]', '', command)   # an optional part: left out
    for placeholder, value in PLACEHOLDERS.items():
        command = command.replace(placeholder, value)
    unknown = re.findall(r'<[^>]+>', command)
    if unknown:
        sys.exit(f'the documents show a placeholder this test cannot fill in: {unknown[0]} in "{command}"')
    if re.match(r'pkgmake keygen ', command):
        return f'key=$({command})'
    return command


def main():
    script, seen = ['set -euxo pipefail'], set()
    for document in DOCUMENTS:
        for command in map(as_run, shown_commands(document)):
            if command.startswith('key=') and command in seen:
                continue  # a key is made once, though both documents show it
            seen.add(command)
            script.append(command)
    script[1:] = sorted(script[1:], key=lambda line: next((i for i, p in enumerate(FIRST) if re.search(p, line)),
                                                          len(FIRST)))
    # Each build of the release program is kept, to tell the signed one from the unsigned one.
    script = [line + (f' && cp build/release/trelkin.exe build-{n}.exe' if '--target trelkin' in line else '')
              for n, line in enumerate(script)]
    if not any('pkgmake verify' in line for line in script) or not any('--target trelkin' in line for line in script):
        sys.exit('the documents no longer show the release build and the check of a package')
    with tempfile.TemporaryDirectory(prefix='brisko-release-') as scratch:
        checkout = Path(scratch) / 'checkout'
        shutil.copytree(TOP, checkout, ignore=lambda folder, names: [n for n in names if n in ('build', '.git')])
        (checkout / 'corvane-setup.exe').write_bytes(b'MZ' + bytes(range(256)) * 12000)  # 3 parts of 1 MiB
        result = subprocess.run(['bash', '-c', '\n'.join(script)], cwd=checkout, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)
        print(result.stdout[-6000:])
        if result.returncode != 0:
            sys.exit('a command from the documents failed (the last one traced above)')
        builds = sorted(checkout.glob('build-*.exe'), key=lambda p: int(p.stem.split('-')[1]))
        if len(builds) < 2 or builds[0].read_bytes() == builds[-1].read_bytes():
            sys.exit(f'expected an unsigned and then a signed trelkin.exe, got {len(builds)} different builds')
        for folder in ('published', 'out'):
            if not (checkout / folder / 'pkgrelease.txt').exists():
                sys.exit(f'no signed release in {folder}/')
        # The tests' key, whose private half is public, is refused for a release build.
        test_key = (TOP / 'tests' / 'data' / 'test_package_key.pub').read_text().strip()
        refused = subprocess.run(['cmake', '-S', '.', '-B', 'build/test-key', '-G', 'Ninja',
                                  '-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake', '-DBRISKO_MIN_RELEASE=1',
                                  f'-DBRISKO_PACKAGE_KEY={test_key}'], cwd=checkout, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True)
        if refused.returncode == 0 or "would trust the tests' package key" not in refused.stdout:
            print(refused.stdout[-3000:])
            sys.exit('a release build with the tests\' key was configured')
    print('release commands: all ran as written')


if __name__ == '__main__':
    main()
