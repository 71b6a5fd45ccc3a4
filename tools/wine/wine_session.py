"""The pieces the end-to-end tests, the reliability campaign, the benchmarks and the demo share: a display (the user's, or Xvfb), a Wine
prefix, the UI driver, nginx and the fault-injecting server on loopback, and the package layout
the program fetches. The display, Wine and nginx also run inside a network namespace when given
one (the bench's line with real TCP puts the client's side in one and the server in another)."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TOOLS = Path(__file__).resolve().parent.parent
MAIN_CAPTION = 'Corvane Software Brisko Download'
STARTUP_CAPTION = 'Starting Brisko Download'
MESSAGE_CAPTION = 'trelkin'


def add_build_arguments(parser):
    """The arguments that name the Windows test build's programs and the port it was built for."""
    parser.add_argument('--trelkin', required=True, help="the build's trelkin.exe")
    parser.add_argument('--driver', required=True, help='the UI driver, uidriver.exe')
    parser.add_argument('--installer', required=True, help='the demo installer to publish')
    parser.add_argument('--port', type=int, required=True, help='the loopback port trelkin.exe was built for')


def windows_build_arch(shims):
    """'i686' where Wine runs 32-bit programs; elsewhere (a kernel without 32-bit support) 'x86_64',
    with `shims` put first on PATH so that "wine" means Wine's 64-bit loader. The shell commands ask
    for it too (scripts/windows_env.sh): `wine_session.py windows-arch SHIMS` prints the answer."""
    # Debian's 32-bit loader itself, not whatever "wine" is on PATH (perhaps these very shims).
    loader = '/usr/lib/wine/wine' if Path('/usr/lib/wine/wine').exists() else 'wine'
    try:
        runs_32_bit = subprocess.run([loader, '--version'], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL).returncode == 0
    except OSError:  # "Exec format error": the kernel runs no 32-bit programs
        runs_32_bit = False
    if runs_32_bit or not Path('/usr/lib/wine/wine64').exists():
        return 'i686'
    shims = Path(shims)
    shims.mkdir(parents=True, exist_ok=True)
    for name in ('wine', 'wine-stable'):
        (shims / name).write_text('#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n')
        (shims / name).chmod(0o755)
    os.environ['PATH'] = f'{shims}:{os.environ["PATH"]}'
    os.environ['WINEARCH'] = 'win64'
    return 'x86_64'


def wine_environment(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=str(prefix), WINEDEBUG='-all', WINEDLLOVERRIDES='mscoree,mshtml=')
    return env


def in_netns(netns):
    """The command prefix that runs a program inside the network namespace `netns` (none: here)."""
    return ['ip', 'netns', 'exec', netns] if netns else []


