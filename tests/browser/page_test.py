#!/usr/bin/env python3
"""The web view in a real browser.

Starts battery32-run on simulated modules with its web view, opens the page in
headless Chromium driven through the DevTools protocol over a pipe
(--remote-debugging-pipe: commands on fd 3, replies on fd 4, each message a
NUL-terminated JSON text), and checks from the rendered DOM, after the page's
scripts ran, that every device shows the cells, group voltage, current and
temperature of the record the runner published for the round the page shows
(the runner's --json output), its bars on the scale the site's alarm limits
(or the fixed window) give, the lowest and highest cell marked without an
alarm's colour, that a new round updates them without a reload, and that the
history charts were drawn; that an alarm the runner raises shows at the top
with its cell in red, and goes when the runner clears it; and that a module
that stops answering greys its device out with the reason, until it answers
again, leaving a gap in its chart; and that a reload of the site file that
removes one device and renames the other lays the page out anew without
reloading it. Saves a screenshot (the example site and modules with the
runner's defaults but a shorter tick and silence period).

Usage: page_test.py BATTERY32_RUN PLUGIN SCREENSHOT.png
Exit status 0 passed, 1 failed, 77 skipped (no Chromium).
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

DEVICES = (1001, 1002)
TIMEOUT = 90
SILENT_FROM_S = 16
SILENT_EVERY_S = 30
# The scale of each device's bars: 1001's rule cell_low (below 13.0) sets its
# bottom a volt below the limit; 1002 has no rules: the fixed window of 12 V blocks.
SCALES = {1001: (12.0, 15.0, [13.0]), 1002: (10.0, 15.0, [])}


EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'examples')


def sim_file(scratch):
    """The example modules, the first one's cell 3 sagging below the example
    site's cell_low limit for 6 s in every 14, so that the page sees an alarm
    come and go whenever it opens."""
    with open(os.path.join(EXAMPLES, 'sim.json')) as f:
        sim = json.load(f)
    sim['modules'][0]['changes'] = [{'from_s': 4, 'to_s': 10, 'cell': 3, 'volts': 12.2}]
    sim['modules'][0]['repeat_s'] = 14
    # Module 2 stops answering for 8 s in every 30, first after the first sag
    # of module 1: a slow start (a loaded machine, sanitizers) still finds a
    # silence to come after the checks before it.
    sim['modules'][1]['changes'] = [
        {'from_s': SILENT_FROM_S, 'to_s': SILENT_FROM_S + 8, 'silent': True}]
    sim['modules'][1]['repeat_s'] = SILENT_EVERY_S
    path = os.path.join(scratch, 'sim.json')
    with open(path, 'w') as f:
        json.dump(sim, f)
    return path


class Runner:
    """battery32-run in a child process; its --json records, alarms and notes collected."""

    def __init__(self, program, plugin, scratch):
        self.site = os.path.join(scratch, 'site.json')
        shutil.copy(os.path.join(EXAMPLES, 'site.json'), self.site)
        self.records = {}  # (data id, round) -> record
        self.alarms = []  # the alarm lines, in order
        self.notes = []
        self.lock = threading.Lock()
        self.proc = subprocess.Popen(
            [program, '--simulate', self.site, '--sim', sim_file(scratch), '--plugin', plugin,
             '--data', os.path.join(scratch, 'data'), '--tick-ms', '600',
             '--quiet-device', '--json', '--http', '127.0.0.1:0', '--silent-after', '2',
             '--time-limit', str(TIMEOUT * 3)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        threading.Thread(target=self._read, args=(self.proc.stdout, True), daemon=True).start()
        threading.Thread(target=self._read, args=(self.proc.stderr, False), daemon=True).start()

    def _read(self, stream, records):
        for line in stream:
            with self.lock:
                if records:
                    r = json.loads(line)
                    if 'alarm' in r:
                        self.alarms.append(r)
                    else:
                        self.records[(r['data_id'], r['round'])] = r
                else:
                    self.notes.append(line.rstrip('\n'))

    def url(self):
        deadline = time.time() + TIMEOUT
        while time.time() < deadline:
            with self.lock:
                for note in self.notes:
                    m = re.search(r'web view at (http://\S+)', note)
                    if m:
                        return m.group(1)
            if self.proc.poll() is not None:
                break
            time.sleep(0.1)
        raise AssertionError('the runner gave no web view address:\n' + '\n'.join(self.notes))

    def record(self, data_id, round_number):
        deadline = time.time() + TIMEOUT
        while time.time() < deadline:
            with self.lock:
                if (data_id, round_number) in self.records:
                    return self.records[(data_id, round_number)]
            time.sleep(0.05)
        raise AssertionError(f'the runner never published round {round_number} of {data_id}')

    def reload(self, edit):
        """Edits the site file with `edit` (given it as a dict) and sends SIGHUP."""
        with open(self.site) as f:
            site = json.load(f)
        edit(site)
        with open(self.site, 'w') as f:
            json.dump(site, f)
        self.proc.send_signal(signal.SIGHUP)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        return self.proc.wait(timeout=60)


class Browser:
    """Headless Chromium driven through the DevTools protocol over a pipe."""

    def __init__(self, program, profile):
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()

        def set_up_pipe_fds():
            # Duplicated first, so that an end already sitting on 3 or 4 is not lost.
            commands, replies = os.dup(to_browser_r), os.dup(from_browser_w)
            os.dup2(commands, 3)
            os.dup2(replies, 4)

        args = [program, '--headless', '--disable-gpu', '--disable-background-networking',
                '--disable-component-update', '--disable-sync', '--no-first-run',
                '--disable-extensions', '--mute-audio', '--hide-scrollbars',
                '--remote-debugging-pipe', '--user-data-dir=' + profile, 'about:blank']
        if os.geteuid() == 0:
            args.insert(1, '--no-sandbox')
        self.proc = subprocess.Popen(args, preexec_fn=set_up_pipe_fds, close_fds=False,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.buffer = b''
        self.next_id = 0
        self.session = None

    def call(self, method, params=None, session=True):
        self.next_id += 1
        message = {'id': self.next_id, 'method': method, 'params': params or {}}
        if session and self.session:
            message['sessionId'] = self.session
        os.write(self.to_browser, json.dumps(message).encode() + b'\0')
        deadline = time.time() + TIMEOUT
        while time.time() < deadline:
            while b'\0' in self.buffer:
                text, self.buffer = self.buffer.split(b'\0', 1)
                reply = json.loads(text)
                if reply.get('id') == self.next_id:
                    if 'error' in reply:
                        raise AssertionError(f'{method}: {reply["error"]}')
                    return reply['result']
            chunk = os.read(self.from_browser, 1 << 16)
            if not chunk:
                raise AssertionError('the browser closed its pipe')
            self.buffer += chunk
        raise AssertionError(f'{method}: no reply')

    def open(self, url, width, height):
        target = self.call('Target.createTarget', {'url': 'about:blank'}, session=False)
        self.session = self.call('Target.attachToTarget',
                                 {'targetId': target['targetId'], 'flatten': True},
                                 session=False)['sessionId']
        self.call('Emulation.setDeviceMetricsOverride',
                  {'width': width, 'height': height, 'deviceScaleFactor': 1, 'mobile': False})
        self.call('Page.enable')
        self.call('Page.navigate', {'url': url})

    def evaluate(self, expression):
        result = self.call('Runtime.evaluate', {'expression': expression, 'returnByValue': True})
        if 'exceptionDetails' in result:
            raise AssertionError(f'page script failed: {result["exceptionDetails"]}')
        return result['result'].get('value')

    def close(self):
        try:
            self.call('Browser.close', session=False)
        except (AssertionError, OSError):
            pass
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


# What the page shows, read from its DOM.
READ_PAGE = r'''JSON.stringify([...document.querySelectorAll('section.device')].map((s) => {
  const field = (k) => s.querySelector('[data-field="' + k + '"]');
  const fill = (c) => getComputedStyle(c.querySelector('.fill'));
  const cellsChart = s.querySelector('.cells-chart canvas');
  const chart = cellsChart && window.Chart ? Chart.getChart(cellsChart) : null;
  const axis = s.querySelector('.axis');
  return {
    id: +s.dataset.id, round: s.dataset.round === undefined ? -1 : +s.dataset.round,
    name: s.querySelector('.name').textContent,
    cells: [...s.querySelectorAll('.cell')].map((c) => ({
      n: +c.dataset.cell, cls: c.className, text: c.querySelector('.v').textContent,
      value: c.querySelector('.v').dataset.value || '', colour: fill(c).backgroundColor,
      height: c.querySelector('.fill').getBoundingClientRect().height,
      bar: c.querySelector('.bar').getBoundingClientRect().height})),
    fields: Object.fromEntries(['group_voltage', 'group_current', 'temperature', 'direction',
                                'lowest', 'highest', 'charged', 'discharged'].map(
      (k) => [k, {text: field(k).textContent, value: field(k).dataset.value}])),
    state: s.querySelector('.state').textContent, stateName: s.dataset.state,
    port: s.querySelector('.line').title,
    inactive: s.classList.contains('inactive'),
    reason: s.querySelector('.reason').hidden ? '' : s.querySelector('.reason').textContent,
    grey: getComputedStyle(s.querySelector('.cellview')).filter,
    scale: [+axis.dataset.bottom, +axis.dataset.top],
    axis: [...axis.querySelectorAll('span')].map((a) => a.textContent),
    limits: [...s.querySelectorAll('.refs .ref')].map((r) => +r.dataset.limit),
    charts: s.querySelectorAll('.history canvas').length,
    gap: chart ? chart.data.datasets[0].data.some((p) => p.y === null) : null,
    header: document.getElementById('link').textContent,
    where: document.getElementById('where').textContent,
    site: document.getElementById('site').textContent,
    marker: window.pageMarker || 0};
}))'''


# The alarms at the top of the page.
READ_ALARMS = r'''JSON.stringify({hidden: document.getElementById('alarms').hidden,
  items: [...document.querySelectorAll('#alarms li')].map((li) => ({
    device: +li.dataset.device, variable: li.dataset.variable, text: li.textContent}))})'''


def read_page(browser):
    return json.loads(browser.evaluate(READ_PAGE) or '[]')


def wait_for(browser, ready, what):
    deadline = time.time() + TIMEOUT
    while time.time() < deadline:
        shown = read_page(browser)
        if ready(shown):
            return shown
        time.sleep(0.2)
    raise AssertionError(f'the page never showed {what}: {shown}')


def check_shown(device, record):
    """The device's DOM against the published record: the values, one number
    format, the bars on the device's scale, lowest and highest marked by shape."""
    where = f'device {device["id"]} round {device["round"]}'
    volts = record['cell_voltage']
    bottom, top, limits = SCALES[device['id']]
    assert device['scale'] == [bottom, top], f'{where} scale {device["scale"]}'
    assert device['limits'] == limits, f'{where} limits {device["limits"]}'
    assert device['axis'][0] == f'{bottom:.1f}' and device['axis'][-1] == f'{top:.1f}', device
    plain = next(c['colour'] for c in device['cells'] if c['cls'] == 'cell')
    assert [c['n'] for c in device['cells']] == list(range(1, 33)), where
    readings = [(v, i) for i, v in enumerate(volts) if v and v > 0]
    # The first of equal extremes is the one marked.
    low = min(readings)[1] if readings else None
    high = min((-v, i) for v, i in readings)[1] if readings else None
    for i, (cell, v) in enumerate(zip(device['cells'], volts)):
        if not v or v <= 0:
            assert cell['text'] == '–' and 'none' in cell['cls'], f'{where} cell {i + 1}: {cell}'
            continue
        assert float(cell['value']) == v, f'{where} cell {i + 1}: {cell} != {v}'
        # Cells read in 10 mV steps: two decimals, as lowest and highest show them.
        assert re.fullmatch(r'\d+\.\d\d', cell['text']), f'{where} cell {i + 1}: {cell}'
        assert abs(float(cell['text']) - v) <= 0.005 + 1e-9, f'{where} cell {i + 1}: {cell}'
        assert ('low' in cell['cls'].split()) == (i == low), f'{where} cell {i + 1} low mark: {cell}'
        assert ('high' in cell['cls'].split()) == (i == high), f'{where} cell {i + 1} high: {cell}'
        share = min(1, max(0, (v - bottom) / (top - bottom)))
        assert abs(cell['height'] - share * cell['bar']) <= 1, f'{where} cell {i + 1} scale: {cell}'
        # Colour means an alarm: the extremes are marked otherwise.
        if 'alarm' not in cell['cls']:
            assert cell['colour'] == plain, f'{where} cell {i + 1} coloured: {cell}'
    for mark, index in (('lowest', low), ('highest', high)):
        if index is not None:
            shown = f'cell {index + 1} {volts[index]:.2f}'
            assert device['fields'][mark]['text'] == shown, f'{where} {mark}: {device["fields"]}'
    for key in ('group_voltage', 'group_current', 'temperature'):
        shown = device['fields'][key]
        assert float(shown['value']) == record[key], f'{where} {key}: {shown} != {record[key]}'
        assert abs(float(shown['text']) - record[key]) <= 0.005 + 1e-9, f'{where} {key}: {shown}'
    # The energy counters as of the record shown, in kWh.
    for key in ('charged', 'discharged'):
        shown, kwh = device['fields'][key], record['energy'][key + '_kwh']
        assert float(shown['value']) == kwh, f'{where} {key}: {shown} != {kwh}'
        assert abs(float(shown['text']) - kwh) <= 0.0005 + 1e-9, f'{where} {key}: {shown}'
    # The example modules' current of 12.5 A charges the string.
    assert device['fields']['direction']['text'] == '↑ charging', f'{where} {device["fields"]}'


