#!/usr/bin/env python3
"""End-to-end tests: the real trelkin.exe under Wine and Xvfb, against nginx and the
fault-injecting server on the loopback port the test build was compiled for, driven through
its windows by the UI driver."""
import argparse
import datetime
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / 'tools' / 'wine'))
from test_authority import TestAuthority  # noqa: E402
from wine_session import (MAIN_CAPTION, MESSAGE_CAPTION, STARTUP_CAPTION, Display, Driver, FaultServer, Nginx, Wine,  # noqa: E402
                          add_build_arguments, cut_package, kill_process_group)

IDCANCEL, IDC_STARTUP_TEXT, IDC_STARTUP_RECEIVED = 2, 1008, 1009
IDOK, IDC_OVERALL, IDC_PART, IDC_LABEL, IDC_DOWNLOAD, IDC_STOP, IDC_INSTALL, IDC_DIRECTORY, IDC_VERSION = (
    1, 1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007)
VERSION = '1.0.1'
PARTS = 5  # what every story here is told with: the package is made to have this many parts
PART_SIZE = None  # chosen from the installer the build made, so that it cuts into PARTS parts
GENERAL = ('If the error is caused by busy download site, please try at a later time. Otherwise, please fix the '
           'problem or contact brisko-support@corvane-software.com. Thank you.')

ARGS = None
ENV = {}


