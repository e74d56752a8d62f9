#!/usr/bin/env python3
"""Does scraping /metrics cost polling anything, how fast is a scrape, and how
close are the energy counters to the exact integral of what the modules
report? battery32-run polls 16 simulated devices on one 19200-baud line back
to back (--tick-ms 0: every delay in the runner's loop costs rounds, where a
tick would hide it), each module at a constant current and group voltage,
half of the devices counting a positive current as charging and half a
negative one, with its web view on, once without scrapes and once scraped
every second, for the same time.

The exact energy of a device is its module's current times its voltage over
the time between the readings the counters hold: a round's --json line
carries the counters up to the readings of the round before it, so its
counters span from the first line to the one before it, timed here as each
line arrives.

Usage: metrics_bench.py BATTERY32_RUN PLUGIN [SECONDS] [PAIRS]
Prints one line per run and the targets.
"""

import json
import math
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

# Starting the runner, the rounds of its closing summary, the command line.
from web_view_bench import bench_main, rounds_of, start_runner

DEVICES = 16
VOLTS = 480.0
START_SECONDS = 2  # after the first port opened


def amps(i):
    return 5.0 + i  # 5..20 A, whole tenths on the wire


def write_inputs(directory):
    devices, modules = [], []
    for i in range(DEVICES):
        device = {'data_id': 2001 + i, 'address': i + 1, 'port': '/dev/ttyBENCH',
                  'settings': {'appSetting': {'b_mode': '1'}}}
        if i % 2:
            device['charging_current'] = 'negative'
        devices.append(device)
        modules.append({'address': i + 1, 'cells': {'volts': 13.4}, 'group_voltage': VOLTS,
                        'current': amps(i), 'temperature': 25.0})
    site, sim = os.path.join(directory, 'site.json'), os.path.join(directory, 'sim.json')
    with open(site, 'w') as f:
        json.dump({'devices': devices}, f)
    with open(sim, 'w') as f:
        json.dump({'modules': modules}, f)
    return site, sim


def scrape(port, path=b'/metrics'):
    start = time.perf_counter()
    s = socket.create_connection(('127.0.0.1', port), timeout=5)
    s.sendall(b'GET ' + path + b' HTTP/1.0\r\n\r\n')
    size = 0
    while True:
        data = s.recv(65536)
        if not data:
            break
        size += len(data)
    s.close()
    return time.perf_counter() - start, size


def scraper(port, stop, until, latencies, sizes, floor):
    # From the steady state on: in its first second each device's first record
    # goes to its cache with a sync, which holds up the whole loop for as long
    # as the disk takes (up to tens of milliseconds on a busy machine), and the
    # server's very first answer costs more than any later one. Not into the
    # runner's stop either, when it writes its files back and ends the server.
    if stop.wait(START_SECONDS):
        return
    scrape(port)  # not counted: the server's first request pays for setting itself up
    while not stop.wait(1.0) and time.monotonic() < until:
        try:
            latency, size = scrape(port)
            latencies.append(latency)
            sizes.append(size)
            # The page's style sheet right after: what any answer costs on this
            # machine at this moment, the floor a scrape cannot go below.
            floor.append(scrape(port, b'/view.css')[0])
        except OSError:
            latencies.append(math.inf)


def reader(stream, lines):
    for line in stream:
        lines.append((time.monotonic(), line))


def energy_errors(lines):
    """Each device's relative error against the exact integral of its module."""
    seen = {}
    for at, line in lines:
        if line.startswith('{"data_id"') and '"energy"' in line:
            r = json.loads(line)
            seen.setdefault(r['data_id'], []).append((at, r['energy']))
    errors = []
    for data_id, rounds in seen.items():
        if len(rounds) < 3:
            continue
        i = data_id - 2001
        key = 'discharged' if i % 2 else 'charged'
        hours = (rounds[-2][0] - rounds[0][0]) / 3600
        kwh, ah = rounds[-1][1][key + '_kwh'], rounds[-1][1][key + '_ah']
        errors.append(max(abs(ah / (amps(i) * hours) - 1),
                          abs(kwh / (amps(i) * VOLTS / 1000 * hours) - 1)))
    return errors


def run(program, plugin, seconds, scraped):
    with tempfile.TemporaryDirectory(prefix='battery32-bench-') as scratch:
        site, sim = write_inputs(scratch)
        args = [program, '--simulate', site, '--sim', sim, '--plugin', plugin,
                '--data', os.path.join(scratch, 'data'), '--quiet-device',
                '--time-limit', str(seconds), '--json', '--http', '127.0.0.1:0', '--tick-ms', '0']
        proc, notes, port = start_runner(args, subprocess.PIPE, True)
        lines, latencies, sizes, floor, stop = [], [], [], [], threading.Event()
        threads = [threading.Thread(target=reader, args=(proc.stdout, lines))]
        if scraped:
            until = time.monotonic() + seconds - 2
            threads.append(threading.Thread(target=scraper,
                                            args=(port, stop, until, latencies, sizes,
                                                  floor)))
        for t in threads:
            t.start()
        notes += proc.stderr.read().splitlines()
        proc.wait()
        stop.set()
        for t in threads:
            t.join()
        return rounds_of(notes), latencies, sizes, floor, energy_errors(lines)


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, math.ceil(share * len(ordered)) - 1)]


def measure(program, plugin, seconds, pairs):
    plain, scraped, latencies, sizes, floors, errors = [], [], [], [], [], []
    for _ in range(pairs):
        rounds, _, _, _, e = run(program, plugin, seconds, False)
        plain.append(rounds)
        errors += e
        print(f'  without scrapes: {rounds} rounds in {seconds} s; energy error at most '
              f'{100 * max(e):.4f}%')
        rounds, lat, size, floor, e = run(program, plugin, seconds, True)
        scraped.append(rounds)
        latencies += lat
        floors += floor
        sizes += size
        errors += e
        print(f'  scraped every second: {rounds} rounds, {len(lat)} scrapes of {max(size)} bytes, '
              f'{1000 * percentile(lat, 0.5):.2f} ms median, {1000 * max(lat):.2f} ms at most '
              f'(scrape {lat.index(max(lat)) + 1}); '
              f'energy error at most {100 * max(e):.4f}%')
    a, b = sum(plain) / len(plain), sum(scraped) / len(scraped)
    change = (b - a) / a * 100
    p99 = 1000 * percentile(latencies, 0.99)
    worst = 100 * max(errors)
    met = lambda ok: 'met' if ok else 'NOT met'
    print(f'{DEVICES} devices, {seconds} s runs x {pairs}: {a:.0f} rounds without scrapes, {b:.0f} '
          f'scraped every second ({change:+.2f}%)  [target: within 2%: {met(abs(change) <= 2)}]')
    floor99 = 1000 * percentile(floors, 0.99)
    print(f'scrape answered in {p99:.2f} ms at the 99th percentile of {len(latencies)} '
          f'(median {1000 * percentile(latencies, 0.5):.2f} ms; the style sheet right after each: '
          f'{floor99:.2f} ms at the 99th percentile, median {1000 * percentile(floors, 0.5):.2f} ms)'
          f'  [target: under 5 ms: {met(p99 < 5)}]')
    print(f'energy integration against the exact integral: {worst:.4f}% at most over '
          f'{len(errors)} device runs  [target: under 0.1%: {met(worst < 0.1)}]')
    return 0 if abs(change) <= 2 and p99 < 5 and worst < 0.1 else 1


def main(argv):
    return bench_main(argv, __doc__, measure, 30)


if __name__ == '__main__':
    sys.exit(main(sys.argv))
