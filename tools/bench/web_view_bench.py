#!/usr/bin/env python3
"""Does the web view slow polling down? Rounds per second of battery32-run
polling 16 simulated devices on one line, without the web view and with it
under load, in pairs of runs (without, with) of the same length. Two loads:

  streams  20 open event streams that read everything, one stuck stream that
           reads nothing, and a client fetching /api/devices every second
  history  8 clients downloading one device's 200,000-record history (about
           120 MB of JSON) over and over, as fast as they can read it

Usage: web_view_bench.py BATTERY32_RUN PLUGIN [SECONDS] [PAIRS] [LOAD...]
(default: 20 s, 2 pairs, both loads). Prints one line per run and a summary
line per load with its target.
"""

import json
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

DEVICES = 16
STREAMS = 20
HISTORY_CLIENTS = 8
HISTORY_RECORDS = 200_000


def site_file(directory):
    devices = [{'data_id': 2001 + i, 'address': i + 1, 'port': '/dev/ttyBENCH',
                'settings': {'appSetting': {'b_mode': '1'}}} for i in range(DEVICES)]
    path = os.path.join(directory, 'site.json')
    with open(path, 'w') as f:
        json.dump({'devices': devices}, f)
    return path


def write_history(data, data_id, records):
    """A history of `records` one-second-apart records of `data_id`, in the
    152-byte layout of battery32/battery32_data.h, ending a day ago."""
    os.makedirs(data, exist_ok=True)
    start = time.time() - 86400 - records
    layout = struct.Struct('<I32fffBfH5B')
    with open(os.path.join(data, f'device-{data_id}.history'), 'wb') as f:
        for i in range(records):
            t = time.localtime(start + i)
            cells = [13.4 + (c % 5) * 0.01 for c in range(32)]
            f.write(layout.pack(data_id, *cells, 430.0, 12.5, 0, 25.3, t.tm_year, t.tm_mon,
                                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec))


def summary_of(notes):
    """Rounds and unanswered commands, summed over the devices, from the
    runner's closing line."""
    for line in notes:
        if 'stopped; ' in line:
            rounds = sum(int(n) for n in re.findall(r'\d+: (\d+) rounds?', line))
            unanswered = sum(int(n) for n in re.findall(r'(\d+) commands unanswered', line))
            return rounds, unanswered
    raise RuntimeError('no summary line:\n' + '\n'.join(notes))


def connect(port, target, receive_buffer=None):
    s = socket.socket()
    if receive_buffer:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    s.connect(('127.0.0.1', port))
    s.sendall(f'GET {target} HTTP/1.0\r\n\r\n'.encode())
    return s


def stream_reader(sock, counts, index, stop):
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


def devices_poller(port, stop, answers):
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


def history_downloader(port, stop, done, index):
    """Downloads the whole history again and again; counts bytes received."""
    while not stop.is_set():
        try:
            s = connect(port, '/api/history?device=2001')
            s.settimeout(5)
            while not stop.is_set():
                data = s.recv(1 << 20)
                if not data:
                    break
                done[index] += len(data)
            s.close()
        except OSError:
            time.sleep(0.1)


class StreamsLoad:
    name = 'streams'

    def __init__(self):
        self.counts = [0] * STREAMS
        self.answers = [0, 0]
        self.socks = []
        self.stuck = None

    def start(self, port, stop):
        threads = []
        for i in range(STREAMS):
            s = connect(port, '/api/events')
            self.socks.append(s)
            threads.append(threading.Thread(target=stream_reader,
                                            args=(s, self.counts, i, stop)))
        self.stuck = connect(port, '/api/events', receive_buffer=4096)
        threads.append(threading.Thread(target=devices_poller, args=(port, stop, self.answers)))
        return threads

    def close(self):
        for s in self.socks + [self.stuck]:
            s.close()

    def describe(self, notes):
        stuck = any('dropped for not reading' in n for n in notes)
        return (f'events per stream {min(self.counts)}..{max(self.counts)}, /api/devices '
                f'answered {self.answers[0]}, failed {self.answers[1]}, stuck stream dropped: '
                f'{"yes" if stuck else "no (still open at the end)"}')


