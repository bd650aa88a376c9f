"""Figures of dssetup ui on the PC side of a simulated LAN (see bench/ui_figures.sh)."""
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.environ['SIM_SRC'], 'tests', 'ui'))
import socket  # noqa: E402
import threading  # noqa: E402

from ui_client import Ui  # noqa: E402

RUNS = 5
count = int(os.environ['SIM_LAN'])
mac = '00:C0:02:4C:00:01'


def median(values):
    return statistics.median(values) if values else float('nan')


ui = Ui()
ui.wait_for_list(count)

# 1. Page load to the first list, in headless Chromium.
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
    profile = tempfile.mkdtemp(prefix='ui-bench-')
    os.environ['HOME'] = profile
    options = webdriver.ChromeOptions()
    options.binary_location = '/usr/bin/chromium'
    for flag in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update',
                 '--disable-sync', '--disable-dev-shm-usage', '--disable-extensions',
                 '--user-data-dir=' + os.path.join(profile, 'profile')):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
    first, full = [], []
    for _ in range(RUNS):
        driver.get('about:blank')
        driver.get(ui.url)
        wait = WebDriverWait(driver, 30, poll_frequency=0.01)
        wait.until(lambda d: d.execute_script('return document.documentElement.dataset.firstList'))
        first.append(int(driver.execute_script('return document.documentElement.dataset.firstList')))
        wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, '#list-body tr')) == count)
        full.append(driver.execute_script('return performance.now()'))
    print('page load to the first list: median %.0f ms (%s); to all %d rows: median %.0f ms'
          % (median(first), ', '.join(map(str, first)), count, median(full)))
    # An applied change in the page: a new name for the first appliance, Apply clicked, to the
    # result shown (the page records it).
    driver.find_element(By.CSS_SELECTOR, 'tr[data-mac="%s"] button.pick' % mac).click()
    wait.until(lambda d: d.find_element(By.ID, 'f-name').get_attribute('value') == 'JX4C0001')
    applied = []
    for n in range(RUNS):
        field = driver.find_element(By.ID, 'f-name')
        field.clear()
        field.send_keys('BENCH-%d' % n)
        reads = int(driver.execute_script('return document.documentElement.dataset.readCount'))
        driver.find_element(By.ID, 'apply').click()
        WebDriverWait(driver, 120, poll_frequency=0.01).until(lambda d: int(d.execute_script(
            'return document.documentElement.dataset.readCount')) > reads)
        applied.append(int(driver.execute_script('return document.documentElement.dataset.applyMs')))
    driver.quit()
    print('a changed name applied in the page, Apply to its result: median %.0f ms (%s)'
          % (median(applied), ', '.join(map(str, applied))))
except Exception as e:  # noqa: BLE001
    print('page load: not measured, Chromium does not start here (%s)' % e)

# 2. An unchanged request: through the API, and by the command line (its floor).
ui.get('/api/appliances/%s/settings' % mac)
api_ms, inside_ms, cli_ms = [], [], []
for _ in range(RUNS):
    start = time.monotonic()
    status, started, _ = ui.post('/api/appliances/%s/apply' % mac, {'changes': {}})
    state, _ = ui.finish(started['job'])
    api_ms.append((time.monotonic() - start) * 1000)
    inside_ms.append(state.get('elapsed_ms', 0))
    assert state['result']['ok'], state
    start = time.monotonic()
    subprocess.run(['dssetup', 'set', mac, 'name=JX4C0001'], check=True, capture_output=True)
    cli_ms.append((time.monotonic() - start) * 1000)
print('apply to result, unchanged request: through the API median %.0f ms (the job itself %.0f ms); '
      'dssetup set on the command line median %.0f ms' %
      (median(api_ms), median(inside_ms), median(cli_ms)))

# 4. The page's requests while other local connections hold the server: 50 idle ones and 50
# that send their request head a byte every 0.1 s, all open throughout; against none.
def latencies(runs=40):
    values = []
    for _ in range(runs):
        start = time.monotonic()
        status, _, _ = ui.get('/api/keys')
        values.append((time.monotonic() - start) * 1000 if status == 200 else float('inf'))
    return values


quiet = latencies()
held = [socket.create_connection(('127.0.0.1', ui.port)) for _ in range(100)]
stop = threading.Event()


def trickle():
    head = b'GET /api/keys HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: '
    at = 0
    while not stop.is_set():
        for s in held[50:]:
            try:
                s.send(head[min(at, len(head) - 1):][:1])
            except OSError:
                pass
        at += 1
        stop.wait(0.1)


sender = threading.Thread(target=trickle)
sender.start()
time.sleep(1)
busy = latencies()
stop.set()
sender.join()
for s in held:
    s.close()
print('an API request with 50 idle and 50 slow-header connections open: median %.1f ms, '
      'slowest %.1f ms; with none: median %.1f ms, slowest %.1f ms' %
      (median(busy), max(busy), median(quiet), max(quiet)))
ui.stop()