class Display:
    """Xvfb on a free display number unless `use_existing` and DISPLAY is set; inside `netns` if
    given (its socket is a file, which every namespace sees)."""

    def __init__(self, use_existing=False, netns=None):
        self.process = None
        if use_existing and os.environ.get('DISPLAY'):
            self.name = os.environ['DISPLAY']
            return
        for number in range(90, 200):
            if not Path(f'/tmp/.X11-unix/X{number}').exists() and not Path(f'/tmp/.X{number}-lock').exists():
                break
        self.name = f':{number}'
        self.process = subprocess.Popen([*in_netns(netns), 'Xvfb', self.name, '-screen', '0', '1024x768x24',
                                         '-nolisten', 'tcp'], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if Path(f'/tmp/.X11-unix/X{number}').exists():
                return
            time.sleep(0.1)
        raise RuntimeError('Xvfb did not start')

    def screenshot(self, path):
        subprocess.run(['import', '-display', self.name, '-window', 'root', str(path)], check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def close(self):
        if self.process:
            self.process.terminate()
            self.process.wait()


class Wine:
    """A Wine prefix and its persistent wineserver. With `netns`, every Wine process of this
    session runs in that network namespace: the wineserver makes the programs' sockets."""

    def __init__(self, display, prefix=None, netns=None):
        # A prefix of its own: one whose desktop was started without this display would not do.
        self.prefix = Path(prefix or tempfile.mkdtemp(prefix='brisko-wine-')).resolve()
        self.env = wine_environment(self.prefix)
        self.env['DISPLAY'] = display.name
        self.netns = netns
        subprocess.run(self.command('wineboot', '-i'), env=self.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        # Under Xvfb there is no window manager to draw frames; Wine's own desktop window does.
        # On a user's display the program gets ordinary windows.
        explorer = 'HKCU\\Software\\Wine\\Explorer'
        if display.process is not None:
            self.reg('add', explorer, '/v', 'Desktop', '/d', 'Default', '/f')
            self.reg('add', explorer + '\\Desktops', '/v', 'Default', '/d', '1024x768', '/f')
        else:
            self.reg('delete', explorer, '/v', 'Desktop', '/f')
        # A persistent wineserver keeps later starts quick.
        self.server = subprocess.Popen(self.command('wineserver', '-p', '-f'), env=self.env, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)

    def command(self, *words):
        """A command line that runs in this session's namespace."""
        return [*in_netns(self.netns), *(str(word) for word in words)]

    def reg(self, *words):
        subprocess.run(self.command('wine', 'reg', *words), env=self.env, check=False, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def start(self, exe, cwd=None, env=None):
        return subprocess.Popen(self.command('wine', exe), env={**self.env, **(env or {})}, cwd=cwd, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)

    def close(self):
        subprocess.run(self.command('wineserver', '-k'), env=self.env, check=False)
        try:
            self.server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.server.kill()


class Driver:
    """The Win32 UI driver, one command a line (see tools/uidriver/uidriver.cpp)."""

    def __init__(self, wine, exe):
        self.process = subprocess.Popen(wine.command('wine', exe), env=wine.env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, bufsize=1)

    def ask(self, *fields):
        self.process.stdin.write('|'.join(str(f) for f in fields) + '\n')
        self.process.stdin.flush()
        answer = self.process.stdout.readline().rstrip('\r\n')
        if not answer:
            raise RuntimeError('the UI driver ended')
        return answer

    def value(self, *fields):
        answer = self.ask(*fields)
        if not answer.startswith('OK'):
            raise AssertionError(f'{fields}: {answer}')
        return answer[3:]

    def wait(self, caption, ms=30000):
        return self.ask('wait', caption, ms).startswith('OK')

    def message(self, ms=20000):
        """The text of the next message box, after which it is dismissed; None when none came."""
        answer = self.ask('message', MESSAGE_CAPTION, ms)
        if not answer.startswith('OK'):
            return None
        self.ask('dismiss', MESSAGE_CAPTION)
        self.ask('gone', MESSAGE_CAPTION, 5000)
        return answer[3:]

    def text(self, control):
        return self.value('text', MAIN_CAPTION, control)

    def enabled(self, control):
        return self.value('enabled', MAIN_CAPTION, control) == '1'

    def visible(self, control):
        return self.value('visible', MAIN_CAPTION, control) == '1'

    def progress(self, control):
        return tuple(int(n) for n in self.value('progress', MAIN_CAPTION, control).split())

    def click(self, control):
        self.value('click', MAIN_CAPTION, control)

    def close(self):
        try:
            self.process.stdin.write('quit\n')
            self.process.stdin.flush()
            self.process.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()


class Nginx:
    """nginx serving `root` on loopback; the program's objects live under root/download/brisko/."""

    def __init__(self, root, port, rate=None, host='127.0.0.1', netns=None, sndbuf=None, http_extra='',
                 server_extra='', tls=None):
        """`rate`: an nginx limit_rate per connection (the demo slows down to show each stage).
        `host` and `netns`: where it listens, on loopback by default; `sndbuf`: each connection's
        send buffer (e.g. '64k', a real server's, where loopback's would hold megabytes); the
        extras: directives for its http and server blocks; `tls`: (certificate, key) files, to
        serve HTTPS only, each request logged with its connection's number (connections())."""
        self.dir = Path(tempfile.mkdtemp(prefix='brisko-nginx-'))
        self.log = self.dir / 'access.log'
        if tls:
            http_extra += "\n    log_format tls '$connection $ssl_protocol \"$request\" $status';"
            server_extra += (f'\n        access_log {self.log} tls;\n        ssl_certificate {tls[0]};'
                             f'\n        ssl_certificate_key {tls[1]};')
        (self.dir / 'nginx.conf').write_text(f"""
daemon off;
master_process off;
worker_processes 1;
pid {self.dir}/nginx.pid;
error_log {self.dir}/error.log;
events {{ worker_connections 64; }}
http {{
    access_log {self.log};
    client_body_temp_path {self.dir}; proxy_temp_path {self.dir}; fastcgi_temp_path {self.dir};
    uwsgi_temp_path {self.dir}; scgi_temp_path {self.dir};
    types {{ }}
    default_type application/octet-stream;
    {http_extra}
    server {{
        listen {host}:{port}{' ssl' if tls else ''}{f' sndbuf={sndbuf}' if sndbuf else ''};
        root {root};
        {f'limit_rate {rate};' if rate else ''}
        {server_extra}
    }}
}}
""")
        ensure_port_free(port, host, netns)
        self.process = subprocess.Popen([*in_netns(netns), 'nginx', '-c', str(self.dir / 'nginx.conf'), '-p',
                                         str(self.dir)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wait_for_port(port, self.process, host=host, netns=netns)

    def requests(self):
        if not self.log.exists():
            return []
        return [line.split('"')[1].split()[1] for line in self.log.read_text().splitlines() if '"' in line]

    def connections(self):
        """Over TLS: how many connections the requests came on, and the TLS versions they used."""
        lines = [line.split() for line in self.log.read_text().splitlines()] if self.log.exists() else []
        return len({line[0] for line in lines}), sorted({line[1] for line in lines})

    def close(self):
        self.process.terminate()
        self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class FaultServer:
    def __init__(self, root, port, rules=None, extra=()):
        self.dir = Path(tempfile.mkdtemp(prefix='brisko-faults-'))
        self.rules = self.dir / 'rules.json'
        self.log = self.dir / 'requests.log'
        self.set_rules(rules or {})
        ensure_port_free(port)
        self.process = subprocess.Popen([sys.executable, str(TOOLS / 'testserver' / 'fault_server.py'), '--port', str(port),
                                         '--root', str(Path(root) / 'download' / 'brisko'),
                                         '--rules', str(self.rules), '--log', str(self.log), *extra],
                                        stdout=subprocess.DEVNULL)
        wait_for_port(port, self.process)

    def set_rules(self, rules):
        import json
        self.rules.write_text(json.dumps(rules))

    def requests(self):
        if not self.log.exists():
            return []
        return [line.split()[1] for line in self.log.read_text().splitlines()]

    def actions(self):
        """The action the server took for each request, in order."""
        if not self.log.exists():
            return []
        return [line.split()[2] for line in self.log.read_text().splitlines()]

    def close(self):
        self.process.terminate()
        self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def socket_in(netns=None):
    """A TCP socket of the network namespace `netns` (a name under /run/netns; none: this
    process's own). A socket stays in the namespace it was made in; only this thread enters it,
    for the moment of making it."""
    import ctypes
    import socket
    if not netns:
        return socket.socket()
    clone_newnet = 0x40000000
    libc = ctypes.CDLL(None, use_errno=True)
    home = os.open('/proc/thread-self/ns/net', os.O_RDONLY)
    target = os.open(f'/run/netns/{netns}', os.O_RDONLY)
    try:
        if libc.setns(target, clone_newnet) != 0:
            raise OSError(ctypes.get_errno(), f'cannot enter the network namespace {netns}')
        try:
            return socket.socket()
        finally:
            if libc.setns(home, clone_newnet) != 0:
                raise OSError(ctypes.get_errno(), 'cannot come back from the network namespace')
    finally:
        os.close(target)
        os.close(home)


def ensure_port_free(port, host='127.0.0.1', netns=None):
    with socket_in(netns) as probe:
        if probe.connect_ex((host, port)) == 0:
            raise RuntimeError(f'something already listens on {host}:{port}; end it first')


def wait_for_port(port, process, seconds=10, host='127.0.0.1', netns=None):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f'server on port {port} ended at start')
        with socket_in(netns) as probe:
            if probe.connect_ex((host, port)) == 0:
                return
        time.sleep(0.05)
    raise RuntimeError(f'nothing listens on port {port}')


def cut_package(installer, version, part_size, out):
    """What the vendor publishes: the installer cut into parts and a format-1 index."""
    data = Path(installer).read_bytes()
    folder = Path(out) / 'download' / 'brisko'
    folder.mkdir(parents=True, exist_ok=True)
    names = []
    for number, at in enumerate(range(0, len(data), part_size), start=1):
        name = f'corvane.part{number:03d}'
        (folder / name).write_bytes(data[at:at + part_size])
        names.append(name)
    lines = ['1', version, str(len(names)), str(part_size)]
    for name in names:
        lines += [name, '0']
    (folder / 'pkgindex.txt').write_text('\n'.join(lines) + '\n')
    return names


def kill_process_group(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


if __name__ == '__main__':
    if len(sys.argv) == 3 and sys.argv[1] == 'windows-arch':
        print(windows_build_arch(sys.argv[2]))
    else:
        sys.exit('usage: wine_session.py windows-arch SHIMS-FOLDER')
