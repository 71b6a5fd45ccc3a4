#!/usr/bin/env python3
"""A loopback HTTP server for the tests that misbehaves on request.

Fixed objects (for the transport tests):
  /pattern/N   200 with N bytes, byte i = (i * 7 + 3) % 251
  /status/N    answers with status N (302 points at /status/404)
  /short/N     announces N bytes, sends half, closes
  /cut/N       announces N bytes, sends half, resets the connection
  /chunked-cut/N  a chunked body that stops half-way without its last chunk
  /text        "1\\n4.2\\n"
  /counter     a number that grows with every request
  /stall       headers, then silence
  /redirect-loop  a redirect to itself
  /moved/N     a redirect (absolute address) to /pattern/N
  /moved-https/N  a redirect to /pattern/N at the same host and port over https (another scheme)
  /drip        announces 100 bytes, sends one every half second
  /endless     a chunked body of no announced length, 16 MiB long
  /cookie/set  sets a cookie;  /cookie/echo  answers with the Cookie header it got, or "none"
  /auth        401 asking for Negotiate, NTLM or Basic; 200 "credentials sent" once a request carries any
  /moved-auth  a redirect to /auth on another host name (localhost)
  /via         "proxy" when asked as a proxy is (the whole address in the request line), else "direct"
Any of these may be asked as a proxy is asked, "GET http://host:port/object": the server then
stands for the proxy and the server behind it.

The package (for the end-to-end tests): /download/brisko/NAME serves ROOT/NAME. A rules file
(JSON, read on every request) can make a name misbehave: {"NAME": ["500", "cut", "ok"], ...}
takes one action per request, the last one repeating; "*" applies to every name without a rule.
Actions: ok, slow (4 KiB every 50 ms), drip (one byte every half second), trickle (100 bytes a second), crawl (1 KiB a
second), 404, 500, cut,
short, chunked-cut, stall, hang (the file's first half, then one byte every half second), late (the file after 3 s of
silence), html (200 with an HTML page),
huge-headers, redirect-loop, long (the file followed by as much again), flip (the file with its
middle byte changed, as a hostile network path would), and flaky:P, which
picks one of 500, 404, cut and short (and stall, with --flaky-stall) with probability P and ok
otherwise (--seed makes it repeatable). Every request is logged as one line "METHOD PATH ACTION" to --log.
With --per-client-limit N, a mirror's rule: a package request while N others from the same client
are being answered gets 503 (logged as the action "refused").
"""
import argparse
import http.server
import json
import os
import socket
import socketserver
import struct
import sys
import threading
import time


