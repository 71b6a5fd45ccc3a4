#!/usr/bin/env python3
"""Runs a Windows test program under Wine with the fault-injecting server on a free loopback
port, passed to it as BRISKO_TEST_PORT."""
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main():
    server = subprocess.Popen([sys.executable, str(HERE / 'fault_server.py'), '--stall-seconds', '90'],
                              stdout=subprocess.PIPE, text=True)
    try:
        port = server.stdout.readline().strip()
        env = dict(os.environ, BRISKO_TEST_PORT=port)
        return subprocess.call(['wine', *sys.argv[1:]], env=env)
    finally:
        server.terminate()
        server.wait()


if __name__ == '__main__':
    sys.exit(main())
