#!/usr/bin/env python3
"""Measures the program against its ceilings on this machine, all on one loopback nginx:

  download  trelkin.exe under Wine (Download click to Install enabled, through the UI driver)
            against a bare WinInet loop with the same 4096-byte reads under Wine, the same loop
            flushing each file and a resume record as the program does, and native curl; for
            256 MiB in 64 parts and for 1,000 parts of 64 KiB
  busy      the same, with one core kept busy by a process the bench starts and ends
  join      the program's MergeParts against `cat parts > out`, and that with an fsync, 256 MiB
  memory    peak resident size of trelkin.exe, and of the bare loop, for a 64 MiB and a 512 MiB
            package
  resume    start-up to a ready dialog with 1,000 parts already done
  startup   a first run's start-up to a ready dialog for packages of 1,000, 16,000 and 65,534
            parts of 16 bytes (index fetched, version folder and resume index made)
  signed    the signed program against the unsigned one, run alternately on the same package:
            the download of 256 MiB in 64 parts, and start-up with a complete 256 MiB installer
            (which a signed program hashes before it offers Install)
  line      through an emulated wide-area line (bench/line_emulator.py: a round trip, a shared
            rate, a round trip per new connection), at 50 ms / 100 Mbit/s and 150 ms / 20 Mbit/s:
            the program, unsigned and signed, and a build that asks for one part at a time,
            against one GET of the whole installer with curl, for 1 MiB and 64 KiB parts, with the
            most connections the program had open at once (written to docs/ only by --only line)
  mobile    a first start of the largest package (65,534 parts) through a throttled mobile line,
            300 ms / 128 kbit/s, unsigned and signed: how long start-up took to the ready dialog,
            and whether the start-up window showed meanwhile (one run each; by --only mobile)
  https     through the emulated line at 50 ms / 100 Mbit/s, 16 MiB in 1 MiB and 64 KiB parts:
            the plain program against one GET with curl over HTTP, and the HTTPS build against
            one GET over HTTPS, run alternately (nginx with a certificate from an authority the
            bench makes and trusts in its own Wine prefix; by --only https)

Only when asked for with --only, as root: through a line with real TCP (bench/tcp_line: two
network namespaces joined by a packet forwarder with a delay, a rate behind a router's buffer, and
random loss), the client's side (Wine, the UI driver, curl) in one, nginx with a 64 KiB send
buffer in the other, and the programs built for the server's address there:
  tcp       16 MiB in 1 MiB and 64 KiB parts at 50 ms / 100 Mbit/s, 100 ms / 20 Mbit/s and
            150 ms / 20 Mbit/s, each without and with 1 % loss, and 1 MiB parts at 600 ms /
            10 Mbit/s: the program asking ahead and the build asking one part at a time against
            one GET of the whole installer, the same with the server's buffer left to the kernel,
            and the parts four at a time, all with curl; and a first start of 65,534 parts at
            300 ms / 128 kbit/s against a GET of its index
  servers   servers as they are: nginx allowing two connections per client (503 beyond), nginx
            with a 2 s send_timeout on a 40 ms / 8 Mbit/s line, and a firewall that answers no
            fourth connection; each build once, its time and outcome
Both write their tables to docs/performance.md (not with --quick).

Each figure is the median of --runs runs; a ratio is the ceiling's time over the program's (1.00 ×
is as fast). Prints a table, and writes it to docs/performance.md when every section ran.
Usage: bench/run_bench.py [--runs 3] [--quick] [--only download,join] [--port 18090]
       sudo bench/run_bench.py --only tcp,servers
(builds what it needs in build/bench-*; nginx listens on --port, or the line emulator does and
nginx on the next port)
"""
import argparse
import contextlib
import itertools
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(TOP / 'tools' / 'wine'))
from tcp_line.namespaces import SERVER_ADDRESS, Namespaces  # noqa: E402
from test_authority import TestAuthority  # noqa: E402
from wine_session import (MAIN_CAPTION, STARTUP_CAPTION, Display, Driver, Nginx, Wine,  # noqa: E402
                          kill_process_group, windows_build_arch)

PORT = 18090
IDOK, IDC_DOWNLOAD, IDC_INSTALL = 1, 1003, 1005
MiB = 1024 * 1024


JOBS = '2'  # the machine's two cores are shared: no more compilers than that


def build_program(folder, arch, host, port, *settings):
    """trelkin.exe alone, built for the server at host:port, with more cmake settings if given."""
    subprocess.run(['cmake', '-S', str(TOP), '-B', str(folder), '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=Release',
                    '-DBRISKO_BUILD_TESTS=OFF', f'-DCMAKE_TOOLCHAIN_FILE={TOP}/cmake/mingw-{arch}.cmake',
                    f'-DBRISKO_SERVER_HOST={host}', f'-DBRISKO_SERVER_PORT={port}', *settings],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', str(folder), '-j', JOBS, '--target', 'trelkin'], check=True,
                   stdout=subprocess.DEVNULL)
    return folder / 'trelkin.exe'


def build(sequential=False, tcp=False, https=False):
    subprocess.run(['bash', str(TOP / 'scripts' / 'install_deps.sh')], check=True)
    arch = windows_build_arch(TOP / 'build' / 'wine64-shims')
    win, native = TOP / 'build' / f'bench-windows-{arch}', TOP / 'build' / 'bench-native'
    subprocess.run(['cmake', '-S', str(TOP), '-B', str(native), '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=Release',
                    '-DBRISKO_BUILD_TESTS=OFF'], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', str(native), '-j', JOBS, '--target', 'merge_bench', 'pkgmake',
                    *(['tcp_line'] if tcp else [])], check=True, stdout=subprocess.DEVNULL)
    key = TOP / 'build' / 'bench-key.pem'
    if not key.exists():
        key.with_suffix('.pub').write_text(subprocess.run([str(native / 'tools' / 'pkgmake'), 'keygen', str(key)],
                                                          check=True, capture_output=True, text=True).stdout)
    subprocess.run(['cmake', '-S', str(TOP), '-B', str(win), '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=Release',
                    '-DBRISKO_BUILD_TESTS=OFF', f'-DCMAKE_TOOLCHAIN_FILE={TOP}/cmake/mingw-{arch}.cmake',
                    '-DBRISKO_SERVER_HOST=127.0.0.1', f'-DBRISKO_SERVER_PORT={PORT}',
                    f'-DBRISKO_BENCH_PACKAGE_KEY={key.with_suffix(".pub").read_text().strip()}'],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', str(win), '-j', JOBS, '--target', 'trelkin', 'trelkin_bench_signed', 'uidriver',
                    'wininet_loop', *(['trust_test_ca'] if https else [])], check=True, stdout=subprocess.DEVNULL)
    if https:
        exe = build_program(TOP / 'build' / f'bench-windows-{arch}-https', arch, '127.0.0.1', PORT,
                            '-DBRISKO_SERVER_SCHEME=https')
        shutil.copy(exe, win / 'bench' / 'trelkin_https.exe')
    if sequential:
        # The program as it was before it asked ahead: each part requested once the last is written.
        one = build_program(TOP / 'build' / f'bench-windows-{arch}-one-at-a-time', arch, '127.0.0.1', PORT,
                            '-DBRISKO_REQUESTS_AHEAD=0')
        shutil.copy(one, win / 'bench' / 'trelkin_one_at_a_time.exe')
    if tcp:
        # The line with real TCP: the server is the server namespace's address, on its port 80.
        for name, settings in (('asking-ahead', ()), ('one-at-a-time', ('-DBRISKO_REQUESTS_AHEAD=0',))):
            exe = build_program(TOP / 'build' / f'bench-windows-{arch}-tcp-{name}', arch, SERVER_ADDRESS,
                                TCP_SERVER_PORT, *settings)
            shutil.copy(exe, win / 'bench' / f'trelkin_tcp_{name.replace("-", "_")}.exe')
    return win, native, key


