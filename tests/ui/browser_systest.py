"""The setup page in a real browser (headless Chromium driven through chromedriver) against a
simulated LAN of ready appliances, on its PC side (run by CTest through sim/appliance lan):
the list fills, an appliance is chosen with the keyboard, a wrong name is refused in the form,
the server name and workgroup are changed and applied, and the new values are there after the
settings are read again; an address this PC would not reach is warned of, applied only after a
second confirmation, counted down and put back; an appliance that stops answering stays in the
list, marked. Screenshots of the list and of the form (also at 200 % zoom) go to the folder
given as the argument.

Exit status 77 (skipped) only where Chromium cannot start.
"""
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ui_client import Checks, Ui, on  # noqa: E402

SKIP = 77
shots = sys.argv[1] if len(sys.argv) > 1 else '.'
count = int(os.environ.get('SIM_LAN', '1'))
check = Checks()


def skip(why):
    print('SKIPPED: Chromium cannot start here (%s); the page was not tested in a browser.' % why)
    sys.exit(SKIP)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError as e:
    skip('python3-selenium is missing: %s' % e)

for program in ('/usr/bin/chromium', '/usr/bin/chromedriver'):
    if not os.access(program, os.X_OK):
        skip('%s is missing' % program)

profile = tempfile.mkdtemp(prefix='ui-browser-')
options = webdriver.ChromeOptions()
options.binary_location = '/usr/bin/chromium'
for flag in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
             '--disable-background-networking', '--disable-component-update', '--disable-sync',
             '--disable-dev-shm-usage', '--disable-extensions', '--window-size=1280,1000',
             '--user-data-dir=' + os.path.join(profile, 'profile')):
    options.add_argument(flag)
# Its caches and settings in the fresh folder too, not in this user's home.
os.environ['HOME'] = profile
os.environ['XDG_CONFIG_HOME'] = os.path.join(profile, 'config')
os.environ['XDG_CACHE_HOME'] = os.path.join(profile, 'cache')
try:
    service = Service('/usr/bin/chromedriver', log_path=os.path.join(profile, 'driver.log'))
    driver = webdriver.Chrome(service=service, options=options)
except Exception as e:  # noqa: BLE001 - whatever keeps the browser from starting
    skip(str(e).splitlines()[0] if str(e) else type(e).__name__)

CONFIRM_S = 12  # the bound of a change of addressing, short for the test
ui = Ui('--confirm', str(CONFIRM_S))
wait = WebDriverWait(driver, 30, poll_frequency=0.05)


def js(script, *args):
    return driver.execute_script(script, *args)


def text(element_id):
    return driver.find_element(By.ID, element_id).text


def value(key):
    return driver.find_element(By.ID, 'f-' + key).get_attribute('value')


def shot(name):
    path = os.path.join(shots, name)
    driver.save_screenshot(path)
    print('screenshot: ' + path)


def set_field(key, new):
    field = driver.find_element(By.ID, 'f-' + key)
    field.send_keys(Keys.CONTROL, 'a')
    field.send_keys(Keys.DELETE)
    field.send_keys(new)


