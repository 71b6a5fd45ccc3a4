#!/usr/bin/env python3
"""Reliability campaign: the real trelkin.exe under Wine against a flaky server, killed at random
moments, fed hostile indexes and responses, and run on a full or read-only disk. Whatever
happens, no finished part may be lost, no broken installer may stand as ready, and the next run
must finish without any repair by hand.

  campaign.py --form short   a few minutes; run by the test command
  campaign.py --form long    the full campaign (200 kills, ten flaky runs, ten minutes of
                             fuzzing); writes its figures to docs/reliability.md
Needs the Windows test build (BRISKO_SERVER_PORT is the loopback port it was built for).
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TOP = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(TOP / 'tools' / 'wine'))
from wine_session import (MAIN_CAPTION, MESSAGE_CAPTION, Display, Driver, FaultServer, Nginx, Wine,  # noqa: E402
                          add_build_arguments, cut_package, kill_process_group)

IDOK, IDC_DOWNLOAD, IDC_INSTALL = 1, 1003, 1005
VERSION = '3.0'
PART_SIZE = 40 * 1024
GENERAL = 'If the error is caused by busy download site'


class Campaign:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.work = Path(tempfile.mkdtemp(prefix='brisko-reliability-'))
        self.package = self.work / 'package'
        # At least eight parts whatever the build's installer weighs (the disk cases need several
        # before and after the disk fills); padding leaves it a working installer.
        installer = Path(args.installer).read_bytes()
        installer += bytes(max(0, 7 * PART_SIZE + 1000 - len(installer)))
        padded = self.work / 'setup.exe'
        padded.write_bytes(installer)
        self.parts = cut_package(padded, VERSION, PART_SIZE, self.package)
        self.installer = installer
        self.display = Display()
        self.wine = Wine(self.display, prefix=args.wineprefix or self.work / 'wineprefix')
        self.driver = Driver(self.wine, args.driver)
        self.results = []  # (case, passed, figures)

    def close(self):
        self.driver.close()
        self.wine.close()
        self.display.close()
        shutil.rmtree(self.work, ignore_errors=True)

    # --- helpers ------------------------------------------------------------------------------
    def new_home(self, under=None):
        home = Path(tempfile.mkdtemp(dir=under or self.work, prefix='home-'))
        shutil.copy(self.args.trelkin, home / 'trelkin.exe')
        return home

    def start(self, home):
        return self.wine.start(home / 'trelkin.exe', cwd=home)

    def end(self, app):
        if app.poll() is None:
            self.driver.ask('click', MAIN_CAPTION, IDOK)
            try:
                app.wait(timeout=30)
            except subprocess.TimeoutExpired:
                kill_process_group(app)
                app.wait()

    def installer_ok(self, home):
        path = home / VERSION / 'corvane.exe'
        return path.exists() and path.read_bytes() == self.installer

    def resume_index_readable(self, home):
        """Reads the resume index as the program does (without its name checks): a whole file."""
        path = home / VERSION / 'pkgindex.txt'
        if not path.exists():
            return True  # not yet written: the next start seeds it
        lines = [line.rstrip() for line in path.read_text(errors='replace').split('\n')]
        try:
            count = int(lines[2].split()[0])
            int(lines[3].split()[0])
            return all(lines[5 + 2 * i].strip().lstrip('-').isdigit() for i in range(count))
        except (IndexError, ValueError):
            return False

    def done_flags(self, home):
        lines = (home / VERSION / 'pkgindex.txt').read_text().split()
        return lines[5::2]

    def download_to_the_end(self, home, rounds=25, seconds=600):
        """Does what a patient user does: starts the program (again, when start-up failed),
        presses Download, and after every message presses it again, until Install is enabled.
        Returns (finished, messages)."""
        messages = []
        deadline = time.time() + seconds
        while time.time() < deadline and len(messages) < rounds:
            app = self.start(home)
            outcome = self.observe_start(app)
            if outcome != 'dialog':
                messages.append(outcome)
                continue
            self.driver.click(IDC_DOWNLOAD)
            last_click = time.time()
            while time.time() < deadline and len(messages) < rounds:
                if self.driver.enabled(IDC_INSTALL):
                    self.end(app)
                    return True, messages
                answer = self.driver.ask('message', MESSAGE_CAPTION, 300)
                if answer.startswith('OK'):
                    messages.append(answer[3:])
                    self.driver.ask('dismiss', MESSAGE_CAPTION)
                    self.driver.ask('gone', MESSAGE_CAPTION, 5000)
                    time.sleep(0.5)
                    self.driver.click(IDC_DOWNLOAD)
                    last_click = time.time()
                elif time.time() - last_click > 15:
                    self.driver.click(IDC_DOWNLOAD)  # ignored while a worker runs
                    last_click = time.time()
            self.end(app)
        return False, messages

    def record(self, case, passed, **figures):
        self.results.append((case, passed, figures))
        shown = ', '.join(f'{k}: {v}' for k, v in figures.items())
        print(f'{"PASS" if passed else "FAIL"} {case}: {shown}', flush=True)

    # --- 1. flaky server ----------------------------------------------------------------------
    def flaky_server(self, runs):
        corrupt = attempts = injected = unfinished = 0
        for run in range(runs):
            server = FaultServer(self.package, self.args.port, {'*': 'flaky:0.33'},
                                 extra=['--seed', str(self.args.seed + run)])
            try:
                home = self.new_home()
                finished, messages = self.download_to_the_end(home)
                actions = server.actions()
                attempts += len(actions)
                injected += sum(1 for a in actions if a != 'ok')
                if not finished:
                    unfinished += 1
                elif not self.installer_ok(home):
                    corrupt += 1
            finally:
                server.close()
        self.record('flaky server', corrupt == 0 and unfinished == 0, runs=runs, requests=attempts,
                    faults_injected=injected, unfinished=unfinished, corrupt_results=corrupt)

    # --- 2. killed anywhere -------------------------------------------------------------------
    def kills(self, count):
        server = FaultServer(self.package, self.args.port, {'*': 'slow', 'pkgindex.txt': 'ok'})
        corrupt_indexes = corrupt_installers = manual = 0
        home = self.new_home()
        try:
            for kill in range(count):
                app = self.start(home)
                if self.driver.wait(MAIN_CAPTION, 60000):
                    if not self.driver.enabled(IDC_INSTALL):
                        self.driver.click(IDC_DOWNLOAD)
                    time.sleep(self.rng.uniform(0.0, 2.5))
                kill_process_group(app)
                app.wait()
                if not self.resume_index_readable(home):
                    corrupt_indexes += 1
                installer = home / VERSION / 'corvane.exe'
                if installer.exists() and installer.read_bytes() != self.installer:
                    corrupt_installers += 1
                if installer.exists():
                    # Start over once a download is complete, so that kills land early in one too.
                    shutil.rmtree(home)
                    home = self.new_home()
            server.set_rules({'pkgindex.txt': 'ok'})
            finished, messages = self.download_to_the_end(home)
            if not finished or not self.installer_ok(home):
                manual += 1
        finally:
            server.close()
        self.record('killed anywhere', corrupt_indexes == 0 and corrupt_installers == 0 and manual == 0,
                    kills=count, corrupt_indexes=corrupt_indexes, corrupt_installers=corrupt_installers,
                    runs_needing_repair=manual)

    # --- 3. hostile or broken index -----------------------------------------------------------
    HOSTILE_INDEXES = {
        'traversal name': '1\n3.0\n1\n100\n..\\..\\evil.exe\n0\n',
        'slash traversal': '1\n3.0\n1\n100\n../../evil.exe\n0\n',
        'drive name': '1\n3.0\n1\n100\nC:\\windows\\evil.exe\n0\n',
        'traversal version': '1\n..\\..\\outside\n1\n100\npart\n0\n',
        'reserved name': '1\n3.0\n1\n100\ncorvane.exe\n0\n',
        'duplicate names': '1\n3.0\n2\n100\na.bin\n0\nA.BIN\n0\n',
        'absurd count': '1\n3.0\n2000000000\n100\na\n0\n',
        'long line': '1\n' + 'v' * 1100 + '\n1\n100\npart\n0\n',
        'binary junk': None,
        'empty file': '',
        'CR-only line ends': '1\r3.0\r1\r100\rpart\r0\r',
        'negative part size': '1\n3.0\n1\n-100\npart\n0\n',
    }

    def hostile_indexes(self):
        failures = []
        for name, text in self.HOSTILE_INDEXES.items():
            root = self.work / 'hostile' / name.replace(' ', '-')
            folder = root / 'download' / 'brisko'
            folder.mkdir(parents=True)
            data = bytes(self.rng.randrange(256) for _ in range(600)) if text is None else text.encode()
            (folder / 'pkgindex.txt').write_bytes(data)
            (folder / 'part').write_bytes(b'x' * 100)
            server = FaultServer(root, self.args.port)
            sandbox = self.work / 'sandbox' / name.replace(' ', '-')
            sandbox.mkdir(parents=True)
            home = self.new_home(sandbox)
            try:
                before = set(p for p in sandbox.parent.parent.rglob('*') if 'wineprefix' not in p.parts)
                app = self.start(home)
                outcome = self.observe_start(app)
                after = set(p for p in sandbox.parent.parent.rglob('*') if 'wineprefix' not in p.parts)
                outside = [str(p) for p in after - before if home not in p.parents and p != home]
                if outside:
                    failures.append(f'{name}: wrote {outside}')
                if outcome == 'dialog':
                    # A readable index: it must still keep everything inside the version folder.
                    self.driver.click(IDC_DOWNLOAD)
                    time.sleep(1)
                    self.end(app)
                elif not outcome.startswith('messages'):
                    failures.append(f'{name}: {outcome}')
            finally:
                server.close()
        self.record('hostile or broken index', not failures, inputs=len(self.HOSTILE_INDEXES),
                    problems='; '.join(failures) or 'none')

    def observe_start(self, app):
        """'dialog', or 'messages: ...' once the program has shown its messages and ended."""
        texts = []
        deadline = time.time() + 60
        while time.time() < deadline:
            if self.driver.ask('wait', MAIN_CAPTION, 200).startswith('OK'):
                return 'dialog'
            answer = self.driver.ask('message', MESSAGE_CAPTION, 200)
            if answer.startswith('OK'):
                texts.append(answer[3:])
                self.driver.ask('dismiss', MESSAGE_CAPTION)
                self.driver.ask('gone', MESSAGE_CAPTION, 5000)
            if app.poll() is not None:
                if texts and texts[-1].startswith(GENERAL):
                    return 'messages: ' + ' | '.join(texts)
                return 'ended without the general message: ' + ' | '.join(texts)
        kill_process_group(app)
        return 'hung'

    def fuzz(self, seconds):
        binary = self.work / 'index_fuzzer'
        sources = ['index/package_index.cpp', 'index/file_name_rules.cpp', 'common/file_system_posix.cpp',
                   'common/path.cpp', 'common/file_replace.cpp']
        build = subprocess.run(['clang++', '-std=c++17', '-g', '-O1', '-fsanitize=fuzzer,address,undefined',
                                '-fno-sanitize-recover=undefined', f'-I{TOP}', '-o', str(binary),
                                str(TOP / 'tests' / 'reliability' / 'index_fuzzer.cpp'),
                                *[str(TOP / s) for s in sources]], capture_output=True, text=True)
        if build.returncode != 0:
            self.record('index reader fuzzing', False, problem='could not build: ' + build.stderr[-300:])
            return
        corpus = self.work / 'corpus'
        corpus.mkdir()
        for name, text in self.HOSTILE_INDEXES.items():
            if text is not None:
                (corpus / name.replace(' ', '-')).write_text(text)
        (corpus / 'good').write_text('1\n4.2\n2\n512\npart1.bin\n1\npart2.bin\n0\n')
        run = subprocess.run([str(binary), str(corpus), f'-max_total_time={seconds}', '-max_len=4096',
                              '-detect_leaks=1'], capture_output=True, text=True, cwd=self.work)
        executed = [line for line in run.stderr.splitlines() if 'Done' in line and 'runs' in line]
        runs = executed[-1].split()[1] if executed else '?'
        self.record('index reader fuzzing', run.returncode == 0, seconds=seconds, inputs_tried=runs,
                    crashes_or_leaks=0 if run.returncode == 0 else run.stderr[-400:])

    # --- 4. hostile responses -----------------------------------------------------------------
    def hostile_responses(self):
        failures = []
        cases = {
            'enormous headers on a part': {self.parts[0]: 'huge-headers'},
            'a body much longer than the part size': {self.parts[0]: 'long'},
            'a redirect loop': {self.parts[0]: 'redirect-loop'},
        }
        for name, rules in cases.items():
            server = FaultServer(self.package, self.args.port, rules)
            home = self.new_home()
            try:
                app = self.start(home)
                if not self.driver.wait(MAIN_CAPTION, 60000):
                    failures.append(f'{name}: no dialog')
                    continue
                self.driver.click(IDC_DOWNLOAD)
                text = self.driver.message(90000)
                if not text or not text.endswith('Please try later'):
                    failures.append(f'{name}: {text!r}')
                if self.done_flags(home)[0] != '0' or (home / VERSION / 'corvane.exe').exists():
                    failures.append(f'{name}: the bad part was recorded')
                self.end(app)
            finally:
                server.close()
        # An HTML error page with status 200 in place of the index.
        server = FaultServer(self.package, self.args.port, {'pkgindex.txt': 'html'})
        home = self.new_home()
        try:
            outcome = self.observe_start(self.start(home))
            if 'File error: ' not in outcome:
                failures.append(f'html index: {outcome}')
        finally:
            server.close()
        self.record('hostile responses', not failures, cases=len(cases) + 1, problems='; '.join(failures) or 'none')

    # --- 5. disk trouble ----------------------------------------------------------------------
    def disk_trouble(self):
        mount = self.work / 'small-disk'
        mount.mkdir()
        exe_size = Path(self.args.trelkin).stat().st_size  # the program lies on the small disk too
        size_kib = (exe_size + 3 * PART_SIZE) // 1024 + 16
        if subprocess.run(['mount', '-t', 'tmpfs', '-o', f'size={size_kib}k', 'tmpfs', str(mount)]).returncode != 0:
            self.record('disk trouble', True, skipped='cannot mount a small file system here')
            return
        failures = []
        server = Nginx(self.package, self.args.port)
        try:
            home = self.new_home(mount)
            finished, messages = self.download_to_the_end(home, rounds=1, seconds=120)
            done_before = self.done_flags(home).count('1')
            if finished or not messages or 'Please try later' not in messages[0]:
                failures.append(f'full disk: {finished} {messages}')
            if not self.resume_index_readable(home) or done_before == 0:
                failures.append(f'full disk: index readable {self.resume_index_readable(home)}, done {done_before}')
            subprocess.run(['mount', '-o', f'remount,size={size_kib * 4}k', str(mount)], check=True)
            before = len(server.requests())
            finished, messages = self.download_to_the_end(home)
            fetched_again = len(server.requests()) - before - 1
            if not finished or not self.installer_ok(home):
                failures.append(f'after space was freed: {finished} {messages}')
            if fetched_again != len(self.parts) - done_before:
                failures.append(f'finished parts were fetched again ({fetched_again})')

            # Read-only in the middle of a download. The second part's answer comes late, so that
            # the disk is made read-only while no file on it is open for writing (Linux refuses
            # the remount while one is).
            shutil.rmtree(home / VERSION)
            server.close()
            server = FaultServer(self.package, self.args.port, {'*': 'slow', 'pkgindex.txt': 'ok', self.parts[1]: 'late'})
            app = self.start(home)
            self.driver.wait(MAIN_CAPTION, 60000)
            self.driver.click(IDC_DOWNLOAD)
            deadline = time.time() + 30
            while time.time() < deadline and self.done_flags(home).count('1') == 0:
                time.sleep(0.1)
            subprocess.run(['mount', '-o', 'remount,ro', str(mount)], check=True)
            text = self.driver.message(90000)
            done = self.done_flags(home).count('1')
            if not text or not text.endswith('Please try later') or done == 0:
                failures.append(f'read-only: {text!r}, done {done}')
            self.end(app)
            subprocess.run(['mount', '-o', 'remount,rw', str(mount)], check=True)
            finished, messages = self.download_to_the_end(home)
            if not finished or not self.installer_ok(home):
                failures.append(f'after the disk was writable again: {finished} {messages}')
        finally:
            server.close()
            subprocess.run(['umount', '-l', str(mount)])
        self.record('disk trouble', not failures, cases=2, problems='; '.join(failures) or 'none')


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--form', choices=('short', 'long'), default='short')
    add_build_arguments(parser)
    parser.add_argument('--wineprefix')
    parser.add_argument('--seed', type=int, default=int(os.environ.get('BRISKO_SEED', '7')))
    parser.add_argument('--only', help='comma-separated cases: flaky,kills,index,fuzz,responses,disk')
    args = parser.parse_args()
    long_form = args.form == 'long'
    campaign = Campaign(args)
    started = time.time()
    cases = {
        'flaky': lambda: campaign.flaky_server(10 if long_form else 1),
        'kills': lambda: campaign.kills(200 if long_form else 6),
        'index': campaign.hostile_indexes,
        'fuzz': lambda: campaign.fuzz(600 if long_form else 20),
        'responses': campaign.hostile_responses,
        'disk': campaign.disk_trouble,
    }
    chosen = args.only.split(',') if args.only else list(cases)
    try:
        for name in chosen:
            cases[name]()
    finally:
        campaign.close()
    passed = sum(1 for _, ok, _ in campaign.results if ok)
    failed = len(campaign.results) - passed
    if long_form:
        write_report(campaign.results, time.time() - started, args)
    print(f'{passed} passed, {failed} failed')
    return 0 if failed == 0 else 1


def write_report(results, seconds, args):
    import platform
    lines = [f'| case | result | figures |', '|---|---|---|']
    for case, ok, figures in results:
        lines.append(f'| {case} | {"pass" if ok else "FAIL"} | ' +
                     ', '.join(f'{k.replace("_", " ")}: {v}' for k, v in figures.items()) + ' |')
    doc = TOP / 'docs' / 'reliability.md'
    text = doc.read_text() if doc.exists() else ''
    marker = '<!-- results -->'
    head = text.split(marker)[0] if marker in text else text
    doc.write_text(head + marker + '\n' + '\n'.join(lines) + '\n\n' +
                   f'Long form, seed {args.seed}, {time.strftime("%Y-%m-%d")}, {seconds / 60:.0f} minutes on '
                   f'{os.cpu_count()} cores ({platform.machine()}, Linux {platform.release()}).\n')


if __name__ == '__main__':
    sys.exit(main())
