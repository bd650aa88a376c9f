"""dssetup ui started for a test, and a small client of its API (the requests the page makes).

Used on the PC side of a simulated LAN, where `dssetup` is the build under test.
"""
import http.client
import json
import os
import re
import select
import signal
import subprocess
import time

ADDRESS = re.compile(r'http://127\.0\.0\.1:(\d+)/#key=([0-9a-f]{32})')


class Checks:
    """Counts checks and prints each failure; the summary line is what CTest reads."""

    def __init__(self):
        self.passed = 0
        self.failed = 0

    def __call__(self, name, ok, details=''):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print('FAIL: ' + name)
            if details:
                print('  ' + str(details).replace('\n', '\n  '))
        return ok

    def summary(self):
        print('%d passed, %d failed' % (self.passed, self.failed))
        return 0 if self.failed == 0 else 1


def on(i, command):
    """A shell command inside appliance I of the LAN: its output."""
    return subprocess.run(['appliance', 'on', str(i), '--', 'sh', '-c', command],
                          capture_output=True, text=True, timeout=60).stdout


def printer(i):
    """Appliance I gets a printer port that keeps what it is sent in /tmp/printed: a FIFO read
    by a process of its own (the agent opens and closes the port for each chunk)."""
    on(i, "rm -f /dev/lp1 /tmp/printed; mkfifo /dev/lp1; : > /tmp/printed; "
          "nohup sh -c 'exec 3<>/dev/lp1; exec cat <&3 >> /tmp/printed' "
          "< /dev/null > /dev/null 2>&1 &")


def printed(i, size, timeout=10):
    """What appliance I's printer received, once it has `size` bytes (or the time is up)."""
    deadline = time.monotonic() + timeout
    while True:
        data = on(i, 'cat /tmp/printed')
        if len(data.encode()) >= size or time.monotonic() > deadline:
            return data
        time.sleep(0.1)


def wait_until(condition, timeout=30, every=0.2):
    """condition() once it is true, or its last value when the time is up."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(every)


class Ui:
    """`dssetup ui --no-browser` as a child process; its address and key from what it prints."""

    def __init__(self, *args):
        self.proc = subprocess.Popen(['dssetup', 'ui', '--no-browser', *args],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.printed = b''
        deadline = time.monotonic() + 10
        match = None
        while match is None and time.monotonic() < deadline:
            ready, _, _ = select.select([self.proc.stdout], [], [], 0.2)
            if ready:
                chunk = os.read(self.proc.stdout.fileno(), 4096)
                if not chunk:
                    break
                self.printed += chunk
                match = ADDRESS.search(self.printed.decode(errors='replace'))
        if match is None:
            self.proc.kill()
            raise RuntimeError('dssetup ui printed no address: %r %r' %
                               (self.printed, self.proc.stderr.read()))
        self.port = int(match.group(1))
        self.key = match.group(2)
        self.url = match.group(0)

    def request(self, method, path, body=None, key=None, host=None, headers=None, raw=None):
        """(HTTP status, decoded JSON or text, response headers)."""
        connection = http.client.HTTPConnection('127.0.0.1', self.port, timeout=60)
        connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        connection.putheader('Host', host if host is not None else '127.0.0.1:%d' % self.port)
        if key is None:
            key = self.key
        if key:
            connection.putheader('X-DSSetup-Token', key)
        data = raw
        if body is not None:
            data = json.dumps(body).encode()
            connection.putheader('Content-Type', 'application/json')
        elif raw is not None:
            connection.putheader('Content-Type', 'application/octet-stream')
        for name, value in (headers or {}).items():
            connection.putheader(name, value)
        if data is not None or method == 'POST':
            connection.putheader('Content-Length', str(len(data or b'')))
        connection.endheaders(data)
        response = connection.getresponse()
        text = response.read().decode(errors='replace')
        connection.close()
        try:
            value = json.loads(text)
        except ValueError:
            value = text
        return response.status, value, dict(response.getheaders())

    def get(self, path, **kw):
        return self.request('GET', path, **kw)

    def post(self, path, body=None, **kw):
        return self.request('POST', path, body if body is not None else {}, **kw)

    def appliances(self):
        return self.get('/api/appliances')[1]['appliances']

    def wait_for_list(self, count, timeout=30):
        """The list once `count` appliances answered with their versions, or what is there."""
        deadline = time.monotonic() + timeout
        found = []
        while time.monotonic() < deadline:
            self.post('/api/search')
            found = self.appliances()
            if len(found) >= count and all(a['version'] for a in found):
                return found
            time.sleep(0.3)
        return found

    def finish(self, job, timeout=400):
        """Follows a job to its end: its last state and the steps it went through."""
        deadline = time.monotonic() + timeout
        version = 0
        while time.monotonic() < deadline:
            status, state, _ = self.get('/api/jobs/%s?after=%d' % (job, version))
            if status != 200:
                return {'error': state}, []
            if state['done']:
                return state, state['steps']
            version = state['version']
        return {'error': 'no end'}, []

    def stop(self):
        """Ends it as Ctrl-C would; its exit status and everything it printed."""
        self.proc.send_signal(signal.SIGTERM)
        try:
            out, err = self.proc.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, err = self.proc.communicate()
        return self.proc.returncode, (self.printed + out + err).decode(errors='replace')