def publish(native, site, name, size, part_size, key=None):
    """A package of `size` random bytes in parts of `part_size`, made with pkgmake (and signed
    with `key`, if given)."""
    folder = site / name / 'download' / 'brisko'
    if (folder / 'pkgindex.txt').exists():
        return folder
    folder.parent.mkdir(parents=True, exist_ok=True)
    source = site / f'{name}.bin'
    with open(source, 'wb') as out:
        for offset in range(0, size, MiB):
            out.write(os.urandom(min(MiB, size - offset)))
    subprocess.run([str(native / 'tools' / 'pkgmake'), str(source), '1.0', str(part_size), str(folder),
                    *(['--sign', str(key)] if key else [])], check=True, stdout=subprocess.DEVNULL)
    # Kept whole beside the package (outside what the program fetches), for one GET of it all.
    source.rename(site / name / 'whole.bin')
    return folder


def loop_command(win, work, objects):
    """The bare loop over `objects`, fetched into work/loop."""
    out = work / 'loop'
    out.mkdir(exist_ok=True)
    (work / 'objects.txt').write_text('\n'.join(objects) + '\n')
    return ['wine', str(win / 'bench' / 'wininet_loop.exe'), str(PORT), windows_path(out),
            windows_path(work / 'objects.txt')]


def part_objects(folder):
    lines = (folder / 'pkgindex.txt').read_text().split('\n')
    return ['/download/brisko/' + name for name in lines[4::2] if name]


class PeakMemory:
    """Polls the peak resident size of a process while it runs: VmHWM, or with `after` the highest
    VmRSS seen once `after` seconds have passed, or the last one seen if it ended sooner (Wine's
    own start-up peaks above a bare loop's later size, and would hide what the loop gains)."""

    def __init__(self, pid, after=None):
        self.pid, self.after, self.peak_kib, self.last_kib, self.running = pid, after, 0, 0, True
        self.start = time.monotonic()
        self.thread = threading.Thread(target=self.poll, daemon=True)
        self.thread.start()

    def poll(self):
        field = 'VmHWM:' if self.after is None else 'VmRSS:'
        while self.running:
            try:
                for line in Path(f'/proc/{self.pid}/status').read_text().splitlines():
                    if line.startswith(field):
                        self.last_kib = int(line.split()[1])
                        if self.after is None or time.monotonic() - self.start >= self.after:
                            self.peak_kib = max(self.peak_kib, self.last_kib)
            except OSError:
                return
            time.sleep(0.05)

    def stop(self):
        self.running = False
        self.thread.join()
        return (self.peak_kib or self.last_kib) / 1024


def run_trelkin(wine, driver, exe, work, measure_memory=False, home=None):
    """Seconds from the Download click to Install enabled, seconds from the click to the last part
    written (the transfer alone, without the join), and the peak memory in MiB."""
    keep = home is not None
    home = home or Path(tempfile.mkdtemp(dir=work))
    shutil.copy(exe, home / 'trelkin.exe')
    app = wine.start(home / 'trelkin.exe', cwd=home)
    try:
        assert driver.wait(MAIN_CAPTION, 60000), 'no dialog'
        memory = PeakMemory(app.pid) if measure_memory else None
        start, clicked = time.monotonic(), time.time()
        driver.click(IDC_DOWNLOAD)
        while driver.value('enabled', MAIN_CAPTION, IDC_INSTALL) != '1':
            time.sleep(0.1)  # seldom enough not to slow the program it watches
        took = time.monotonic() - start
        peak = memory.stop() if memory else None
        driver.click(IDOK)
        app.wait(timeout=60)
        return took, transfer_seconds(home, clicked), peak
    finally:
        if app.poll() is None:
            app.kill()
        if not keep:
            shutil.rmtree(home, ignore_errors=True)


def transfer_seconds(home, clicked):
    """Seconds from the click (a wall-clock time) to the last part written: the parts' write times
    tell when the transfer ended, without asking the program more often."""
    version = next(folder for folder in home.iterdir() if (folder / 'pkgindex.txt').exists())
    return max((version / obj.split('/')[-1]).stat().st_mtime for obj in part_objects(version)) - clicked


def time_start_up(wine, driver, exe, home):
    """Seconds from the program's start to its ready dialog."""
    shutil.copy(exe, home / 'trelkin.exe')
    start = time.monotonic()
    app = wine.start(home / 'trelkin.exe', cwd=home)
    try:
        assert driver.wait(MAIN_CAPTION, 60000), 'no dialog'
        took = time.monotonic() - start
        driver.click(IDOK)
        app.wait(timeout=60)
        return took
    finally:
        if app.poll() is None:
            app.kill()


def startup_rows(wine, driver, win, native, site, work, runs):
    """First-run start-up for packages of many small parts: it must grow linearly."""
    rows = []
    for count in (1000, 16000, 65534):
        folder = publish(native, site, f'tiny{count}', 16 * count, 16)
        server = Nginx(folder.parent.parent, PORT)
        try:
            starts = []
            for _ in range(runs):
                home = Path(tempfile.mkdtemp(dir=work))
                starts.append(time_start_up(wine, driver, win / 'trelkin.exe', home))
                shutil.rmtree(home, ignore_errors=True)
        finally:
            server.close()
        rows.append((f'first start-up to a ready dialog, {count:,} parts', f'{statistics.median(starts):.2f} s', '', '',
                     'target: under 1 s for 65,534' if count == 65534 else ''))
    return rows