def cell_marked(page, device, cell):
    shown = next(d for d in page if d['id'] == device)
    return 'alarm' in shown['cells'][cell - 1]['cls']


def save_screenshot(browser, screenshot):
    shot = browser.call('Page.captureScreenshot', {'format': 'png'})
    import base64
    with open(screenshot, 'wb') as out:
        out.write(base64.b64decode(shot['data']))


def check_alarm_shown(browser, runner, screenshot):
    """The example site's cell_low alarm on cell 3 of 1001: at the top and
    marked while the runner has it raised, gone once the runner cleared it."""
    deadline = time.time() + TIMEOUT
    while time.time() < deadline:
        alarms = json.loads(browser.evaluate(READ_ALARMS))
        if any(a['variable'] == 'battery_2_value' for a in alarms['items']):
            break
        time.sleep(0.2)
    else:
        raise AssertionError(f'the alarm never showed: {alarms}')
    mine = [a for a in alarms['items'] if a['device'] == 1001]
    assert not alarms['hidden'] and len(mine) == 1, alarms
    item = mine[0]
    assert item['device'] == 1001 and '第3节电池 (battery_2_value)' in item['text'], item
    assert 'below 13' in item['text'] and 'code 12;3;7;' in item['text'], item
    page = read_page(browser)
    assert cell_marked(page, 1001, 3), 'cell 3 of 1001 is not marked'
    cell3 = next(d for d in page if d['id'] == 1001)['cells'][2]
    assert cell3['colour'] == 'rgb(192, 57, 43)', f'an alarm is red: {cell3}'
    with runner.lock:
        raised = [a for a in runner.alarms if a['alarm'] == 'raised']
    assert raised and raised[-1]['variable'] == 'battery_2_value', runner.alarms
    save_screenshot(browser, screenshot)  # with the alarm, which shows the most
    wait_for(browser, lambda s: not cell_marked(s, 1001, 3), 'the alarm cleared')
    alarms = json.loads(browser.evaluate(READ_ALARMS))
    assert not [a for a in alarms['items'] if a['device'] == 1001], alarms
    with runner.lock:
        assert runner.alarms[-1]['alarm'] == 'cleared', runner.alarms


