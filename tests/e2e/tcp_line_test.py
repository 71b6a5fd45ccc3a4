#!/usr/bin/env python3
"""The bench's line with real TCP (bench/tcp_line): two network namespaces joined by the
forwarder carry a connection intact through loss, a firewall's limit leaves the next connection
unanswered, and nothing of it outlives the bench. Needs root; exits 77 (skipped) without it.

    tcp_line_test.py --forwarder build/.../bench/tcp_line
"""
import argparse
import hashlib
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
import unittest
from pathlib import Path

TOP = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(TOP / 'bench'))
sys.path.insert(0, str(TOP / 'tools' / 'wine'))
from tcp_line.namespaces import SERVER_ADDRESS, Namespaces  # noqa: E402
from wine_session import socket_in  # noqa: E402

FORWARDER = None
PORT = 5001


def machine_state():
    """What the machine's own namespace holds: links, addresses, routes, named namespaces."""
    words = (['-o', 'link'], ['-o', 'addr'], ['route'], ['-6', 'route'], ['netns', 'list'])
    return [subprocess.run(['ip', *w], capture_output=True, text=True, check=True).stdout for w in words]


def gone(pid, seconds=10):
    """True once the process `pid` has ended (waiting `seconds` at most)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            state = Path(f'/proc/{pid}/stat').read_text().split(')')[-1].split()[0]
        except OSError:
            return True
        if state == 'Z':
            return True
        time.sleep(0.05)
    return False


class Sink:
    """A server in the server's namespace that hashes what each connection sends it."""

    def __init__(self, net):
        self.listener = socket_in(net.server)
        self.listener.bind((SERVER_ADDRESS, PORT))
        self.listener.listen(8)
        self.digests = []
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            digest = hashlib.sha256()
            with connection:
                while data := connection.recv(65536):
                    digest.update(data)
            self.digests.append(digest.hexdigest())

    def close(self):
        self.listener.close()


def connect(net, seconds):
    client = socket_in(net.client)
    client.settimeout(seconds)
    client.connect((SERVER_ADDRESS, PORT))
    return client


class TcpLineTest(unittest.TestCase):
    def test_a_connection_crosses_a_lossy_line_intact_and_nothing_is_left_behind(self):
        before = machine_state()
        with Namespaces(FORWARDER) as net:
            names = (net.client, net.server)
            self.assertIn(net.client, subprocess.run(['ip', 'netns', 'list'], capture_output=True, text=True).stdout)
            sink = Sink(net)
            with net.line(20, 50, loss=0.02, seed=3) as line:
                data = os.urandom(2 * 1024 * 1024)
                with connect(net, 60) as client:
                    client.sendall(data)
                    client.shutdown(socket.SHUT_WR)
                    client.recv(1)  # the server's end: all was read
                forwarder = line.process
            sink.close()
            self.assertEqual([hashlib.sha256(data).hexdigest()], sink.digests)
            self.assertGreater(line.counters['to-server']['lost'], 0, 'the line lost nothing: TCP recovered nothing')
            self.assertEqual(1, line.total)
            self.assertEqual(1, line.most)
            self.assertIsNotNone(forwarder.poll(), 'the forwarder outlived its line')
        self.assertEqual(before, machine_state(), 'the machine\'s own namespace changed')
        for name in names:
            self.assertFalse(Path(f'/run/netns/{name}').exists())

    def test_a_firewall_limit_leaves_the_next_connection_unanswered_until_one_closes(self):
        with Namespaces(FORWARDER) as net, net.line(10, 100, max_flows=2) as line:
            sink = Sink(net)
            first, second = connect(net, 10), connect(net, 10)
            # No answer at all: neither accepted nor refused, the client waits until it gives up.
            with self.assertRaises(socket.timeout):
                connect(net, 2)
            first.close()  # its FIN, and the server's once it has read the end
            third = connect(net, 30)
            for client in (second, third):
                client.close()
            sink.close()
        self.assertGreaterEqual(line.refused, 1)
        self.assertEqual(2, line.most)
        self.assertEqual(3, line.total)

    def test_the_forwarder_ends_with_the_bench_or_its_time_limit(self):
        with Namespaces(FORWARDER) as net:
            with net.line(10, 10, max_seconds=1) as line:
                self.assertTrue(gone(line.process.pid), 'the forwarder ran past --max-seconds')
            # A bench killed outright: its forwarder is told by the kernel and ends.
            bench = subprocess.Popen([sys.executable, '-c', f'''
import sys, time
sys.path.insert(0, {str(TOP / 'bench')!r})
from tcp_line.namespaces import Line, Namespaces
net = Namespaces({str(FORWARDER)!r}, tag={net.client.split('-')[-1]!r})
net.client, net.server = {net.client!r}, {net.server!r}
line = Line(net, 10, 10)
print(line.process.pid, flush=True)
time.sleep(60)
'''], stdout=subprocess.PIPE, text=True)
            forwarder = int(bench.stdout.readline())
            self.assertFalse(gone(forwarder, 0.5), 'the forwarder did not run')
            bench.kill()
            bench.wait()
            bench.stdout.close()
            self.assertTrue(gone(forwarder), 'the forwarder outlived the bench that started it')

    def test_a_failed_setup_or_a_failure_inside_removes_what_was_made(self):
        tag = f'{os.getpid()}-clash'
        taken = f'brisko-srv-{tag}'
        subprocess.run(['ip', 'netns', 'add', taken], check=True)
        try:
            with self.assertRaises(RuntimeError):
                with Namespaces(FORWARDER, tag=tag):
                    pass
            self.assertFalse(Path(f'/run/netns/brisko-cli-{tag}').exists(), 'the client\'s namespace was left')
            self.assertTrue(Path(f'/run/netns/{taken}').exists(), 'a namespace not ours was removed')
        finally:
            subprocess.run(['ip', 'netns', 'delete', taken], check=False)
        with self.assertRaises(ZeroDivisionError):
            with Namespaces(FORWARDER) as net:
                names = (net.client, net.server)
                1 / 0
        for name in names:
            self.assertFalse(Path(f'/run/netns/{name}').exists())


def main():
    global FORWARDER
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--forwarder', required=True, help='the built tcp_line')
    args, rest = parser.parse_known_args()
    FORWARDER = Path(args.forwarder).resolve()
    if os.geteuid() != 0 or not shutil.which('ip') or not Path('/dev/net/tun').exists():
        print('skipped: network namespaces and TUN devices need root, ip and /dev/net/tun')
        return 77
    program = unittest.main(argv=[sys.argv[0], *rest], exit=False)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == '__main__':
    sys.exit(main())
