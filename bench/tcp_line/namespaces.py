"""The bench's line with real TCP: two network namespaces, the client's and the server's, each
with a TUN device `line0` addressed to the other, joined by the forwarder `tcp_line` (built from
this folder) which carries every packet with the line's delay, rate, queue and loss.

    with Namespaces(forwarder) as net:            # as root; everything is removed at the end
        with net.line(rtt_ms=50, mbit=100, loss=0.01) as line:
            subprocess.run([*net.client_command(), 'curl', f'http://{SERVER_ADDRESS}/'])
        line.most                                 # the most TCP connections open at once

Nothing is added to the machine's own namespace: the addresses and routes exist only inside the
two namespaces, which are deleted on the way out, on failure too. A forwarder ends when its line
is closed, when the bench that started it ends, or after its own time limit.
"""
import os
import subprocess
import threading

CLIENT_ADDRESS, SERVER_ADDRESS = '10.201.0.1', '10.201.0.2'
DEVICE = 'line0'


def ip(*words):
    done = subprocess.run(['ip', *words], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode:
        raise RuntimeError(f'ip {" ".join(words)}: {done.stderr.strip()}')


class Line:
    """One run of the forwarder between the namespaces: its counters are read as it prints them."""

    def __init__(self, namespaces, rtt_ms, mbit, buffer_ms=None, loss=0.0, seed=1, max_flows=0, max_seconds=900):
        command = [str(namespaces.forwarder), '--client', namespaces.client, '--server', namespaces.server,
                   '--device', DEVICE, '--rtt-ms', str(rtt_ms), '--mbit', str(mbit), '--loss', str(loss),
                   '--seed', str(seed), '--max-flows', str(max_flows), '--max-seconds', str(max_seconds)]
        if buffer_ms is not None:
            command += ['--buffer-ms', str(buffer_ms)]
        # Its standard input is ours: when the bench ends, the forwarder reads the end and stops.
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        if self.process.stdout.readline().strip() != 'ready':
            self.process.wait(timeout=10)
            raise RuntimeError(f'the forwarder did not start: {self.process.stderr.read().strip()}')
        self.most = self.refused = self.total = 0
        self.counters = {}
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        for text in self.process.stdout:
            words = text.split()
            fields = dict(word.split('=', 1) for word in words[1:] if '=' in word)
            if words and words[0] == 'flows':
                self.most, self.total, self.refused = int(fields['most']), int(fields['total']), int(fields['refused'])
            elif words:
                self.counters[words[0]] = {name: int(value) for name, value in fields.items()}

    def close(self):
        """Ends the forwarder (by closing its input) and returns the most connections open at once."""
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.reader.join()
        self.process.stdout.close()
        self.process.stderr.close()
        return self.most

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Namespaces:
    """The two namespaces with their devices and addresses; a context manager."""

    def __init__(self, forwarder, congestion='cubic', tag=None):
        """`congestion`: both kernels' congestion control between these namespaces (cubic is
        Linux's default and most servers'; the machine's own may be another)."""
        tag = tag or str(os.getpid())
        self.forwarder, self.congestion = forwarder, congestion
        self.client, self.server = f'brisko-cli-{tag}', f'brisko-srv-{tag}'
        self.made = []

    def __enter__(self):
        try:
            for name, mine, peer in ((self.client, CLIENT_ADDRESS, SERVER_ADDRESS),
                                     (self.server, SERVER_ADDRESS, CLIENT_ADDRESS)):
                ip('netns', 'add', name)
                self.made.append(name)
                ip('-n', name, 'link', 'set', 'lo', 'up')
                # A device that outlives each forwarder: every line of the bench reuses the addresses.
                ip('-n', name, 'tuntap', 'add', 'dev', DEVICE, 'mode', 'tun')
                ip('-n', name, 'addr', 'add', mine, 'peer', f'{peer}/32', 'dev', DEVICE)
                ip('-n', name, 'link', 'set', DEVICE, 'up')
                # The route to the other end names the congestion control: a namespace may only take
                # as its default one that the machine's own allows.
                ip('-n', name, 'route', 'replace', f'{peer}/32', 'dev', DEVICE, 'src', mine, 'congctl', self.congestion)
                # Each connection starts afresh: no window or round trip remembered from the run before.
                subprocess.run(['ip', 'netns', 'exec', name, 'sysctl', '-q', '-w', 'net.ipv4.tcp_no_metrics_save=1'],
                               check=True)
        except BaseException:
            self.__exit__()
            raise
        return self

    def client_command(self):
        """The prefix that runs a command in the client's namespace."""
        return ['ip', 'netns', 'exec', self.client]

    def server_command(self):
        return ['ip', 'netns', 'exec', self.server]

    def line(self, rtt_ms, mbit, **settings):
        return Line(self, rtt_ms, mbit, **settings)

    def __exit__(self, *exc):
        # Deleting a namespace removes its devices, addresses and routes with it.
        while self.made:
            subprocess.run(['ip', 'netns', 'delete', self.made.pop()], check=False, stderr=subprocess.DEVNULL)