def check_silence_shown(browser):
    """Module 2 stops answering: its device greyed out with why and since when,
    the header counting it; back in full colour once it answers, its chart
    broken where it was silent."""
    silent = wait_for(browser, lambda s: s[1]['stateName'] == 'silent', 'device 1002 silent')[1]
    assert silent['inactive'] and 'grayscale(1)' in silent['grey'], silent
    assert re.fullmatch(r'silent since \d{4}-\d\d-\d\d \d\d:\d\d:\d\d', silent['state']), silent
    assert silent['reason'].startswith('Silent since ') and 'last round at' in silent['reason'], silent
    assert silent['header'] == 'live · 1 of 2 devices without current readings', silent
    back = wait_for(browser, lambda s: s[1]['stateName'] == 'polling' and s[1]['gap'],
                    'device 1002 answering again, with a gap in its chart')[1]
    assert not back['inactive'] and back['grey'] == 'none' and not back['reason'], back
    assert back['header'] == 'live · all 2 devices answering', back


def check_reload_shown(browser, runner):
    """The site file reloaded without 1002, 1001 renamed (so restarted) and the
    site renamed: 1002 leaves the page, 1001 shows its new name and counts its
    rounds anew, the header the new name, and the page itself stays."""
    def edit(site):
        site['name'] = 'north'
        site['devices'] = site['devices'][:1]
        site['devices'][0]['name'] = 'string A alone'
        site['devices'][0]['settings']['appSetting']['group_voltage'] = []
    runner.reload(edit)
    shown = wait_for(browser, lambda s: len(s) == 1 and s[0]['name'] == 'string A alone #1001'
                     and s[0]['round'] >= 1, 'the site as reloaded')[0]
    assert shown['site'] == 'site north' and shown['marker'] == 7, shown
    with runner.lock:
        said = 'reloaded ' + runner.site + ': 1 device removed (1002), 1 restarted (1001), 0 unchanged'
        assert any(said in n for n in runner.notes), runner.notes


