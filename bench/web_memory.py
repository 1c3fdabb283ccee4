#!/usr/bin/env python3
"""Memory of `tolvane serve` over a long run of use.

Starts the server on a store with the simulator raising and clearing alarms,
signs in CLIENTS operators and viewers who each keep a live page (the event
stream) and fetch their page on every event with a filter of their own, and
acknowledge now and then. Samples the server's resident memory; prints it
at the start (after a warm-up) and the end, and their ratio.

  bench/web_memory.py --program build/tools/tolvane --store plant.db \
      --seconds 3600 --clients 20
"""
import argparse
import http.client
import json
import os
import random
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

FILTERS = [
    '', 'ASF_PRIORITY >= "HIGH"', 'ASF_ACK = "Unacknowledged"', 'ASF_NODE IN "PLANT1"',
    'ASF_TAGNAME = "T1*"', 'ASF_PRIORITY = "CRITICAL" AND ASF_ACK = "Unacknowledged"',
]


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def rss_kib(pid):
    with open(f'/proc/{pid}/status') as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    return 0


class Client:
    def __init__(self, port, user, password, seed):
        self.port, self.user, self.password = port, user, password
        self.rnd = random.Random(seed)
        self.filter = FILTERS[seed % len(FILTERS)]
        self.cookie = self.csrf = None
        self.requests = self.errors = 0

    def call(self, method, path, body=None):
        c = http.client.HTTPConnection('127.0.0.1', self.port, timeout=30)
        headers = {'Host': f'127.0.0.1:{self.port}'}
        if self.cookie:
            headers['Cookie'] = self.cookie
        if body is not None:
            headers['Content-Type'] = 'application/json'
            headers['X-CSRF-Token'] = self.csrf or ''
            body = json.dumps(body)
        c.request(method, path, body=body, headers=headers)
        r = c.getresponse()
        data = r.read()
        c.close()
        self.requests += 1
        if r.status >= 400:
            self.errors += 1
        return r, data

    def sign_in(self):
        r, data = self.call('POST', '/api/login', {'user': self.user, 'password': self.password})
        if r.status != 200:
            raise RuntimeError(f'sign-in of {self.user}: {r.status} {data[:200]!r}')
        self.cookie = r.getheader('Set-Cookie').split(';')[0]
        self.csrf = json.loads(data)['csrf']

    def page(self):
        from urllib.parse import urlencode
        q = urlencode({'sort': self.rnd.choice([-1, 3, -5]), 'count': 100, 'filter': self.filter,
                       'records': 'alarms', 'page': self.rnd.randrange(3)})
        r, data = self.call('GET', '/api/alarms?' + q)
        if r.status == 200 and self.user.startswith('op') and self.rnd.random() < 0.05:
            rows = [x['ref'] for x in json.loads(data)['rows'] if not x['ack']]
            if rows:
                self.call('POST', '/api/ack', {'refs': [self.rnd.choice(rows)]})

    def run(self, until):
        self.sign_in()
        while time.time() < until:
            try:
                c = http.client.HTTPConnection('127.0.0.1', self.port, timeout=10)
                c.request('GET', '/api/events',
                          headers={'Host': f'127.0.0.1:{self.port}', 'Cookie': self.cookie,
                                   'Accept': 'text/event-stream'})
                r = c.getresponse()
                while time.time() < until:
                    line = r.fp.readline()
                    if not line:
                        break
                    if line.startswith(b'data'):
                        self.page()
                c.close()
            except (OSError, http.client.HTTPException):
                self.errors += 1
                time.sleep(1)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--program', default='build/tools/tolvane')
    ap.add_argument('--store', required=True)
    ap.add_argument('--seconds', type=int, default=3600)
    ap.add_argument('--warmup', type=int, default=120)
    ap.add_argument('--clients', type=int, default=20)
    ap.add_argument('--simulate', type=float, default=5)
    a = ap.parse_args()

    work = tempfile.mkdtemp()
    users = os.path.join(work, 'users')
    password = 'memory run password 1'
    names = [('op' if i % 2 == 0 else 'view') + str(i) for i in range(a.clients)]
    for n in names:
        role = 'operator' if n.startswith('op') else 'viewer'
        subprocess.run([a.program, 'user', 'add', n, '--role', role, '--users', users,
                        '--password-stdin'], input=password + '\n', text=True, check=True,
                       stdout=subprocess.DEVNULL)
    port = free_port()
    server = subprocess.Popen([a.program, '--node', a.store, 'serve', '--listen',
                               f'127.0.0.1:{port}', '--users', users, '--simulate',
                               str(a.simulate)], stdout=subprocess.DEVNULL)
    try:
        # A large store takes a while to load on a busy machine.
        deadline = time.time() + 600
        while True:
            try:
                socket.create_connection(('127.0.0.1', port), timeout=1).close()
                break
            except OSError:
                if server.poll() is not None or time.time() > deadline:
                    print('the server did not start listening', file=sys.stderr)
                    return 2
                time.sleep(0.2)
        until = time.time() + a.warmup + a.seconds
        clients = [Client(port, n, password, i) for i, n in enumerate(names)]
        threads = [threading.Thread(target=c.run, args=(until,), daemon=True) for c in clients]
        for t in threads:
            t.start()
        time.sleep(a.warmup)
        start = rss_kib(server.pid)
        samples = [start]
        print(f'after {a.warmup} s of warm-up: {start / 1024:.1f} MiB', flush=True)
        while time.time() < until:
            time.sleep(min(60, max(0.1, until - time.time())))
            samples.append(rss_kib(server.pid))
            print(f'{len(samples) - 1} min: {samples[-1] / 1024:.1f} MiB', flush=True)
        end = samples[-1]
        for t in threads:
            t.join(timeout=15)
        requests = sum(c.requests for c in clients)
        errors = sum(c.errors for c in clients)
        print(f'start {start / 1024:.1f} MiB, end {end / 1024:.1f} MiB, peak '
              f'{max(samples) / 1024:.1f} MiB, end/start {end / start:.3f}; '
              f'{requests} requests, {errors} errors, {a.clients} clients, {a.seconds} s')
        return 0 if end <= start * 1.10 else 1
    finally:
        server.send_signal(signal.SIGTERM)
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()


if __name__ == '__main__':
    sys.exit(main())