def signed_rows(wine, driver, win, native, key, site, work, runs, scale):
    """The signed program against the unsigned one on the same signed package, alternately."""
    size = 256 * MiB // scale
    folder = publish(native, site, 'signed256', size, 4 * MiB // scale, key)
    programs = {'unsigned': win / 'trelkin.exe', 'signed': win / 'bench' / 'trelkin_bench_signed.exe'}
    server = Nginx(folder.parent.parent, PORT)
    try:
        times = {name: [] for name in programs}
        starts = {name: [] for name in programs}
        for _ in range(runs):
            for name, exe in programs.items():
                home = Path(tempfile.mkdtemp(dir=work))
                times[name].append(run_trelkin(wine, driver, exe, work, home=home)[0])
                # Start-up again with the complete installer there: the signed program hashes it.
                starts[name].append(time_start_up(wine, driver, exe, home))
                shutil.rmtree(home, ignore_errors=True)
    finally:
        server.close()
    u, s = statistics.median(times['unsigned']), statistics.median(times['signed'])
    su, ss = statistics.median(starts['unsigned']), statistics.median(starts['signed'])
    mib = size / MiB
    return [(f'signed download, {mib:.0f} MiB in 64 parts', f'signed {s:.2f} s, unsigned {u:.2f} s', '', '',
             f'{100 * (s - u) / u:+.1f} % for hashing (target: at most +5 %)'),
            (f'start-up with a complete {mib:.0f} MiB installer', f'signed {ss:.2f} s, unsigned {su:.2f} s', '', '',
             f'{ss - su:+.2f} s to hash the installer')]


def loop_seconds(command, env):
    """The bare loop's own time from its first request to its last file, Wine's start-up left out."""
    return float(subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout.split()[-1])


def windows_path(path):
    return 'Z:' + str(path).replace('/', '\\')


def time_command(command, env=None, cwd=None):
    start = time.monotonic()
    if subprocess.run(command, env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode:
        raise RuntimeError(f'{command[0]} {command[1]} ... failed')
    return time.monotonic() - start


class CpuBurner:
    """Keeps one core busy with a process the bench starts and ends itself, by its id."""

    def __enter__(self):
        self.process = subprocess.Popen([sys.executable, '-c', 'while True: pass'])
        return self

    def __exit__(self, *exc):
        self.process.kill()
        self.process.wait()


def download_rows(wine, driver, win, native, site, work, runs, scale, busy):
    """The program against the bare loop (plain and flushing) and curl, run alternately."""
    rows = []
    packages = {
        '256 MiB in 64 parts': (256 * MiB // scale, 4 * MiB // scale),
        '1,000 parts of 64 KiB': (1000 * 64 * 1024 // scale, 64 * 1024),
    }
    for label, (size, part) in packages.items():
        folder = publish(native, site, label.split()[0].replace(',', ''), size, part)
        server = Nginx(folder.parent.parent, PORT)
        try:
            objects = part_objects(folder)
            loop_cmd = loop_command(win, work, objects)
            out = work / 'loop'
            curl_cmd = ['curl', '-s', '--no-progress-meter']
            for obj in objects:
                curl_cmd += [f'http://127.0.0.1:{PORT}{obj}', '-o', str(out / obj.split('/')[-1])]
            times = {'program': [], 'transfer': [], 'loop': [], 'flushing loop': [], 'curl': []}
            with (CpuBurner() if busy else contextlib.nullcontext()):
                for _ in range(runs):
                    took, transfer, _ = run_trelkin(wine, driver, win / 'trelkin.exe', work)
                    times['program'].append(took)
                    times['transfer'].append(transfer)
                    times['loop'].append(loop_seconds(loop_cmd, wine.env))
                    times['flushing loop'].append(loop_seconds(loop_cmd + ['flush'], wine.env))
                    times['curl'].append(time_command(curl_cmd))
        finally:
            server.close()
        mib = size / MiB
        p, t, l, f, c = (statistics.median(times[k]) for k in ('program', 'transfer', 'loop', 'flushing loop', 'curl'))
        rows.append((f'download, {label}{", one core busy" if busy else ""}',
                     f'{p:.2f} s to Install ({mib / p:.0f} MiB/s); transfer {t:.2f} s',
                     f'{l:.2f} s; flushing {f:.2f} s', f'{c:.2f} s ({mib / c:.0f} MiB/s)',
                     f'transfer {f / t:.2f} ×, to Install {f / p:.2f} × the flushing loop; transfer {l / t:.2f} × the loop'))
    return rows


def join_rows(native, site, work, runs, scale):
    """The program's join against cat, and cat with its output flushed to the disk."""
    folder = publish(native, site, '256', 256 * MiB // scale, 4 * MiB // scale)
    parts = [str(folder / obj.split('/')[-1]) for obj in part_objects(folder)]
    merge, cat, cat_sync = [], [], []

    def fresh(path):
        # Each one writes a new file, as the program's join does: replacing a file would add the
        # freeing of its blocks to the time. What the last one wrote is on the disk before it starts.
        path.unlink(missing_ok=True)
        os.sync()
        return str(path)

    for _ in range(runs):
        fresh(folder / 'joined.bin')
        merge.append(float(subprocess.run([str(native / 'bench' / 'merge_bench'), str(folder)], check=True,
                                          capture_output=True, text=True).stdout))
        cat.append(time_command(['sh', '-c', 'cat "$@" > "$0"', fresh(work / 'cat.bin'), *parts]))
        cat_sync.append(time_command(['sh', '-c', 'cat "$@" > "$0" && sync "$0"', fresh(work / 'cat.bin'), *parts]))
    m, c, s = statistics.median(merge), statistics.median(cat), statistics.median(cat_sync)
    return [('join, 256 MiB', f'{m:.3f} s', '', f'cat: {c:.3f} s; cat + fsync: {s:.3f} s',
             f'{s / m:.2f} × cat + fsync, {c / m:.2f} × cat')]


def memory_rows(wine, driver, win, native, site, work, scale):
    """Peak memory for a small and a large package, and the bare loop's for the same packages. Wine's
    WinInet gains about 1.2 MiB once a transfer has run for five seconds (seen in the loop and the
    program alike), which only the large package's download lasts; the loop fetches that package
    twice over so that it runs as long."""
    peaks, loop_peaks = {}, {}
    for mib in (64, 512):
        folder = publish(native, site, f'mem{mib}', mib * MiB // scale, 4 * MiB // scale)
        server = Nginx(folder.parent.parent, PORT)
        try:
            peaks[mib] = run_trelkin(wine, driver, win / 'trelkin.exe', work, measure_memory=True)[2]
            loop = subprocess.Popen(loop_command(win, work, part_objects(folder) * (2 if mib == 512 else 1)),
                                    env=wine.env, stdout=subprocess.DEVNULL)
            memory = PeakMemory(loop.pid, after=0.5)
            loop.wait()
            loop_peaks[mib] = memory.stop()
        finally:
            server.close()
    return [('peak memory, 64 / 512 MiB', f'{peaks[64]:.1f} / {peaks[512]:.1f} MiB',
             f'{loop_peaks[64]:.1f} / {loop_peaks[512]:.1f} MiB (after start-up; 512 twice over)', '',
             f'{peaks[512] - peaks[64]:+.2f} MiB between the two; the loop: {loop_peaks[512] - loop_peaks[64]:+.2f} MiB')]


def resume_rows(wine, driver, win, native, site, work, runs, scale):
    """Start-up to a ready dialog with 1,000 parts already done."""
    folder = publish(native, site, '1000', 1000 * 64 * 1024 // scale, 64 * 1024)
    server = Nginx(folder.parent.parent, PORT)
    try:
        home = work / 'resume-home'
        (home / '1.0').mkdir(parents=True, exist_ok=True)
        text = (folder / 'pkgindex.txt').read_text().split('\n')
        text[5::2] = ['1'] * len(text[5::2])
        (home / '1.0' / 'pkgindex.txt').write_text('\n'.join(text))
        starts = [time_start_up(wine, driver, win / 'trelkin.exe', home) for _ in range(runs)]
    finally:
        server.close()
    return [('start-up to a ready dialog, 1,000 parts done', f'{statistics.median(starts):.2f} s', '', '', '')]


class LineEmulator:
    """bench/line_emulator.py on PORT, forwarding to nginx on PORT + 1; counts connections."""

    def __init__(self, rtt_ms, mbit):
        self.process = subprocess.Popen([sys.executable, str(TOP / 'bench' / 'line_emulator.py'), '--listen', str(PORT),
                                         '--upstream', str(PORT + 1), '--rtt-ms', str(rtt_ms), '--mbit', str(mbit),
                                         '--max-seconds', '900'], stdout=subprocess.PIPE, text=True)
        self.process.stdout.readline()  # listening
        self.most = 0
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        for line in self.process.stdout:
            if line.startswith('connections'):
                self.most = max(self.most, int(line.split('most=')[1].split()[0]))

    def close(self):
        self.process.terminate()
        self.process.wait()
        self.reader.join()
        return self.most


def line_rows(wine, driver, win, native, key, site, work, runs, scale):
    """The program through an emulated line against one GET of the whole installer through it."""
    rows = []
    programs = {'unsigned': win / 'trelkin.exe', 'signed': win / 'bench' / 'trelkin_bench_signed.exe'}
    one_at_a_time = win / 'bench' / 'trelkin_one_at_a_time.exe'
    if one_at_a_time.exists():
        programs['one part at a time'] = one_at_a_time
    cases = [(50, 100, 64 * MiB, MiB), (50, 100, 16 * MiB, 64 * 1024),
             (150, 20, 16 * MiB, MiB), (150, 20, 4 * MiB, 64 * 1024)]
    for rtt, mbit, size, part in cases:
        size //= scale
        name = f'line{size // MiB}m{part // 1024}k'
        folder = publish(native, site, name, size, part, key)
        server = Nginx(folder.parent.parent, PORT + 1)
        try:
            times = {label: [] for label in programs}
            transfers = {label: [] for label in programs}
            most = {label: 0 for label in programs}
            gets, fours = [], []
            # The parts themselves, four requests at a time on kept-alive connections: what four
            # connections can do on this line with no program around them.
            four_cmd = ['curl', '-s', '--parallel', '--parallel-max', '4']
            for obj in part_objects(folder):
                four_cmd += [f'http://127.0.0.1:{PORT}{obj}', '-o', str(work / 'four.bin')]
            for _ in range(runs):
                line = LineEmulator(rtt, mbit)
                try:
                    gets.append(time_command(['curl', '-s', '-o', str(work / 'whole.bin'),
                                              f'http://127.0.0.1:{PORT}/whole.bin']))
                finally:
                    line.close()
                line = LineEmulator(rtt, mbit)
                try:
                    fours.append(time_command(four_cmd))
                finally:
                    line.close()
                for label, exe in programs.items():
                    line = LineEmulator(rtt, mbit)
                    try:
                        took, transfer, _ = run_trelkin(wine, driver, exe, work)
                    finally:
                        most[label] = max(most[label], line.close())
                    times[label].append(took)
                    transfers[label].append(transfer)
        finally:
            server.close()
        get, four = statistics.median(gets), statistics.median(fours)
        capacity = size * 8 / (mbit * 1e6)
        rows.append((f'{rtt} ms / {mbit} Mbit/s', f'{size / MiB:.0f} MiB in {size // part} parts of {part // 1024} KiB',
                     'curl, the parts four at a time', f'{get:.2f} s', f'{four:.2f} s', f'{get / four:.2f}',
                     f'{capacity / four:.2f}', '4'))
        for label in programs:
            took, transfer = statistics.median(times[label]), statistics.median(transfers[label])
            rows.append((f'{rtt} ms / {mbit} Mbit/s', f'{size / MiB:.0f} MiB in {size // part} parts of '
                         f'{part // 1024} KiB', label, f'{get:.2f} s', f'{took:.2f} s; transfer {transfer:.2f} s',
                         f'**{get / took:.2f}**; transfer {get / transfer:.2f}',
                         f'{capacity / took:.2f}; transfer {capacity / transfer:.2f}', str(most[label])))
    return rows


def https_rows(wine, driver, win, native, site, work, runs, scale):
    """The HTTPS build through the emulated line against one HTTPS GET, beside the plain program
    against one plain GET: the same ratio is the goal."""
    authority = TestAuthority(work / 'authority', 'Brisko bench authority')
    certificate = authority.issue('server', '127.0.0.1')
    subprocess.run(wine.command('wine', win / 'tools' / 'trust_test_ca.exe', 'add', authority.der), env=wine.env,
                   check=True, stdout=subprocess.DEVNULL)
    schemes = {'http': (win / 'trelkin.exe', None, []),
               'https': (win / 'bench' / 'trelkin_https.exe', certificate, ['--cacert', str(authority.dir / 'ca.pem')])}
    rows = []
    rtt, mbit = 50, 100
    for size, part in ((16 * MiB, MiB), (16 * MiB, 64 * 1024)):
        size //= scale
        folder = publish(native, site, f'https{size // MiB}m{part // 1024}k', size, part)
        gets = {scheme: [] for scheme in schemes}
        times = {scheme: [] for scheme in schemes}
        transfers = {scheme: [] for scheme in schemes}
        most = {scheme: 0 for scheme in schemes}
        for _ in range(runs):
            for scheme, (exe, tls, curl_options) in schemes.items():
                server = Nginx(folder.parent.parent, PORT + 1, tls=tls)
                try:
                    line = LineEmulator(rtt, mbit)
                    try:
                        gets[scheme].append(time_command(['curl', '-s', *curl_options, '-o', str(work / 'whole.bin'),
                                                          f'{scheme}://127.0.0.1:{PORT}/whole.bin']))
                    finally:
                        line.close()
                    line = LineEmulator(rtt, mbit)
                    try:
                        took, transfer, _ = run_trelkin(wine, driver, exe, work)
                    finally:
                        most[scheme] = max(most[scheme], line.close())
                    times[scheme].append(took)
                    transfers[scheme].append(transfer)
                finally:
                    server.close()
        capacity = size * 8 / (mbit * 1e6)
        for scheme in schemes:
            get, took = statistics.median(gets[scheme]), statistics.median(times[scheme])
            transfer = statistics.median(transfers[scheme])
            rows.append((f'{rtt} ms / {mbit} Mbit/s', f'{size / MiB:.0f} MiB in {size // part} parts of {part // 1024} KiB',
                         f'trelkin.exe over {scheme.upper()} (curl: one GET over {scheme.upper()})', f'{get:.2f} s',
                         f'{took:.2f} s; transfer {transfer:.2f} s', f'**{get / took:.2f}**; transfer {get / transfer:.2f}',
                         f'{capacity / took:.2f}; transfer {capacity / transfer:.2f}', str(most[scheme])))
    return rows


def mobile_rows(wine, driver, win, native, key, site, work):
    """The largest package's first start through a throttled mobile line: the index (and the
    signed release) take minutes, which start-up must wait out while its window says so."""
    rows = []
    folder = publish(native, site, 'mobile65534', 16 * 65534, 16, key)
    fetched = {'unsigned': (folder / 'pkgindex.txt').stat().st_size}
    fetched['signed'] = fetched['unsigned'] + (folder / 'pkgrelease.txt').stat().st_size
    programs = {'unsigned': win / 'trelkin.exe', 'signed': win / 'bench' / 'trelkin_bench_signed.exe'}
    server = Nginx(folder.parent.parent, PORT + 1)
    try:
        for label, exe in programs.items():
            home = Path(tempfile.mkdtemp(dir=work))
            shutil.copy(exe, home / 'trelkin.exe')
            line = LineEmulator(300, 0.128)
            start = time.monotonic()
            app = wine.start(home / 'trelkin.exe', cwd=home)
            try:
                window = driver.wait(STARTUP_CAPTION, 30000)
                ready = driver.wait(MAIN_CAPTION, 1500000)
                took = time.monotonic() - start
                if ready:
                    driver.click(IDOK)
                    app.wait(timeout=60)
            finally:
                if app.poll() is None:
                    app.kill()
                line.close()
                shutil.rmtree(home, ignore_errors=True)
            rows.append((f'first start-up, 65,534 parts, {label}, through 300 ms / 128 kbit/s '
                         f'({fetched[label] / 1e6:.1f} MB fetched)',
                         f'{took:.0f} s to the ready dialog' if ready else f'no dialog after {took:.0f} s', '', '',
                         'start-up window shown' if window else 'no start-up window'))
    finally:
        server.close()
    return rows


# --- the line with real TCP (bench/tcp_line): the client's side in one network namespace, nginx in
# another, both kernels' TCP between them ------------------------------------------------------

TCP_SERVER_PORT = 80  # the namespaces are the bench's own, and so is this port in them
TCP_REFERENCE_PORT = 8080  # a second nginx whose send buffers the kernel sizes itself
KERNEL_BUFFER = ', the server\'s buffer left to the kernel'
# Round trip (ms), rate (Mbit/s) and the router's buffer (ms of that rate): one round trip's worth,
# the classic sizing; a slow line's router holds more (16 full packets at 128 kbit/s).
TCP_LINES = ((50, 100, 50), (100, 20, 100), (150, 20, 150))
SATELLITE = (600, 10, 600)
SLOW_LINE = (300, 0.128, 1500)
TCP_RUN_SECONDS = 600  # a client still running after this is stopped and said to be


class ClientSide:
    """Xvfb, Wine (its wineserver makes the program's sockets), the UI driver and curl, all in the
    client's namespace; nginx in the server's; a fresh forwarder for every run."""

    def __init__(self, net, win, work):
        self.net, self.work = net, work
        self.display = Display(netns=net.client)
        self.wine = Wine(self.display, prefix=work / 'wineprefix-tcp', netns=net.client)
        self.driver = Driver(self.wine, win / 'tools' / 'uidriver.exe')

    def close(self):
        self.driver.close()
        self.wine.close()
        self.display.close()

    def nginx(self, root, port=TCP_SERVER_PORT, sndbuf='64k', **extra):
        """nginx in the server's namespace, with a real server's 64 KiB send buffer by default."""
        return Nginx(root, port, host=SERVER_ADDRESS, netns=self.net.server, sndbuf=sndbuf, **extra)

    def curl(self, line, *arguments):
        """Seconds a curl command took through a line of (rtt, mbit, buffer) and `settings`
        (None if it failed or ran out of time), and the most connections it had open."""
        rtt, mbit, buffer_ms, settings = line
        with self.net.line(rtt, mbit, buffer_ms=buffer_ms, **settings) as running:
            start = time.monotonic()
            done = subprocess.run([*self.net.client_command(), 'curl', '-s', '--fail', '--max-time',
                                   str(TCP_RUN_SECONDS), *arguments], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
            took = time.monotonic() - start
        return (None if done.returncode else took), running.most

    def download(self, line, exe):
        """A download through the line from the Download click: ('finished', seconds to Install,
        seconds of transfer), ('message: <text>', seconds, None) or ('still running', ...); and
        the most connections the program had open."""
        rtt, mbit, buffer_ms, settings = line
        with self.net.line(rtt, mbit, buffer_ms=buffer_ms, **settings) as running:
            outcome = download_outcome(self.wine, self.driver, exe, self.work, TCP_RUN_SECONDS)
        return outcome, running.most

    def start_up(self, line, exe):
        """A first start through the line: ('ready', seconds to the ready dialog) or the message."""
        rtt, mbit, buffer_ms, settings = line
        with self.net.line(rtt, mbit, buffer_ms=buffer_ms, **settings):
            return start_up_outcome(self.wine, self.driver, exe, self.work, TCP_RUN_SECONDS)


def end_program(driver, app):
    """Dismisses what message boxes are left, closes the dialog, and ends the program."""
    try:
        while driver.message(500) is not None:
            pass
        driver.ask('click', MAIN_CAPTION, IDOK)
        app.wait(timeout=30)
    except (subprocess.TimeoutExpired, RuntimeError):
        pass
    if app.poll() is None:
        kill_process_group(app)
        app.wait()


def download_outcome(wine, driver, exe, work, seconds):
    """The program from its Download click until Install is enabled, a message box shows, or
    `seconds` pass: (outcome, seconds, seconds of transfer or None)."""
    home = Path(tempfile.mkdtemp(dir=work))
    shutil.copy(exe, home / 'trelkin.exe')
    app = wine.start(home / 'trelkin.exe', cwd=home)
    try:
        if not driver.wait(MAIN_CAPTION, 60000):
            return f'no dialog: {driver.message(1000)}', None, None
        start, clicked = time.monotonic(), time.time()
        driver.click(IDC_DOWNLOAD)
        for poll in itertools.count():
            took = time.monotonic() - start
            if app.poll() is not None:
                return f'the program ended (exit code {app.returncode})', took, None
            if driver.ask('enabled', MAIN_CAPTION, IDC_INSTALL) == 'OK 1':
                return 'finished', took, transfer_seconds(home, clicked)
            if took > seconds:
                return f'still running after {seconds} s', took, None
            if poll % 10 == 9:  # a message box is looked for once a second
                message = driver.message(0)
                if message is not None:
                    return f'message: {message}', time.monotonic() - start, None
            time.sleep(0.1)
    finally:
        end_program(driver, app)
        shutil.rmtree(home, ignore_errors=True)


def start_up_outcome(wine, driver, exe, work, seconds):
    """A first start from the program's start to its ready dialog, or to the message it shows:
    (outcome, seconds)."""
    home = Path(tempfile.mkdtemp(dir=work))
    shutil.copy(exe, home / 'trelkin.exe')
    start = time.monotonic()
    app = wine.start(home / 'trelkin.exe', cwd=home)
    try:
        while time.monotonic() - start < seconds:
            if driver.wait(MAIN_CAPTION, 500):
                return 'ready', time.monotonic() - start
            message = driver.message(0)
            if message is not None:
                return f'message: {message}', time.monotonic() - start
        return f'no dialog after {seconds} s', time.monotonic() - start
    finally:
        end_program(driver, app)
        shutil.rmtree(home, ignore_errors=True)


def describe(outcomes, best=True):
    """The median (and best) time of the runs that finished, and what the others came to."""
    times = sorted(took for outcome, took, _ in outcomes if outcome == 'finished')
    others = [outcome for outcome, _, _ in outcomes if outcome != 'finished']
    text = f'{statistics.median(times):.2f} s' if times else ''
    if times and best and len(times) > 1:
        text += f' (best {times[0]:.2f} s)'
    if others:
        text += f'{"; " if text else ""}{len(others)} of {len(outcomes)}: {others[0]}'
    return text, (statistics.median(times) if times else None)


def progress(rows):
    """Prints rows as they are measured: a long run that fails late keeps what it had."""
    for row in rows:
        print('| ' + ' | '.join(row) + ' |', flush=True)
    return rows


def package_label(size, part):
    unit = f'{part // MiB} MiB' if part >= MiB else f'{part // 1024} KiB'
    return f'{size / MiB:.0f} MiB in {-(-size // part)} parts of {unit}'


def line_label(rtt, mbit, loss):
    rate = f'{mbit * 1000:.0f} kbit/s' if mbit < 1 else f'{mbit:g} Mbit/s'
    return f'{rtt} ms / {rate}{", 1 % loss" if loss else ""}'


def tcp_rows(side, programs, native, site, runs, scale, rtts):
    """The program, asking ahead and one part at a time, against one GET of the whole installer
    and the parts four at a time with curl, through lines with real TCP (those of `rtts`)."""
    rows = []
    cases = [(rtt, mbit, buffer_ms, part, loss) for rtt, mbit, buffer_ms in TCP_LINES for part in (MiB, 64 * 1024)
             for loss in (0, 0.01) if rtt in rtts]
    if SATELLITE[0] in rtts:
        cases.append((*SATELLITE, MiB, 0))
    size = 16 * MiB // scale
    for rtt, mbit, buffer_ms, part, loss in cases:
        folder = publish(native, site, f'tcp{size // 1024}k{part // 1024}k', size, part)
        server = side.nginx(folder.parent.parent)
        reference = side.nginx(folder.parent.parent, TCP_REFERENCE_PORT, sndbuf=None)
        try:
            url = f'http://{SERVER_ADDRESS}:{TCP_SERVER_PORT}'
            four = ['--parallel', '--parallel-max', '4']
            four_autotuned = list(four)
            for obj in part_objects(folder):
                four += [url + obj, '-o', str(side.work / 'four.bin')]
                four_autotuned += [f'http://{SERVER_ADDRESS}:{TCP_REFERENCE_PORT}' + obj, '-o', str(side.work / 'four.bin')]
            results = {name: [] for name in ('get', 'autotuned', 'four', 'four' + KERNEL_BUFFER, *programs)}
            most = {name: 0 for name in results}
            for run in range(runs):
                line = (rtt, mbit, buffer_ms, {'loss': loss, 'seed': run + 1})
                for name, arguments in (('get', [f'{url}/whole.bin']),
                                        ('autotuned', [f'http://{SERVER_ADDRESS}:{TCP_REFERENCE_PORT}/whole.bin']),
                                        ('four', four), ('four' + KERNEL_BUFFER, four_autotuned)):
                    took, connections = side.curl(line, '-o', str(side.work / 'whole.bin'), *arguments)
                    results[name].append(('finished', took, None) if took is not None else ('failed', None, None))
                    most[name] = max(most[name], connections)
                for name, exe in programs.items():
                    outcome, connections = side.download(line, exe)
                    results[name].append(outcome)
                    most[name] = max(most[name], connections)
            # With 1 MiB parts the programs also meet the server whose buffers the kernel sizes
            # itself, against that server's one GET: like with like.
            if part == MiB:
                server.close()
                server = side.nginx(folder.parent.parent, sndbuf=None)
                for run in range(runs):
                    line = (rtt, mbit, buffer_ms, {'loss': loss, 'seed': run + 1})
                    for name, exe in programs.items():
                        outcome, connections = side.download(line, exe)
                        results.setdefault(name + KERNEL_BUFFER, []).append(outcome)
                        most[name + KERNEL_BUFFER] = max(most.get(name + KERNEL_BUFFER, 0), connections)
        finally:
            server.close()
            reference.close()
        get_text, get = describe(results['get'], best=False)
        _, autotuned = describe(results['autotuned'], best=False)
        capacity = size * 8 / (mbit * 1e6)
        labels = {'autotuned': 'curl, one GET' + KERNEL_BUFFER, 'four': 'curl, the parts four at a time',
                  'four' + KERNEL_BUFFER: 'curl, the parts four at a time' + KERNEL_BUFFER}
        case = []
        for name in ('autotuned', 'four', *programs, 'four' + KERNEL_BUFFER, *(name + KERNEL_BUFFER for name in programs)):
            if name not in results:
                continue
            text, took = describe(results[name])
            transfers = [transfer for outcome, _, transfer in results[name] if transfer is not None]
            if transfers:
                text += f'; transfer {statistics.median(transfers):.2f} s'
            # A program against the server with the kernel's buffers is weighed against that
            # server's one GET.
            like_with_like = name.endswith(KERNEL_BUFFER)
            reference_get = autotuned if like_with_like else get
            ratio = f'**{reference_get / took:.2f}**' if reference_get and took else ''
            if like_with_like and ratio:
                ratio += ' of that GET'
            case.append((line_label(rtt, mbit, loss), package_label(size, part), labels.get(name, name), get_text,
                         text, ratio, f'{capacity / took:.2f}' if took else '', str(most[name])))
        rows += progress(case)
    return rows


def slow_start_up_rows(side, programs, native, site, runs):
    """A first start of the largest package (65,534 parts) on a 128 kbit/s line: the index alone
    is over a megabyte."""
    folder = publish(native, site, 'tiny65534', 16 * 65534, 16)
    server = side.nginx(folder.parent.parent)
    rtt, mbit, buffer_ms = SLOW_LINE
    try:
        gets, starts = [], []
        for run in range(runs):
            line = (rtt, mbit, buffer_ms, {'seed': run + 1})
            took, _ = side.curl(line, '-o', str(side.work / 'index.txt'),
                                f'http://{SERVER_ADDRESS}:{TCP_SERVER_PORT}/download/brisko/pkgindex.txt')
            gets.append(('finished', took, None) if took is not None else ('failed', None, None))
            outcome, took = side.start_up(line, programs['asking ahead'])
            starts.append(('finished' if outcome == 'ready' else outcome, took, None))
    finally:
        server.close()
    get_text, get = describe(gets, best=False)
    text, took = describe(starts)
    index_kib = (folder / 'pkgindex.txt').stat().st_size / 1024
    return progress([(line_label(rtt, mbit, 0), f'first start, 65,534 parts (index {index_kib:,.0f} KiB)',
                      'start-up to a ready dialog', f'{get_text} (the index alone)', text,
                      f'**{get / took:.2f}**' if get and took else '', '', '')])


def servers_rows(side, programs, native, site, scale):
    """Servers as they are: a per-client connection limit, a short send timeout, a firewall that
    lets no more than three connections through. Each build once, time and outcome."""
    rows = []
    limit = ('limit_conn_zone $binary_remote_addr zone=perclient:1m;', 'limit_conn perclient 2; limit_conn_status 503;')
    cases = [
        ('nginx, two connections per client (503 beyond)', (50, 100, 50, {}), 16, MiB,
         {'http_extra': limit[0], 'server_extra': limit[1]}),
        ('nginx, send_timeout 2 s', (40, 8, 40, {}), 24, 4 * MiB, {'server_extra': 'send_timeout 2s;'}),
        ('a firewall: no answer to a fourth connection', (50, 100, 50, {'max_flows': 3}), 16, MiB, {}),
    ]
    for server_label, line, mib, part, extra in cases:
        size, part = mib * MiB // scale, part // scale
        folder = publish(native, site, f'tcp{size // 1024}k{part // 1024}k', size, part)
        server = side.nginx(folder.parent.parent, **extra)
        try:
            for name, exe in programs.items():
                (outcome, took, transfer), most = side.download(line, exe)
                rows += progress([(server_label, line_label(*line[:2], 0), package_label(size, part), name, outcome,
                                   f'{took:.1f} s' if took else '', str(most))])
        finally:
            server.close()
    return rows


def tcp_sections(wanted, win, native, site, work, runs, scale, rtts):
    """The `tcp` and `servers` sections, in namespaces of their own, everything removed after."""
    programs = {'asking ahead': win / 'bench' / 'trelkin_tcp_asking_ahead.exe',
                'one part at a time': win / 'bench' / 'trelkin_tcp_one_at_a_time.exe'}
    tcp, servers = [], []
    load = os.getloadavg()[0]
    with Namespaces(native / 'bench' / 'tcp_line') as net:
        side = ClientSide(net, win, work)
        try:
            if 'tcp' in wanted:
                tcp += tcp_rows(side, programs, native, site, runs, scale, rtts)
                if SLOW_LINE[0] in rtts:
                    tcp += slow_start_up_rows(side, programs, native, site, runs)
            if 'servers' in wanted:
                servers += servers_rows(side, programs, native, site, scale)
        finally:
            side.close()
    # Other work on the machine shows in the load; the bench's own clients add about one.
    return tcp, servers, f'; load average {load:.2f} at the start, {os.getloadavg()[0]:.2f} at the end'


def markdown_table(header, rows, args, more=''):
    """Prints the rows as a Markdown table with a line saying where and how they were measured
    (and `more`); returns the two."""
    lines = ['| ' + ' | '.join(header) + ' |', '|' + '---|' * len(header)]
    lines += ['| ' + ' | '.join(row) + ' |' for row in rows]
    table = '\n'.join(lines)
    print(table)
    machine = f'{platform.node()}: {os.cpu_count()} cores, {platform.machine()}, Linux {platform.release()}'
    note = (f'\nMeasured {time.strftime("%Y-%m-%d")} on {machine}; median of {args.runs} runs'
            f'{" (quick: packages 1/16 of the size)" if args.quick else ""}{more}.\n')
    print(note)
    return table, note


def print_line_table(rows, args):
    header = ('line', 'package', 'client', 'one GET of the whole installer (curl)', 'client: to Install; transfer',
              'ratio to one GET', 'ratio to the line\'s capacity', 'connections at once')
    table, note = markdown_table(header, rows, args)
    if args.only in (None, 'line'):
        write_between_markers('line results', table, note, args)
    elif args.only == 'https':
        write_between_markers('https results', table, note, args)


SECTIONS = ('download', 'busy', 'join', 'memory', 'resume', 'startup', 'signed', 'line', 'mobile', 'https')
# Through the line with real TCP, in network namespaces: as root, and only when asked for.
TCP_SECTIONS = ('tcp', 'servers')


def main():
    global PORT
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--runs', type=int, default=3)
    parser.add_argument('--quick', action='store_true', help='small packages, for trying the script out')
    parser.add_argument('--only', help='comma-separated rows, of ' + ', '.join(SECTIONS + TCP_SECTIONS) +
                        ' (not written to docs/, but for line, tcp and servers)')
    parser.add_argument('--port', type=int, default=PORT, help='a loopback port of this bench\'s own (and the next)')
    every_rtt = [rtt for rtt, _, _ in TCP_LINES] + [SATELLITE[0], SLOW_LINE[0]]
    parser.add_argument('--rtts', type=lambda text: [int(rtt) for rtt in text.split(',')], default=every_rtt,
                        help='the tcp section\'s lines, by round trip in ms (all: ' +
                        ','.join(map(str, every_rtt)) + '; 600 is the satellite, 300 the slow line\'s start-up)')
    args = parser.parse_args()
    only = args.only.split(',') if args.only else [section for section in SECTIONS if section not in ('mobile', 'https')]
    if set(only) - set(SECTIONS + TCP_SECTIONS):
        parser.error('--only takes ' + ', '.join(SECTIONS + TCP_SECTIONS))
    tcp_wanted = [section for section in only if section in TCP_SECTIONS]
    if tcp_wanted and os.geteuid() != 0:
        parser.error('the tcp and servers sections make network namespaces: run them as root')
    PORT = args.port
    scale = 16 if args.quick else 1
    win, native, key = build(sequential='line' in only, tcp=bool(tcp_wanted), https='https' in only)
    work = Path(tempfile.mkdtemp(prefix='brisko-bench-'))
    site = work / 'site'
    rows, line, tcp, servers, load, only_lines = [], [], [], [], '', ''
    try:
        if set(only) - set(TCP_SECTIONS):
            rows, line = loopback_sections(only, win, native, key, site, work, args.runs, scale)
        if tcp_wanted:
            tcp, servers, load = tcp_sections(tcp_wanted, win, native, site, work, args.runs, scale, args.rtts)
            every_rtt = [rtt for rtt, _, _ in (*TCP_LINES, SATELLITE, SLOW_LINE)]
            if sorted(args.rtts) != sorted(every_rtt):
                only_lines = '; only the lines of ' + ', '.join(map(str, args.rtts)) + ' ms round trip'
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if rows:
        print_table(rows, args)
    if line:
        print_line_table(line, args)
    if tcp:
        header = ('line', 'package', 'client', 'one GET of the whole installer (curl)', 'client: to Install; transfer',
                  'ratio to one GET', 'ratio to the line\'s capacity', 'connections at once')
        write_between_markers('tcp results', *markdown_table(header, tcp, args, load + only_lines), args)
    if servers:
        header = ('server', 'line', 'package', 'build', 'outcome', 'time', 'connections at once')
        write_between_markers('servers results', *markdown_table(header, servers, args, load.replace(
            '; load', '; each build once; load')), args)


def loopback_sections(only, win, native, key, site, work, runs, scale):
    """The sections on loopback, with one Wine session for them all."""
    rows, line = [], []
    display = Display()
    wine = Wine(display, prefix=work / 'wineprefix')
    driver = Driver(wine, win / 'tools' / 'uidriver.exe')
    try:
        for section in only:
            if section in ('download', 'busy'):
                rows += download_rows(wine, driver, win, native, site, work, runs, scale, section == 'busy')
            elif section == 'join':
                rows += join_rows(native, site, work, runs, scale)
            elif section == 'memory':
                rows += memory_rows(wine, driver, win, native, site, work, scale)
            elif section == 'resume':
                rows += resume_rows(wine, driver, win, native, site, work, runs, scale)
            elif section == 'startup':
                rows += startup_rows(wine, driver, win, native, site, work, runs)
            elif section == 'line':
                line += line_rows(wine, driver, win, native, key, site, work, runs, scale)
            elif section == 'mobile':
                rows += mobile_rows(wine, driver, win, native, key, site, work)
            elif section == 'https':
                line += https_rows(wine, driver, win, native, site, work, runs, scale)
            elif section == 'signed':
                rows += signed_rows(wine, driver, win, native, key, site, work, runs, scale)
    finally:
        driver.close()
        wine.close()
        display.close()
    return rows, line


def write_between_markers(name, table, note, args):
    """Puts a table in docs/performance.md between <!-- name --> and <!-- end of name -->, unless
    the packages were the quick ones."""
    doc = TOP / 'docs' / 'performance.md'
    text = doc.read_text()
    begin, end = f'<!-- {name} -->', f'<!-- end of {name} -->'
    if not args.quick and begin in text and end in text:
        doc.write_text(text.split(begin)[0] + begin + '\n' + table + '\n' + note + end + text.split(end)[1])


def print_table(rows, args):
    header = ('what', 'trelkin.exe', 'bare WinInet loop', 'curl / cat', 'ratio (1.00 × = as fast)')
    table, note = markdown_table(header, rows, args)
    if not args.quick and not args.only:
        doc = TOP / 'docs' / 'performance.md'
        text = doc.read_text() if doc.exists() else ''
        marker = '<!-- results -->'
        head = text.split(marker)[0] if marker in text else text
        doc.write_text(head + marker + '\n' + table + '\n' + note)


if __name__ == '__main__':
    main()