try:
    os.makedirs(shots, exist_ok=True)
    # The list: every appliance of the LAN, quickly.
    driver.get(ui.url)
    wait.until(lambda d: js('return document.documentElement.dataset.firstList'))
    first_list = int(js('return document.documentElement.dataset.firstList'))
    started = time.monotonic()
    try:
        wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, '#list-body tr')) == count)
    except Exception:  # noqa: BLE001
        pass
    rows = driver.find_elements(By.CSS_SELECTOR, '#list-body tr')
    check('the list shows all %d appliances' % count, len(rows) == count, len(rows))
    print('figure: page load to the first list: %d ms (all %d rows %.0f ms later)' %
          (first_list, count, (time.monotonic() - started) * 1000))
    check('the rows are in the order of their MAC addresses',
          [r.get_attribute('data-mac') for r in rows] ==
          ['00:C0:02:4C:%02X:%02X' % (i >> 8, i & 255) for i in range(1, count + 1)])
    try:
        wait.until(lambda d: '…' not in text('list-body'))
    except Exception:  # noqa: BLE001
        pass
    first = rows[0].text
    check('a row tells name, MAC address, address, version and password',
          first.split() == ['JX4C0001', '00:C0:02:4C:00:01', '192.168.1.1', '1.0.0', 'not', 'set'],
          first)
    driver.set_window_size(1280, max(1000, 160 + 42 * count))
    shot('ui-list.png')
    driver.set_window_size(1280, 1000)

    # Choose the second appliance with the keyboard.
    pick = driver.find_element(By.CSS_SELECTOR, 'tr[data-mac="00:C0:02:4C:00:02"] button.pick')
    pick.send_keys(Keys.ENTER)
    wait.until(lambda d: d.find_element(By.ID, 'f-name').get_attribute('value') == 'JX4C0002')
    check('the form shows its settings', value('ip') == '192.168.1.2' and
          value('netmask') == '255.255.0.0' and value('workgroup') != '' and value('mode') == 'static',
          (value('ip'), value('netmask'), value('workgroup'), value('mode')))
    legends = [e.text for e in driver.find_elements(By.CSS_SELECTOR, '#groups legend')]
    check('the form is grouped as a person thinks of the settings',
          legends == ['Identity', 'Addressing', 'DHCP server', 'Windows sharing', 'AppleTalk',
                      'Date and time', 'Time zone'], legends)
    unlabelled = js("""return [...document.querySelectorAll('input, select')]
                       .filter(e => e.type !== 'hidden' && e.labels.length === 0)
                       .map(e => e.id || e.name);""")
    check('every field of the page has a label', unlabelled == [], unlabelled)

    # A wrong name is refused in the form, next to its field; nothing is sent.
    set_field('name', 'my nas')
    wait.until(lambda d: d.find_element(By.ID, 'e-name').text != '')
    check('a wrong name is refused next to its field', 'may have letters' in text('e-name') and
          driver.find_element(By.ID, 'f-name').get_attribute('aria-invalid') == 'true', text('e-name'))
    driver.find_element(By.ID, 'apply').click()
    wait.until(lambda d: 'Nothing was sent' in text('result'))
    check('apply with a wrong name sends nothing', 'Nothing was sent' in text('result'))

    # The new name and workgroup, applied; the values after the settings are read again.
    set_field('name', 'NAS-WEB')
    set_field('workgroup', 'OFFICE')
    wait.until(lambda d: 'Changes: name, workgroup.' in text('changes'))
    reads = int(js('return document.documentElement.dataset.readCount || 0'))
    driver.find_element(By.ID, 'apply').click()
    wait.until(lambda d: not d.find_element(By.ID, 'progress').get_attribute('hidden'))
    progress = text('progress-text')
    check('apply shows its progress', progress != '', progress)
    WebDriverWait(driver, 400, poll_frequency=0.2).until(
        lambda d: int(js('return document.documentElement.dataset.readCount || 0')) > reads)
    result = text('result')
    check('the result says the settings were stored and applied',
          'The appliance stored and applied the settings.' in result, result)
    check('the progress is gone once the result is there',
          not driver.find_element(By.ID, 'progress').is_displayed())
    check('the form shows the new values after reading them again',
          value('name') == 'NAS-WEB' and value('workgroup') == 'OFFICE',
          (value('name'), value('workgroup')))
    print('figure: apply to result in the page: %s ms' %
          js('return document.documentElement.dataset.applyMs'))
    wait.until(lambda d: 'NAS-WEB' in d.find_element(
        By.CSS_SELECTOR, 'tr[data-mac="00:C0:02:4C:00:02"]').text)
    check('the list shows the new name', True)
    # An address this PC has no route to, with a gateway that does not exist: warned of as it
    # is typed, sent only after a second confirmation, its answer awaited with a countdown,
    # and the previous settings put back.
    pick = driver.find_element(By.CSS_SELECTOR, 'tr[data-mac="00:C0:02:4C:00:03"] button.pick')
    pick.send_keys(Keys.ENTER)
    wait.until(lambda d: value('name') == 'JX4C0003')
    wait.until(lambda d: 'Changes' not in text('changes') and text('changes') != '')
    set_field('ip', '10.20.30.40')
    set_field('netmask', '255.255.255.0')
    set_field('gateway', '10.20.30.1')
    wait.until(lambda d: d.find_element(By.ID, 'warnings').is_displayed())
    check('the warning is shown as the address is typed',
          'no route to 10.20.30.40' in text('warnings'), text('warnings'))
    driver.find_element(By.ID, 'apply').click()
    wait.until(lambda d: d.find_element(By.ID, 'confirm-move').is_displayed())
    check('apply asks a second time, naming the bound',
          ('within %d s' % CONFIRM_S) in text('confirm-text') and
          not driver.find_element(By.ID, 'progress').is_displayed(), text('confirm-text'))
    check('nothing was sent before the second confirmation',
          'ip_addr=192.168.1.3\n' in on(3, 'cat /etc/CGI_ds.conf'))
    shot('ui-confirm.png')
    driver.find_element(By.ID, 'confirm-apply').click()
    wait.until(lambda d: d.find_element(By.ID, 'countdown').is_displayed())
    check('a countdown runs while the new address is awaited',
          (' s left of %d s' % CONFIRM_S) in text('countdown'), text('countdown'))
    WebDriverWait(driver, 120, poll_frequency=0.2).until(
        lambda d: not d.find_element(By.ID, 'progress').is_displayed())
    result = text('result')
    check('the result says it was cut off and restored at its old address',
          'the previous settings were restored; it answers at 192.168.1.3 again' in result and
          'restored' in driver.find_element(By.ID, 'result').get_attribute('class'), result)
    print('figure: a cut-off apply in the page, to its restored result: %s ms (bound %d s)' %
          (js('return document.documentElement.dataset.applyMs'), CONFIRM_S))
    wait.until(lambda d: 'restored at' in d.find_element(
        By.CSS_SELECTOR, 'tr[data-mac="00:C0:02:4C:00:03"]').text)
    check('its row is marked restored', True)
    check('the appliance has its old address again',
          'ip_addr=192.168.1.3\n' in on(3, 'cat /etc/CGI_ds.conf'))
    shot('ui-restored.png')

    # An appliance moved away by hand stays in the list, marked with its last answer.
    on(4, 'ip addr flush dev eth0; ip addr add 10.9.9.9/24 dev eth0')
    driver.find_element(By.ID, 'search').click()
    try:
        WebDriverWait(driver, 30, poll_frequency=0.2).until(lambda d: 'not answering since' in
                                                           d.find_element(By.CSS_SELECTOR,
                                                                          'tr[data-mac="00:C0:02:4C:00:04"]').text)
    except Exception:  # noqa: BLE001
        pass
    row = driver.find_element(By.CSS_SELECTOR, 'tr[data-mac="00:C0:02:4C:00:04"]').text
    check('an appliance that stopped answering stays in the list, marked', 'not answering since'
          in row, row)

    driver.set_window_size(1280, 3000)
    driver.find_element(By.ID, 'settings').screenshot(os.path.join(shots, 'ui-form.png'))
    print('screenshot: ' + os.path.join(shots, 'ui-form.png'))
    driver.set_window_size(1280, 1000)

    # 200 % zoom: the page of a window half as wide, every line readable without scrolling
    # sideways.
    driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                           {'width': 640, 'height': 900, 'deviceScaleFactor': 2, 'mobile': False})
    time.sleep(0.3)
    wide = js('return document.documentElement.scrollWidth - document.documentElement.clientWidth')
    check('at 200 % zoom nothing reaches past the window', wide <= 0, wide)
    js("document.getElementById('settings-title').scrollIntoView()")
    shot('ui-form-zoom200.png')
    driver.execute_cdp_cmd('Emulation.clearDeviceMetricsOverride', {})
finally:
    driver.quit()
    rc, printed = ui.stop()
    shutil.rmtree(profile, ignore_errors=True)

check('dssetup ui ends with status 0', rc == 0, printed)
sys.exit(check.summary())