def setUpModule():
    ENV['display'] = Display()
    ENV['wine'] = Wine(ENV['display'], prefix=ARGS.wineprefix)
    ENV['driver'] = Driver(ENV['wine'], ARGS.driver)
    ENV['shots'] = Path(ARGS.screenshots)
    ENV['shots'].mkdir(parents=True, exist_ok=True)
    package = Path(tempfile.mkdtemp(prefix='brisko-package-'))
    ENV['package'] = package
    # Five parts whatever the build's installer weighs (the 32-bit and 64-bit builds differ): the
    # part size follows from the installer, and a small one is padded, which leaves it a working
    # installer since bytes after a program's image are never loaded.
    global PART_SIZE
    installer = Path(ARGS.installer).read_bytes()
    PART_SIZE = max(56 * 1024, -(-len(installer) // PARTS))
    installer += bytes(max(0, (PARTS - 1) * PART_SIZE + 1000 - len(installer)))
    ENV['installer'] = installer
    padded = package / 'setup.exe'
    padded.write_bytes(installer)
    ENV['parts'] = cut_package(padded, VERSION, PART_SIZE, package)
    assert len(ENV['parts']) == PARTS, f'{len(ENV["parts"])} parts of {PART_SIZE} bytes'
    # The same installer as the vendor publishes it signed, with the tests' key.
    signed = package / 'signed'
    (signed / 'download').mkdir(parents=True)
    subprocess.run([ARGS.pkgmake, str(padded), VERSION, str(PART_SIZE), str(signed / 'download' / 'brisko'),
                    '--sign', ARGS.signing_key, '--release', '7'], check=True, stdout=subprocess.DEVNULL)
    ENV['signed'] = signed


def tearDownModule():
    ENV['driver'].close()
    ENV['wine'].close()
    ENV['display'].close()
    shutil.rmtree(ENV['package'], ignore_errors=True)


class Story(unittest.TestCase):
    """A fresh home folder with the program in it, and the servers and the program a story starts."""

    def setUp(self):
        self.home = Path(tempfile.mkdtemp(prefix='brisko-home-'))
        shutil.copy(ARGS.trelkin, self.home / 'trelkin.exe')
        self.driver = ENV['driver']
        self.servers = []
        self.app = None

    def tearDown(self):
        if self.app and self.app.poll() is None:
            kill_process_group(self.app)
            self.app.wait()
        for server in self.servers:
            server.close()
        shutil.rmtree(self.home, ignore_errors=True)

    # --- helpers ------------------------------------------------------------------------------
    def nginx(self, root=None, **options):
        server = Nginx(root or ENV['package'], options.pop('port', ARGS.port), **options)
        self.servers.append(server)
        return server

    def faults(self, rules=None, root=None, extra=()):
        server = FaultServer(root or ENV['package'], ARGS.port, rules, extra)
        self.servers.append(server)
        return server

    def start(self, env=None):
        self.app = ENV['wine'].start(self.home / 'trelkin.exe', cwd=self.home, env=env)
        return self.app

    def use_signed_build(self):
        shutil.copy(ARGS.trelkin_signed, self.home / 'trelkin.exe')

    def start_dialog(self):
        self.start()
        self.assertTrue(self.driver.wait(MAIN_CAPTION, 60000), 'the main dialog did not appear')

    def version_dir(self):
        return self.home / VERSION

    def resume_flags(self):
        lines = (self.version_dir() / 'pkgindex.txt').read_text().split()
        return ''.join(lines[5::2])

    def wait_until(self, condition, seconds, what):
        deadline = time.time() + seconds
        while time.time() < deadline:
            if condition():
                return
            time.sleep(0.1)
        self.fail(f'timed out waiting for {what}')

    def wait_finished(self, seconds=60):
        self.wait_until(lambda: self.driver.enabled(IDC_INSTALL), seconds, 'Install to be enabled')

    def finish_app(self, seconds=30):
        self.driver.click(IDOK)
        self.app.wait(timeout=seconds)

    def shot(self, name):
        ENV['display'].screenshot(ENV['shots'] / f'{name}.png')

    def expect_second_copy_refused(self, message):
        """A second copy started from the same home says `message` and ends."""
        second = ENV['wine'].start(self.home / 'trelkin.exe', cwd=self.home)
        try:
            self.assertEqual(message, self.driver.message(60000))
            second.wait(timeout=30)
        finally:
            if second.poll() is None:
                kill_process_group(second)
                second.wait()

    def expect_start_up_refused(self, message):
        """Start-up shows `message`, then the general message, and ends without a version folder."""
        self.assertEqual(message, self.driver.message(60000))
        self.assertEqual(GENERAL, self.driver.message())
        self.app.wait(timeout=30)
        self.assertFalse(self.version_dir().exists())

    def signed_download_finished(self):
        """The signed build's download of the signed package, to Install; the installer's path."""
        self.use_signed_build()
        self.nginx(ENV['signed'])
        self.start_dialog()
        self.driver.click(IDC_DOWNLOAD)
        self.wait_finished()
        return self.version_dir() / 'corvane.exe'

    def seed_version_folder(self, done):
        """A version folder as an earlier run left it, with the given parts (1-based) done."""
        folder = self.version_dir()
        folder.mkdir()
        source = ENV['package'] / 'download' / 'brisko'
        lines = ['1', VERSION, str(len(ENV['parts'])), str(PART_SIZE)]
        for number, name in enumerate(ENV['parts'], start=1):
            if number in done:
                shutil.copy(source / name, folder / name)
            lines += [name, '1' if number in done else '0']
        (folder / 'pkgindex.txt').write_text('\r\n'.join(lines) + '\r\n')


class EndToEnd(Story):
    # --- start-up -----------------------------------------------------------------------------
    def test_unreachable_server_without_copy_reports_and_ends(self):
        self.start()
        first = self.driver.message(60000)
        self.assertTrue(first, 'no fetch error shown')
        self.assertNotEqual(GENERAL, first)
        self.assertEqual(GENERAL, self.driver.message())
        self.app.wait(timeout=30)
        self.assertFalse(self.version_dir().exists())

    def test_newer_index_format_is_incompatible(self):
        root = self.home / 'published'
        (root / 'download' / 'brisko').mkdir(parents=True)
        (root / 'download' / 'brisko' / 'pkgindex.txt').write_text('2\nnext\n')
        self.faults(root=root)
        self.start()
        self.expect_start_up_refused(
            'Your Corvane Brisko Download program is not compatible with the current release. '
            'Please download the newer version from https://www.corvane-software.com/brisko '
            'and try again. Thank you.')

    # --- the download -------------------------------------------------------------------------
    def test_first_run_downloads_joins_and_installs_then_second_run_is_ready(self):
        server = self.nginx()
        self.start_dialog()
        self.shot('idle')
        self.assertEqual(VERSION, self.driver.text(IDC_VERSION))
        self.assertEqual(str(self.version_dir()).replace('/', '\\').split('\\', 1)[1],
                         self.driver.text(IDC_DIRECTORY).split('\\', 1)[1])
        self.assertTrue((self.version_dir() / 'pkgindex.txt').exists())
        self.assertFalse(self.driver.enabled(IDC_INSTALL))
        self.assertFalse(self.driver.visible(IDC_LABEL))
        count = len(ENV['parts'])
        self.assertEqual((0, 0, count + 1), self.driver.progress(IDC_OVERALL))

        self.driver.click(IDC_DOWNLOAD)
        self.wait_finished()
        self.shot('finished')
        self.assertEqual(ENV['installer'], (self.version_dir() / 'corvane.exe').read_bytes())
        self.assertEqual((count + 1, 0, count + 1), self.driver.progress(IDC_OVERALL))
        self.assertFalse(self.driver.visible(IDC_LABEL))
        self.assertEqual('1' * count, self.resume_flags())
        # Each part asked for once; the next parts' requests overlap the one being written.
        requests = server.requests()
        self.assertEqual('/download/brisko/pkgindex.txt', requests[0])
        self.assertEqual(sorted('/download/brisko/' + n for n in ENV['parts']), sorted(requests[1:]))

        self.driver.click(IDC_INSTALL)
        self.assertTrue(self.driver.wait('Corvane Software Setup', 30000), 'the installer did not start')
        self.assertTrue((self.version_dir() / 'corvane-installed.txt').exists())
        self.driver.ask('dismiss', 'Corvane Software Setup')
        self.finish_app()

        self.start_dialog()
        self.assertTrue(self.driver.enabled(IDC_INSTALL))
        self.assertEqual((count + 1, 0, count + 1), self.driver.progress(IDC_OVERALL))
        self.finish_app()

    def test_resume_fetches_only_the_parts_not_done(self):
        self.seed_version_folder(done={1, 3, 5})
        server = self.nginx()
        self.start_dialog()
        self.assertEqual((1, 0, PARTS + 1), self.driver.progress(IDC_OVERALL))
        self.driver.click(IDC_DOWNLOAD)
        self.wait_finished()
        requests = server.requests()
        self.assertEqual(['/download/brisko/pkgindex.txt', '/download/brisko/' + ENV['parts'][1],
                          '/download/brisko/' + ENV['parts'][3]], requests[:1] + sorted(requests[1:]))
        self.assertEqual(ENV['installer'], (self.version_dir() / 'corvane.exe').read_bytes())
        self.finish_app()

    def test_short_installer_is_deleted_at_start(self):
        self.seed_version_folder(done=set(range(1, PARTS + 1)))
        (self.version_dir() / 'corvane.exe').write_bytes(b'MZ' + bytes(100))
        self.nginx()
        self.start_dialog()
        self.assertFalse(self.driver.enabled(IDC_INSTALL))
        self.assertFalse((self.version_dir() / 'corvane.exe').exists())
        self.finish_app()

    def connections(self):
        """The connections the server has open with the program."""
        out = subprocess.run(['ss', '-Htn', 'state', 'established', f'( sport = :{ARGS.port} )'],
                             capture_output=True, text=True).stdout
        return len(out.splitlines())

    def test_stop_ends_quietly_and_download_again_finishes(self):
        self.faults({'*': 'hang', 'pkgindex.txt': 'ok'})  # the first part stays on its way, however busy the machine
        self.start_dialog()
        self.driver.click(IDC_DOWNLOAD)
        self.wait_until(lambda: self.driver.visible(IDC_LABEL), 20, 'the part label')
        self.wait_until(lambda: self.driver.progress(IDC_PART)[0] > 0, 20, 'the part bar to move')
        self.shot('downloading')
        self.assertEqual(ENV['parts'][0], self.driver.text(IDC_LABEL))
        self.driver.click(IDC_STOP)
        self.assertIsNone(self.driver.message(13000), 'a stop must not bring a message')
        self.assertEqual('0' * PARTS, self.resume_flags())
        self.assertFalse((self.version_dir() / 'corvane.exe').exists())

        self.servers.pop().close()
        self.nginx()
        self.driver.click(IDC_DOWNLOAD)
        self.wait_finished()
        self.assertEqual(ENV['installer'], (self.version_dir() / 'corvane.exe').read_bytes())
        self.finish_app()

    def test_stop_ends_four_transfers_in_flight_at_once(self):
        # The first part comes at once; then one byte every half second: while the second part is
        # read, the next three are already asked for, and all four stay in flight until something
        # ends them.
        self.faults({'*': 'drip', 'pkgindex.txt': 'ok', ENV['parts'][0]: 'ok'})
        self.start_dialog()
        self.driver.click(IDC_DOWNLOAD)
        self.wait_until(lambda: self.connections() == 4, 20, 'four transfers in flight')
        self.assertEqual(ENV['parts'][1], self.driver.text(IDC_LABEL))  # the part being written
        self.driver.click(IDC_STOP)
        # Bounded, not timed: a transfer Stop missed would go on for minutes.
        self.wait_until(lambda: self.connections() == 0, 5, 'Stop to end every transfer in flight')
        self.assertIsNone(self.driver.message(3000), 'a stop must not bring a message')
        self.wait_until(lambda: self.driver.enabled(IDC_DOWNLOAD), 10, 'Download to be offered again')
        self.assertEqual('1' + '0' * (PARTS - 1), self.resume_flags())
        for name in ENV['parts'][2:5]:
            self.assertFalse((self.version_dir() / name).exists(), 'a part asked for ahead was written')
        self.finish_app()

    def test_failing_part_gives_one_message_after_three_attempts(self):
        server = self.faults({ENV['parts'][1]: '500'})
        self.start_dialog()
        self.driver.click(IDC_DOWNLOAD)
        self.assertEqual('Failed to connect to the server. Please try later', self.driver.message(60000))
        # Asked for ahead once (a hint the server refused), then three attempts of its own.
        self.assertEqual(4, server.requests().count('/download/brisko/' + ENV['parts'][1]))
        self.assertEqual('1' + '0' * (PARTS - 1), self.resume_flags())
        self.assertIsNone(self.driver.message(1000))
        self.assertFalse(self.driver.enabled(IDC_INSTALL))
        self.finish_app()

    def test_a_mirror_that_answers_one_request_at_a_time_costs_no_attempt(self):
        # Each client gets one answer at a time, 503 beyond it; every part comes slowly, so the
        # requests sent ahead meet the limit. Each refusal costs only itself: the part is asked for
        # again at its turn, nothing more is asked ahead, and the download ends without a message.
        server = self.faults({'*': 'slow', 'pkgindex.txt': 'ok'}, extra=('--per-client-limit', '1'))
        self.start_dialog()
        self.driver.click(IDC_DOWNLOAD)
        self.wait_finished(90)
        self.assertIsNone(self.driver.message(500))
        self.assertEqual(ENV['installer'], (self.version_dir() / 'corvane.exe').read_bytes())
        asked = [(request, action) for request, action in zip(server.requests(), server.actions())
                 if request != '/download/brisko/pkgindex.txt']
        refused = [request for request, action in asked if action == 'refused']
        self.assertTrue(1 <= len(refused) <= 3, asked)  # one burst of requests ahead, then none
        for name in ENV['parts']:
            self.assertEqual(1, [r for r, a in asked if a != 'refused'].count('/download/brisko/' + name), asked)
        self.finish_app()

    def test_download_is_offered_only_while_no_worker_runs(self):
        server = self.faults({ENV['parts'][1]: ['500', '500', '500', '500', 'ok']})
        self.start_dialog()
        self.assertTrue(self.driver.enabled(IDC_DOWNLOAD))
        self.driver.click(IDC_DOWNLOAD)
        self.wait_until(lambda: not self.driver.enabled(IDC_DOWNLOAD), 5, 'Download to be disabled')
        self.assertEqual('Failed to connect to the server. Please try later', self.driver.message(60000))
        # Enabled the moment the failed worker has ended, and a press then works.
        self.wait_until(lambda: self.driver.enabled(IDC_DOWNLOAD), 10, 'Download to be enabled again')
        self.driver.click(IDC_DOWNLOAD)
        self.wait_finished()
        self.assertEqual(5, server.requests().count('/download/brisko/' + ENV['parts'][1]))
        self.assertTrue(self.driver.enabled(IDC_DOWNLOAD))
        self.assertEqual(ENV['installer'], (self.version_dir() / 'corvane.exe').read_bytes())
        self.finish_app()

    def test_closing_the_window_during_a_download_ends_in_bounded_time(self):
        self.faults({'*': 'hang', 'pkgindex.txt': 'ok'})  # the first part stays on its way
        self.start_dialog()
        self.driver.click(IDC_DOWNLOAD)
        self.wait_until(lambda: self.driver.progress(IDC_PART)[0] > 0, 20, 'the part bar to move')
        self.driver.value('close', MAIN_CAPTION)
        self.app.wait(timeout=30)
        flags = self.resume_flags()
        self.assertEqual(PARTS, len(flags))
        self.assertNotEqual('1' * PARTS, flags)

    # --- signed packages -----------------------------------------------------------------------
    def test_signed_build_downloads_a_signed_package_and_installs_it(self):
        self.use_signed_build()
        server = self.nginx(ENV['signed'])
        self.start_dialog()
        self.driver.click(IDC_DOWNLOAD)
        self.wait_finished()
        self.assertEqual(ENV['installer'], (self.version_dir() / 'corvane.exe').read_bytes())
        requests = server.requests()
        self.assertEqual(['/download/brisko/pkgindex.txt', '/download/brisko/pkgrelease.txt'] +
                         sorted('/download/brisko/' + n for n in ENV['parts']), requests[:2] + sorted(requests[2:]))
        self.assertEqual((ENV['signed'] / 'download' / 'brisko' / 'pkgrelease.txt').read_bytes(),
                         (self.version_dir() / 'pkgrelease.txt').read_bytes())
        self.driver.click(IDC_INSTALL)
        self.assertTrue(self.driver.wait('Corvane Software Setup', 30000), 'the installer did not start')
        self.driver.ask('dismiss', 'Corvane Software Setup')
        self.finish_app()

    def test_signed_build_never_starts_an_installer_changed_after_the_join(self):
        installer = self.signed_download_finished()
        data = bytearray(installer.read_bytes())
        data[len(data) // 2] ^= 0xFF  # same size: only the hash can tell
        installer.write_bytes(bytes(data))
        self.driver.click(IDC_INSTALL)
        message = self.driver.message(30000)
        self.assertTrue(message and message.endswith("is not the one Corvane Software signed, so it was removed. "
                                                     "Press Download to build it again."), message)
        self.assertFalse(self.driver.wait('Corvane Software Setup', 2000), 'a changed installer was started')
        self.assertFalse(installer.exists())
        self.assertFalse(self.driver.enabled(IDC_INSTALL))
        self.finish_app()

    def test_signed_build_fetches_a_part_changed_on_the_way_again(self):
        self.use_signed_build()
        server = self.faults({ENV['parts'][2]: ['flip', 'ok']}, root=ENV['signed'])
        self.start_dialog()
        self.driver.click(IDC_DOWNLOAD)
        self.assertIsNone(self.driver.message(3000), 'one changed part is a retried attempt, not a message')
        self.wait_finished(90)
        self.assertEqual(['flip', 'ok'], [a for r, a in zip(server.requests(), server.actions())
                                          if r.endswith(ENV['parts'][2])])
        self.assertEqual(ENV['installer'], (self.version_dir() / 'corvane.exe').read_bytes())
        self.finish_app()

    def test_signed_build_refuses_a_release_signed_by_another_key(self):
        self.use_signed_build()
        other = self.home / 'published'
        (other / 'download').mkdir(parents=True)
        key = self.home / 'other.pem'
        subprocess.run([ARGS.pkgmake, 'keygen', str(key)], check=True, capture_output=True)
        folder = other / 'download' / 'brisko'
        subprocess.run([ARGS.pkgmake, str(ENV['package'] / 'setup.exe'), VERSION, str(PART_SIZE), str(folder),
                        '--sign', str(key), '--release', '8'], check=True, stdout=subprocess.DEVNULL)
        server = self.faults(root=other)
        self.start()
        # The release names the key that signed it; one this program does not know proves nothing,
        # whoever made it up (the vendor's site is named, should it be the vendor's next key).
        self.assertEqual('The package on the download server is not signed by Corvane Software, so it was not used. '
                         'If this keeps happening, download the newest Brisko Download from '
                         'https://www.corvane-software.com/brisko.', self.driver.message(60000))
        self.assertEqual(GENERAL, self.driver.message())
        self.app.wait(timeout=30)
        self.assertEqual(['/download/brisko/pkgindex.txt', '/download/brisko/pkgrelease.txt'], server.requests())
        self.assertFalse(self.version_dir().exists())

    def publish_signed(self, *options):
        """The package signed with the tests' key and these pkgmake options, in a folder of its own."""
        root = self.home / 'published'
        (root / 'download').mkdir(parents=True)
        subprocess.run([ARGS.pkgmake, str(ENV['package'] / 'setup.exe'), VERSION, str(PART_SIZE),
                        str(root / 'download' / 'brisko'), '--sign', ARGS.signing_key, *options],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return root

    def test_signed_fresh_home_refuses_a_release_below_the_built_in_floor(self):
        # The tests' signed build is built with release 5 as its floor; this home has seen nothing.
        self.use_signed_build()
        self.faults(root=self.publish_signed('--release', '3'))
        self.start()
        self.expect_start_up_refused(
            'The download server offered release 3 of the package, older than release 5 already used '
            'here, so it was not used.')
        self.assertFalse((self.home / 'pkgrelease.txt').exists())

    def test_signed_build_refuses_an_expired_release(self):
        self.use_signed_build()
        self.faults(root=self.publish_signed('--release', '9', '--expires', '2020-01-01'))
        self.start()
        # The user also hears the computer's date (pkgmake signed the release today), in case it is wrong.
        self.expect_start_up_refused(
            'The signed release on the download server expired on 2020-01-01, so it was not used. '
            f"If this computer's date ({datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d}) is wrong, set it right "
            'and try again; otherwise please try again later.')

    def test_signed_build_does_not_call_a_locked_installer_unsigned_nor_remove_it(self):
        installer = self.signed_download_finished()
        self.driver.value('lock', 'Z:' + str(installer).replace('/', '\\'))
        try:
            self.driver.click(IDC_INSTALL)
            message = self.driver.message(30000)
        finally:
            self.driver.value('unlock')
        self.assertTrue(message and 'could not be opened or checked, so it was not started. It was not removed.'
                        in message, message)
        self.assertFalse(self.driver.wait('Corvane Software Setup', 2000), 'a locked installer was started')
        self.assertEqual(ENV['installer'], installer.read_bytes())
        self.assertTrue(self.driver.enabled(IDC_INSTALL))
        # Let go, it is checked and started.
        self.driver.click(IDC_INSTALL)
        self.assertTrue(self.driver.wait('Corvane Software Setup', 30000), 'the installer did not start')
        self.driver.ask('dismiss', 'Corvane Software Setup')
        self.finish_app()

    def publish_slow_index(self):
        """The package with an index long enough to take minutes on a slow line (100,000 blank lines
        after the parts); the index's text as the program reads it."""
        root = self.home / 'published'
        shutil.copytree(ENV['package'] / 'download', root / 'download')
        index = (root / 'download' / 'brisko' / 'pkgindex.txt').read_text()
        (root / 'download' / 'brisko' / 'pkgindex.txt').write_text(index + '\n' * 100000)
        return root, index

    def test_a_crawling_index_shows_the_start_up_window_then_gives_way_to_the_earlier_copy(self):
        # 1 KiB a second: never a stall, but below start-up's floor of 2 KiB a second. Once bytes
        # have flowed for 30 s the fetch fails and the earlier index serves, as for an unreachable
        # server; meanwhile the start-up window says what start-up waits for.
        root, index = self.publish_slow_index()
        (self.home / 'pkgindex.txt').write_text(index)
        self.faults({'pkgindex.txt': 'crawl'}, root=root)
        self.start()
        self.assertTrue(self.driver.wait(STARTUP_CAPTION, 30000), 'no start-up window')
        self.assertEqual('Waiting for the package list from the download server...',
                         self.driver.value('text', STARTUP_CAPTION, IDC_STARTUP_TEXT))
        self.wait_until(lambda: self.driver.value('text', STARTUP_CAPTION, IDC_STARTUP_RECEIVED).endswith(
            'KB received so far.'), 20, 'the start-up window to count what came')
        self.shot('starting')
        self.assertTrue(self.driver.wait(MAIN_CAPTION, 90000), 'start-up did not give way to the earlier copy')
        self.assertEqual('OK', self.driver.ask('gone', STARTUP_CAPTION, 5000))
        self.assertEqual(index, (self.home / 'pkgindex.txt').read_text())
        self.finish_app()

    def test_a_slow_start_up_points_a_second_copy_at_its_window_and_cancel_ends_it_quietly(self):
        root, _ = self.publish_slow_index()
        server = self.faults({'pkgindex.txt': 'crawl'}, root=root)
        self.start()
        first = self.app
        # Started as soon as the first is under way, perhaps before its window is due: the first
        # shows it when the second asks.
        self.wait_until(lambda: server.requests(), 30, 'the first copy to ask for the index')
        self.expect_second_copy_refused('Brisko Download is already starting from this folder. Use its window, '
                                        '"Starting Brisko Download", which shows what it is waiting for.')
        self.app = first
        self.assertTrue(self.driver.wait(STARTUP_CAPTION, 10000), 'no start-up window')
        self.driver.value('click', STARTUP_CAPTION, IDCANCEL)
        self.assertIsNone(self.driver.message(3000), 'Cancel must not bring a message')
        self.app.wait(timeout=30)
        self.assertFalse(self.version_dir().exists())
        self.assertEqual([], sorted(p.name for p in self.home.glob('*.tmp')))

    def test_a_fast_start_up_shows_no_start_up_window(self):
        self.nginx()
        self.start()
        self.assertEqual('0', self.driver.value('watch', STARTUP_CAPTION, MAIN_CAPTION, 60000))
        self.finish_app()

    # --- safe to run from a Downloads folder ----------------------------------------------------
    def test_dlls_planted_beside_the_program_are_never_loaded(self):
        # Wine loads its own DLLs whatever lies beside a program; "n,b" gives these names the
        # search order Windows gives a DLL that is not a known one: the program's folder first.
        # Not version and uxtheme: Wine's own advapi32 and user32 load those while the process
        # starts, before the program's first instruction (seen with WINEDEBUG=+loaddll,+relay),
        # which Windows' known DLLs do not; docs/security.md says what that leaves open.
        names = ['wininet', 'bcrypt', 'dwmapi', 'winhttp', 'iertutil', 'urlmon', 'secur32', 'mpr', 'crypt32', 'ncrypt',
                 'winmm', 'propsys', 'cryptbase', 'dnsapi', 'iphlpapi', 'netapi32', 'winnsi']
        for name in names:
            shutil.copy(ARGS.planted_dll, self.home / f'{name}.dll')
        self.use_signed_build()  # which also loads CNG
        self.nginx(ENV['signed'])
        self.start(env={'WINEDLLOVERRIDES': 'mscoree,mshtml=;' + ','.join(names) + '=n,b'})
        self.assertTrue(self.driver.wait(MAIN_CAPTION, 60000), 'the main dialog did not appear')
        self.driver.click(IDC_DOWNLOAD)
        self.wait_finished()
        self.assertEqual(ENV['installer'], (self.version_dir() / 'corvane.exe').read_bytes())
        self.finish_app()
        self.assertEqual([], sorted(p.name for p in self.home.glob('*.loaded')))

    # --- trust boundaries ----------------------------------------------------------------------
    def test_closing_the_window_ends_even_a_transfer_that_trickles(self):
        # One byte every half second: a 4 KiB read would wait half an hour for its block.
        self.faults({'*': 'drip'})
        self.start_dialog()
        self.driver.click(IDC_DOWNLOAD)
        self.wait_until(lambda: self.driver.visible(IDC_LABEL), 20, 'the part label')
        time.sleep(1)
        self.driver.value('close', MAIN_CAPTION)
        # The transfer ends at once; the worker keeps its pause after a stopped attempt (10 s).
        self.app.wait(timeout=25)
        self.assertEqual('0' * PARTS, self.resume_flags())

    def test_a_second_copy_from_the_same_folder_says_so_and_ends(self):
        self.nginx()
        self.start_dialog()
        first = self.app
        self.expect_second_copy_refused('Brisko Download is already running from this folder. Use the window that '
                                        'is open.')
        self.app = first
        self.driver.click(IDC_DOWNLOAD)
        self.wait_finished()
        self.assertEqual(ENV['installer'], (self.version_dir() / 'corvane.exe').read_bytes())
        self.finish_app()

    def test_a_system_without_wininet_gets_a_message_not_a_crash(self):
        self.nginx()
        self.start(env={'WINEDLLOVERRIDES': 'mscoree,mshtml=;wininet='})  # "=": Wine has no such DLL
        self.assertEqual("This computer's internet client (wininet.dll) could not be loaded from the system folder.",
                         self.driver.message(60000))
        self.assertEqual(GENERAL, self.driver.message())
        self.app.wait(timeout=30)

    def test_dialog_in_process_first_look_system_menu_and_about_box(self):
        # Wine keeps menus per process, so the system menu is read from inside (tests/wine). The
        # same tests at 100, 150 and 200 %: a process takes the screen's DPI from the prefix's
        # LogPixels as it starts. The program itself is shown at each for a screenshot
        # (docs/screenshots/idle-144dpi.png is the one at 144).
        self.nginx()
        wine = ENV['wine']
        fonts = 'HKLM\\System\\CurrentControlSet\\Hardware Profiles\\Current\\Software\\Fonts'
        desktop = 'HKCU\\Control Panel\\Desktop'
        try:
            for dpi in (96, 144, 192):
                with self.subTest(dpi=dpi):
                    for key in (fonts, desktop):
                        wine.reg('add', key, '/v', 'LogPixels', '/t', 'REG_DWORD', '/d', str(dpi), '/f')
                    process = wine.start(ARGS.dialog_tests, env={'BRISKO_DIALOG_DPI': str(dpi)})
                    self.assertEqual(0, process.wait(timeout=120))
                    self.start_dialog()
                    time.sleep(1)  # the controls' first painting, for the picture only
                    self.shot(f'idle-{dpi}dpi')
                    self.finish_app()
        finally:
            wine.reg('add', fonts, '/v', 'LogPixels', '/t', 'REG_DWORD', '/d', '96', '/f')
            wine.reg('delete', desktop, '/v', 'LogPixels', '/f')

    def test_folders_named_in_any_script_work_end_to_end(self):
        # The system's ANSI code page stays a Western one; the program's manifest makes its
        # narrow-character calls take UTF-8. The program's own path may pass 260 bytes: 87
        # characters in Chinese, three bytes each in UTF-8. (Past 260 characters, Wine's narrow
        # file calls fail whatever the manifest says, unlike Windows' with long paths enabled.)
        self.nginx()
        base = self.home
        deep = Path(*['下载文件夹' * 10] * 2)  # 101 characters, 301 bytes
        for name in ['Загрузки', 'Λήψεις', '下载', 'Downloads 📦', deep]:
            with self.subTest(folder=str(name) if len(str(name)) < 20 else f'{len(str(name))} characters'):
                self.home = base / name
                self.home.mkdir(parents=True)
                shutil.copy(ARGS.trelkin, self.home / 'trelkin.exe')
                self.start_dialog()
                self.assertTrue(self.driver.text(IDC_DIRECTORY).endswith(
                    '\\' + str(name).replace('/', '\\') + '\\' + VERSION), self.driver.text(IDC_DIRECTORY))
                self.driver.click(IDC_DOWNLOAD)
                self.wait_finished()
                self.assertEqual(ENV['installer'], (self.version_dir() / 'corvane.exe').read_bytes())
                self.assertEqual('1' * len(ENV['parts']), self.resume_flags())
                self.driver.click(IDC_INSTALL)
                self.assertTrue(self.driver.wait('Corvane Software Setup', 30000), 'the installer did not start')
                self.assertTrue((self.version_dir() / 'corvane-installed.txt').exists())
                self.driver.ask('dismiss', 'Corvane Software Setup')
                self.finish_app()
        self.home = base

    def test_about_command_opens_the_about_box(self):
        self.nginx()
        self.start_dialog()
        self.driver.value('syscommand', MAIN_CAPTION, 0x10)
        self.assertTrue(self.driver.wait('About trelkin', 10000))
        self.shot('about')
        self.driver.value('click', 'About trelkin', IDOK)
        self.assertEqual('OK', self.driver.ask('gone', 'About trelkin', 5000))
        self.finish_app()


class OverHttps(Story):
    """The HTTPS build against nginx serving TLS with certificates from the test's own authority,
    which only this test's Wine prefix trusts, and only while these stories run."""
    NOT_TRUSTED = ("The download server's certificate is not from an authority this computer trusts, "
                   'so the connection was not used.')
    WRONG_NAME = "The download server's certificate is for another name than the server's, so the connection was not used."
    EXPIRED = ("The download server's certificate has expired or is not valid yet, so the connection was not used. "
               "If this computer's date is wrong, set it right and try again.")

    @classmethod
    def setUpClass(cls):
        cls.folder = Path(tempfile.mkdtemp(prefix='brisko-tls-'))
        cls.authority = TestAuthority(cls.folder, 'Brisko test authority')
        cls.stranger = TestAuthority(cls.folder, 'Brisko unknown authority')
        cls.certificates = {
            'good': cls.authority.issue('server', '127.0.0.1'),
            'wrong name': cls.authority.issue('wrong-name', 'download.example'),
            'unknown issuer': cls.stranger.issue('stranger', '127.0.0.1', chain=True),
            'issuer not sent': cls.stranger.issue('stranger-alone', '127.0.0.1'),
            'expired': cls.authority.issue('expired', '127.0.0.1', (datetime.datetime(2020, 1, 1),
                                                                      datetime.datetime(2020, 2, 1))),
        }
        cls.trust('add')

    @classmethod
    def tearDownClass(cls):
        try:
            cls.trust('remove')
        finally:
            shutil.rmtree(cls.folder, ignore_errors=True)

    @classmethod
    def trust(cls, command):
        """Adds the authority to the prefix's machine "Root" store, or removes it."""
        wine = ENV['wine']
        done = subprocess.run(wine.command('wine', ARGS.trust_test_ca, command, str(cls.authority.der)), env=wine.env,
                              capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(f'trust_test_ca {command}: {done.stderr.strip()}')

    def setUp(self):
        super().setUp()
        shutil.copy(ARGS.trelkin_https, self.home / 'trelkin.exe')

    def tls(self, certificate='good', **options):
        return self.nginx(tls=self.certificates[certificate], **options)

    def test_the_https_build_downloads_joins_and_installs_over_kept_connections(self):
        server = self.tls()
        self.start_dialog()
        self.driver.click(IDC_DOWNLOAD)
        self.wait_finished()
        self.assertEqual(ENV['installer'], (self.version_dir() / 'corvane.exe').read_bytes())
        self.assertEqual('1' * PARTS, self.resume_flags())
        requests = server.requests()
        self.assertEqual('/download/brisko/pkgindex.txt', requests[0])
        self.assertEqual(sorted('/download/brisko/' + n for n in ENV['parts']), sorted(requests[1:]))
        # The index and five parts on no more connections (TLS handshakes) than the program keeps open.
        connections, protocols = server.connections()
        self.assertLessEqual(connections, 4, server.log.read_text())
        self.assertTrue(all(p.startswith('TLSv1.') for p in protocols), protocols)
        self.driver.click(IDC_INSTALL)
        self.assertTrue(self.driver.wait('Corvane Software Setup', 30000), 'the installer did not start')
        self.driver.ask('dismiss', 'Corvane Software Setup')
        self.finish_app()

    def test_a_certificate_windows_refuses_ends_start_up_with_what_is_wrong_with_it(self):
        # A server that leaves out its issuer's certificate: Windows cannot build the chain, and
        # Wine says so as a failed revocation check (docs/security.md); a certificate problem either way.
        some_problem = "The download server's certificate "
        for certificate, message in [('unknown issuer', self.NOT_TRUSTED), ('wrong name', self.WRONG_NAME),
                                     ('expired', self.EXPIRED), ('issuer not sent', some_problem)]:
            with self.subTest(certificate=certificate):
                server = self.tls(certificate)
                try:
                    self.start()
                    shown = self.driver.message(60000)
                    if message == some_problem:
                        self.assertTrue(shown and shown.startswith(some_problem) and shown.endswith(
                            ', so the connection was not used.'), shown)
                    else:
                        self.assertEqual(message, shown)
                    self.assertEqual(GENERAL, self.driver.message())
                    self.app.wait(timeout=30)
                    self.assertFalse(self.version_dir().exists())
                    self.assertEqual([], server.requests(), 'a request went over a refused connection')
                finally:
                    self.servers.remove(server)
                    server.close()

    def test_redirects_go_to_https_on_any_host_and_never_down_to_http(self):
        # The vendor's server sends every object to a mirror on another port: followed over HTTPS.
        mirror_port = ARGS.port + 1
        moved = f'location /download/ {{ return 302 https://127.0.0.1:{mirror_port}$request_uri; }}'
        self.tls(server_extra=moved)
        mirror = self.tls(port=mirror_port)
        self.start_dialog()
        self.driver.click(IDC_DOWNLOAD)
        self.wait_finished()
        self.assertEqual(ENV['installer'], (self.version_dir() / 'corvane.exe').read_bytes())
        self.assertEqual(PARTS + 1, len(mirror.requests()))
        self.finish_app()
        for server in self.servers:
            server.close()
        self.servers = []
        # A redirect down to plain HTTP is the answer itself, a failed fetch; the HTTP server sees nothing.
        shutil.rmtree(self.home / VERSION)
        (self.home / 'pkgindex.txt').unlink()
        self.tls(server_extra=moved.replace('https:', 'http:'))
        plain = self.nginx(port=mirror_port)
        self.start()
        self.expect_start_up_refused('Failed to connect to the server.')
        self.assertEqual([], plain.requests())


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    add_build_arguments(parser)
    parser.add_argument('--dialog-tests', required=True)
    parser.add_argument('--trelkin-signed', required=True, help='trelkin.exe built with the tests\' package key')
    parser.add_argument('--pkgmake', required=True, help='the native pkgmake, which signs')
    parser.add_argument('--signing-key', required=True, help='the tests\' private key')
    parser.add_argument('--planted-dll', required=True, help='a DLL that leaves a mark when it is loaded')
    parser.add_argument('--trelkin-https', required=True, help='trelkin.exe built for HTTPS')
    parser.add_argument('--trust-test-ca', required=True, help='trust_test_ca.exe, which trusts a certificate authority')
    parser.add_argument('--screenshots', default='e2e-screenshots')
    parser.add_argument('--wineprefix', help='a prefix of its own (default: a new one)')
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == '__main__':
    main()