def run(program, plugin, screenshot):
    chromium = shutil.which('chromium') or shutil.which('chromium-browser')
    if not chromium:
        print('skipped: no chromium (scripts/install-deps.sh native installs it)')
        return 77
    scratch = tempfile.mkdtemp(prefix='battery32-browser-')
    runner = Runner(program, plugin, scratch)
    browser = None
    try:
        url = runner.url()
        browser = Browser(chromium, os.path.join(scratch, 'profile'))
        browser.open(url, 1100, 860)
        first = wait_for(browser, lambda s: len(s) == len(DEVICES) and
                         all(d['round'] >= 1 and d['charts'] == 3 and
                             d['stateName'] == 'polling' for d in s),
                         'both devices polling, with a round and their history charts')
        assert [d['id'] for d in first] == list(DEVICES), first
        # The header names the site, the gateway, the build and the time zone.
        assert first[0]['site'] == 'site site', first[0]['site']
        assert re.fullmatch(r'on \S+ · battery32-run [^·]+ · times in (UTC|\S+ \(UTC\S*\))',
                            first[0]['where']), first[0]['where']
        for device in first:
            check_shown(device, runner.record(device['id'], device['round']))
            assert device['state'] == 'polling', device
            # The simulated line: a pseudo-terminal without echo or an RS-485 interface.
            assert re.fullmatch(r'device node /dev/pts/\d+; echo none; RS-485 mode not available; '
                                r'reopened 0 times; 0 garbled echoes', device['port']), device

        # A mark that a reload would wipe out.
        browser.evaluate('window.pageMarker = 7')
        later = wait_for(browser, lambda s: all(
            d['round'] >= f['round'] + 2 for d, f in zip(s, first)), 'newer rounds')
        for device in later:
            assert device['marker'] == 7, 'the page was reloaded'
            check_shown(device, runner.record(device['id'], device['round']))

        check_alarm_shown(browser, runner, screenshot)
        check_silence_shown(browser)
        check_reload_shown(browser, runner)
        print(f'page checked against the published records of rounds '
              f'{[d["round"] for d in first]} and {[d["round"] for d in later]}, an alarm '
              f'shown and gone, a silent module greyed out and back, a reload laid out '
              f'anew; screenshot {screenshot}')
    finally:
        if browser:
            browser.close()
        status = runner.stop()
        shutil.rmtree(scratch, ignore_errors=True)
    if status != 0:
        print(f'battery32-run exited {status}:\n' + '\n'.join(runner.notes))
        return 1
    return 0


def main(argv):
    if len(argv) != 4:
        print(__doc__)
        return 2
    try:
        return run(*argv[1:])
    except AssertionError as e:
        print(f'FAILED: {e}')
        return 1


if __name__ == '__main__':
    sys.exit(main(sys.argv))
