#!/usr/bin/env python3
"""Does the web view slow polling down? Rounds per second of battery32-run
polling 16 simulated devices on one line, without the web view and with it
serving 20 open event streams that read everything, one stuck stream that
reads nothing, and a client fetching /api/devices every second.

Usage: web_view_bench.py BATTERY32_RUN PLUGIN [SECONDS] [PAIRS]
Prints one line per run and a summary line.
"""

import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time

DEVICES = 16
STREAMS = 20


def site_file(directory):
    devices = [{'data_id': 2001 + i, 'address': i + 1, 'port': '/dev/ttyBENCH',
                'settings': {'appSetting': {'b_mode': '1'}}} for i in range(DEVICES)]
    path = os.path.join(directory, 'site.json')
    with open(path, 'w') as f:
        json.dump({'devices': devices}, f)
    return path


def rounds_of(notes):
    for line in notes:
        if 'stopped; ' in line:
            return sum(int(n) for n in re.findall(r'\d+: (\d+) rounds', line))
    raise RuntimeError('no summary line:\n' + '\n'.join(notes))


def connect(port, target, receive_buffer=None):
    s = socket.socket()
    if receive_buffer:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    s.connect(('127.0.0.1', port))
    s.sendall(f'GET {target} HTTP/1.0\r\n\r\n'.encode())
    return s


def reader(sock, counts, index, stop):
    sock.settimeout(0.5)
    while not stop.is_set():
        try:
            data = sock.recv(65536)
        except socket.timeout:
            continue
        except OSError:
            return
        if not data:
            return
        counts[index] += data.count(b'event: round')


def poller(port, stop, answers):
    while not stop.wait(1.0):
        try:
            s = connect(port, '/api/devices')
            s.settimeout(5)
            while s.recv(65536):
                pass
            s.close()
            answers[0] += 1
        except OSError:
            answers[1] += 1


def start_runner(args, stdout, with_view):
    """Starts the runner; once it polls, returns it, its notes so far and its
    web view's port (None without one)."""
    proc = subprocess.Popen(args, stdout=stdout, stderr=subprocess.PIPE, text=True)
    notes, port = [], None
    for line in proc.stderr:
        notes.append(line.rstrip('\n'))
        m = re.search(r'web view at http://127\.0\.0\.1:(\d+)/', line)
        if m:
            port = int(m.group(1))
        if 'port /dev/' in line and (port or not with_view):
            break
    if with_view and port is None:
        proc.wait()
        raise RuntimeError('no web view: ' + ' '.join(notes))
    return proc, notes, port


def run_pair_member(program, plugin, seconds, with_view):
    with tempfile.TemporaryDirectory(prefix='battery32-bench-') as scratch:
        args = [program, '--simulate', site_file(scratch), '--plugin', plugin,
                '--data', os.path.join(scratch, 'data'), '--quiet-device',
                '--time-limit', str(seconds), '--json']
        if with_view:
            args += ['--http', '127.0.0.1:0']
        proc, notes, port = start_runner(args, subprocess.DEVNULL, with_view)
        stop = threading.Event()
        counts = [0] * STREAMS
        answers = [0, 0]
        threads, socks, stuck = [], [], None
        if with_view:
            for i in range(STREAMS):
                s = connect(port, '/api/events')
                socks.append(s)
                threads.append(threading.Thread(target=reader, args=(s, counts, i, stop)))
            stuck = connect(port, '/api/events', receive_buffer=4096)
            threads.append(threading.Thread(target=poller, args=(port, stop, answers)))
            for t in threads:
                t.start()
        rest = proc.stderr.read()
        proc.wait()
        stop.set()
        for t in threads:
            t.join()
        for s in socks:
            s.close()
        notes += rest.splitlines()
        rounds = rounds_of(notes)
        stuck_dropped = any('dropped for not reading' in n for n in notes)
        if stuck:
            stuck.close()
        return rounds / seconds, counts, answers, stuck_dropped


def bench_main(argv, usage, measure_runs, default_seconds):
    """PROGRAM PLUGIN [SECONDS] [PAIRS] for `measure_runs`; a run that cannot
    start is reported as skipped, not failed."""
    if len(argv) < 3:
        print(usage)
        return 2
    program, plugin = argv[1], argv[2]
    seconds = int(argv[3]) if len(argv) > 3 else default_seconds
    pairs = int(argv[4]) if len(argv) > 4 else 2
    try:
        return measure_runs(program, plugin, seconds, pairs)
    except RuntimeError as e:
        print(f'skipped: {e}')
        return 0


def main(argv):
    return bench_main(argv, __doc__, measure, 20)


def measure(program, plugin, seconds, pairs):
    without, with_view = [], []
    for _ in range(pairs):
        rate, _, _, _ = run_pair_member(program, plugin, seconds, False)
        without.append(rate)
        print(f'  without web view: {rate:.2f} rounds/s')
        rate, counts, answers, stuck = run_pair_member(program, plugin, seconds, True)
        with_view.append(rate)
        print(f'  with web view:    {rate:.2f} rounds/s; events per stream {min(counts)}..{max(counts)}, '
              f'/api/devices answered {answers[0]}, failed {answers[1]}, stuck stream dropped: '
              f'{"yes" if stuck else "no (still open at the end)"}')
    a = sum(without) / len(without)
    b = sum(with_view) / len(with_view)
    change = (b - a) / a * 100
    verdict = 'met' if abs(change) <= 5 else 'NOT met'
    print(f'{DEVICES} devices on one line, {seconds} s runs x {pairs}: {a:.2f} rounds/s without the '
          f'web view, {b:.2f} with {STREAMS} open event streams ({change:+.1f}%)  '
          f'[target: within 5%: {verdict}]')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