class HistoryLoad:
    name = 'history'

    def __init__(self):
        self.received = [0] * HISTORY_CLIENTS

    def start(self, port, stop):
        return [threading.Thread(target=history_downloader, args=(port, stop, self.received, i))
                for i in range(HISTORY_CLIENTS)]

    def close(self):
        pass

    def describe(self, notes):
        total = sum(self.received)
        return (f'{HISTORY_CLIENTS} history downloads received {total / 1e6:.0f} MB '
                f'({min(self.received) / 1e6:.0f}..{max(self.received) / 1e6:.0f} MB each)')


def rounds_of(notes):
    """The rounds of every device in the run's summary line."""
    return summary_of(notes)[0]


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


def run_member(program, plugin, seconds, load):
    """One run; `load` None runs without the web view."""
    with tempfile.TemporaryDirectory(prefix='battery32-bench-') as scratch:
        data = os.path.join(scratch, 'data')
        write_history(data, 2001, HISTORY_RECORDS)
        args = [program, '--simulate', site_file(scratch), '--plugin', plugin, '--data', data,
                '--quiet-device', '--no-cache', '--time-limit', str(seconds), '--json']
        if load is not None:
            args += ['--http', '127.0.0.1:0']
        proc, notes, port = start_runner(args, subprocess.DEVNULL, load is not None)
        stop = threading.Event()
        threads = load.start(port, stop) if load else []
        for t in threads:
            t.start()
        rest = proc.stderr.read()
        proc.wait()
        stop.set()
        for t in threads:
            t.join()
        if load:
            load.close()
        notes += rest.splitlines()
        rounds, unanswered = summary_of(notes)
        return rounds / seconds, unanswered, load.describe(notes) if load else ''


def measure(program, plugin, seconds, pairs, load_class):
    without, with_view, missed = [], [], [0, 0]
    for _ in range(pairs):
        rate, unanswered, _ = run_member(program, plugin, seconds, None)
        without.append(rate)
        missed[0] += unanswered
        print(f'  without web view: {rate:.2f} rounds/s, {unanswered} commands unanswered')
        rate, unanswered, described = run_member(program, plugin, seconds, load_class())
        with_view.append(rate)
        missed[1] += unanswered
        print(f'  with web view:    {rate:.2f} rounds/s, {unanswered} commands unanswered; '
              f'{described}')
    a = sum(without) / len(without)
    b = sum(with_view) / len(with_view)
    change = (b - a) / a * 100
    if load_class is StreamsLoad:
        target = 'within 5%'
        verdict = 'met' if abs(change) <= 5 else 'NOT met'
        load = f'{STREAMS} open event streams'
    else:
        target = 'within 2%, 0 unanswered'
        verdict = 'met' if change >= -2 and missed[1] == 0 else 'NOT met'
        load = f'{HISTORY_CLIENTS} clients downloading the history'
    print(f'{DEVICES} devices on one line, {seconds} s runs x {pairs}: {a:.2f} rounds/s '
          f'({missed[0]} unanswered) without the web view, {b:.2f} ({missed[1]} unanswered) '
          f'with {load} ({change:+.1f}%)  [target: {target}: {verdict}]')


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
    loads = {'streams': StreamsLoad, 'history': HistoryLoad}
    chosen = argv[5:] or list(loads)

    def each_load(program, plugin, seconds, pairs):
        for name in chosen:
            print(f'load: {name}')
            measure(program, plugin, seconds, pairs, loads[name])
        return 0

    return bench_main(argv[:5], __doc__, each_load, 20)


if __name__ == '__main__':
    sys.exit(main(sys.argv))