def pattern(size):
    return bytes((i * 7 + 3) % 251 for i in range(size))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    counter = 0
    lock = threading.Lock()
    consumed = {}

    def log_message(self, *args):
        pass

    def record(self, action):
        if self.server.log_path:
            with Handler.lock, open(self.server.log_path, 'a') as log:
                log.write(f'{self.command} {self.path} {action}\n')

    def send_body(self, body, status=200, content_type='application/octet-stream', rate=None):
        self.send_response(status)
        self.send_header('Content-Type', content_type)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        if rate is None:
            self.wfile.write(body)
            return
        for at in range(0, len(body), 4096):
            if at:
                time.sleep(rate)  # between blocks: the answer is over with its last byte
            self.wfile.write(body[at:at + 4096])
            self.wfile.flush()

    def cut(self, body, how):
        """Half the body, then the connection ends: 'fin' closes it after announcing the whole
        length, 'rst' resets it, 'chunked' stops a chunked body before its last chunk."""
        self.send_response(200)
        if how == 'chunked':
            self.send_header('Transfer-Encoding', 'chunked')
        else:
            self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        half = body[:len(body) // 2]
        self.wfile.write(b'%x\r\n' % len(half) + half + b'\r\n' if how == 'chunked' else half)
        self.wfile.flush()
        self.close_connection = True
        if how == 'rst':
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
            self.connection.close()
            return
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def status(self, code):
        self.send_response(code)
        if code in (301, 302):
            self.send_header('Location', '/status/404')
        body = b'<html><body>error</body></html>'
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def trickle(self, body, step=100):
        """The body announced whole, then `step` bytes a second: 100 is above the client's floor of
        4 KiB a minute, far below what start-up waits for; 1024 brings a block every four seconds,
        never a stall, but below start-up's floor of 2 KiB a second."""
        self.send_response(200)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        for at in range(0, len(body), step):
            self.wfile.write(body[at:at + step])
            self.wfile.flush()
            time.sleep(1)

    def drip(self, body, start=0):
        """The body announced whole, its first `start` bytes at once, then one byte every half
        second (at most 600 of them)."""
        self.send_response(200)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body[:start])
        for at in range(start, min(len(body), start + 600)):
            self.wfile.write(body[at:at + 1])
            self.wfile.flush()
            time.sleep(0.5)

    def redirect(self, location):
        """A 302 to `location` (itself, for a redirect loop)."""
        self.send_response(302)
        self.send_header('Location', location)
        self.send_header('Content-Length', '0')
        self.end_headers()

    def stall(self):
        self.send_response(200)
        self.send_header('Content-Length', '100')
        self.end_headers()
        self.wfile.flush()
        time.sleep(self.server.stall_seconds)
        self.close_connection = True

    def do_GET(self):
        self.via_proxy = self.path.startswith('http://')
        if self.via_proxy:  # asked as a proxy is: the server behind it answers the object
            self.path = '/' + self.path.split('/', 3)[3] if self.path.count('/') >= 3 else '/'
        parts = self.path.split('/')
        try:
            if self.path.startswith('/download/brisko/'):
                return self.package(self.path[len('/download/brisko/'):])
            self.record('fixed')
            if parts[1] == 'pattern':
                return self.send_body(pattern(int(parts[2])))
            if parts[1] == 'status':
                return self.status(int(parts[2]))
            if parts[1] == 'short':
                return self.cut(pattern(int(parts[2])), 'fin')
            if parts[1] == 'cut':
                return self.cut(pattern(int(parts[2])), 'rst')
            if parts[1] == 'chunked-cut':
                return self.cut(pattern(int(parts[2])), 'chunked')
            if parts[1] == 'text':
                return self.send_body(b'1\n4.2\n', content_type='text/plain')
            if parts[1] == 'counter':
                with Handler.lock:
                    Handler.counter += 1
                    value = Handler.counter
                return self.send_body(str(value).encode(), content_type='text/plain')
            if parts[1] == 'stall':
                return self.stall()
            if parts[1] == 'silent':  # not even the headers
                time.sleep(self.server.stall_seconds)
                self.close_connection = True
                return
            if parts[1] == 'drip':
                return self.drip(b'x' * 100)
            if parts[1] == 'endless':
                self.send_response(200)
                self.send_header('Transfer-Encoding', 'chunked')
                self.end_headers()
                chunk = b'%x\r\n' % 4096 + pattern(4096) + b'\r\n'
                # Not truly endless: Wine's WinInet reads the rest of an abandoned body before it
                # closes the request (Windows closes the connection), which would hold the test.
                for _ in range(4096):
                    self.wfile.write(chunk)
                return self.wfile.write(b'0\r\n\r\n')
            if self.path == '/cookie/set':
                self.send_response(200)
                self.send_header('Set-Cookie', 'brisko=tracked; Path=/; Max-Age=3600')
                self.send_header('Content-Length', '2')
                self.end_headers()
                return self.wfile.write(b'ok')
            if self.path == '/cookie/echo':
                return self.send_body((self.headers.get('Cookie') or 'none').encode(), content_type='text/plain')
            if parts[1] == 'auth':
                if self.headers.get('Authorization'):
                    return self.send_body(b'credentials sent', content_type='text/plain')
                self.send_response(401)
                for scheme in ('Negotiate', 'NTLM', 'Basic realm="brisko"'):
                    self.send_header('WWW-Authenticate', scheme)
                self.send_header('Content-Length', '0')
                self.end_headers()
                return
            if parts[1] == 'moved-auth':
                return self.redirect(f'http://localhost:{self.server.server_address[1]}/auth')
            if parts[1] == 'via':
                return self.send_body(b'proxy' if self.via_proxy else b'direct', content_type='text/plain')
            if parts[1] == 'redirect-loop':
                return self.redirect(self.path)
            if parts[1] == 'moved':
                return self.redirect(f'http://127.0.0.1:{self.server.server_address[1]}/pattern/{parts[2]}')
            if parts[1] == 'moved-https':
                return self.redirect(f'https://127.0.0.1:{self.server.server_address[1]}/pattern/{parts[2]}')
            self.status(404)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def next_action(self, name):
        rules = {}
        if self.server.rules_path and os.path.exists(self.server.rules_path):
            with open(self.server.rules_path) as handle:
                rules = json.load(handle)
        actions = rules.get(name, rules.get('*', ['ok']))
        if isinstance(actions, str):
            actions = [actions]
        with Handler.lock:
            key = (name, json.dumps(actions))
            index = Handler.consumed.get(key, 0)
            Handler.consumed[key] = index + 1
        return actions[min(index, len(actions) - 1)]

    def package(self, name):
        limit = self.server.per_client_limit
        if not limit:
            return self.answer_package(name)
        client = self.client_address[0]
        with Handler.lock:
            busy = self.server.answering.get(client, 0)
            if busy < limit:
                self.server.answering[client] = busy + 1
        if busy >= limit:
            self.record('refused')
            return self.status(503)
        try:
            return self.answer_package(name)
        finally:
            with Handler.lock:
                self.server.answering[client] -= 1

    def answer_package(self, name):
        action = self.next_action(name)
        if action.startswith('flaky:'):
            with Handler.lock:
                faulty = self.server.random.random() < float(action.split(':')[1])
                action = self.server.random.choice(self.server.faults) if faulty else 'ok'
                if faulty:
                    self.server.injected += 1
        self.record(action)
        path = os.path.join(self.server.root, name)
        if action in ('404', '500'):
            return self.status(int(action))
        if action == 'stall':
            return self.stall()
        if action == 'redirect-loop':
            return self.redirect(self.path)
        if action == 'html':
            return self.send_body(b'<html><body>Service temporarily unavailable</body></html>', content_type='text/html')
        if action == 'huge-headers':
            self.send_response(200)
            for i in range(2000):
                self.send_header(f'X-Filler-{i}', 'x' * 100)
            self.send_header('Content-Length', '0')
            self.end_headers()
            return
        if not os.path.isfile(path):
            return self.status(404)
        with open(path, 'rb') as handle:
            body = handle.read()
        if action == 'long':
            return self.send_body(body + body)
        if action == 'drip':
            return self.drip(body)
        if action == 'trickle':
            return self.trickle(body)
        if action == 'crawl':
            return self.trickle(body, 1024)
        if action == 'hang':
            return self.drip(body, len(body) // 2)
        if action == 'late':
            time.sleep(3)
        if action == 'flip' and body:
            middle = len(body) // 2
            body = body[:middle] + bytes([body[middle] ^ 0xFF]) + body[middle + 1:]
        if action in ('cut', 'short', 'chunked-cut'):
            return self.cut(body, {'cut': 'rst', 'short': 'fin', 'chunked-cut': 'chunked'}[action])
        return self.send_body(body, rate=0.05 if action == 'slow' else None)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # A client that was killed or gave up mid-request is part of the tests, not a fault here.
        if isinstance(sys.exc_info()[1], (ConnectionResetError, BrokenPipeError)):
            return
        super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--port', type=int, default=0)
    parser.add_argument('--root', default='.')
    parser.add_argument('--rules')
    parser.add_argument('--log')
    parser.add_argument('--stall-seconds', type=float, default=120)
    parser.add_argument('--seed', type=int, default=1)
    parser.add_argument('--flaky-stall', action='store_true')
    parser.add_argument('--per-client-limit', type=int, default=0)
    args = parser.parse_args()
    server = Server(('127.0.0.1', args.port), Handler)
    server.root, server.rules_path, server.log_path = args.root, args.rules, args.log
    server.stall_seconds = args.stall_seconds
    import random
    server.random = random.Random(args.seed)
    server.faults = ['500', '404', 'cut', 'short'] + (['stall'] if args.flaky_stall else [])
    server.injected = 0
    server.per_client_limit, server.answering = args.per_client_limit, {}
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == '__main__':
    sys.exit(main())
