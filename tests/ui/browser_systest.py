"""The setup page in a real browser (headless Chromium driven through chromedriver) against a
simulated LAN of ready appliances, on its PC side (run by CTest through sim/appliance lan), as
a first-time user walks through it, one walk per task:

1. First visit and the key: without the key the page says what it needs; the keyed address
   pasted into the same tab starts it; the key leaves the address and the tab's history; a
   reload and the skip link keep it working.
2. The list of a larger LAN, also 400 px wide: every appliance, filter and sort, nothing
   reaching past the window, news in the live region and not the same count again; an
   appliance that stops answering stays, marked.
3. Editing: every error at once next to its field and summarised by Apply, which stays in
   view with the count of changes named by label; Enter applies nothing; the fields explained,
   the date readable and the clock moving on; an apply with its seconds counted and its result
   in words; new addressing this PC would not reach, confirmed, counted down and put back.
4. The password: nothing sent for empty fields, set, checked (a wrong one in words), removed
   only through its own button and a confirmation; the details and the list agree.
5. Printing: a port without a printer told in words, then a test page printed.

axe-core (tests/ui/axe, installed by .ci/install-deps) checks the page in each state at 1280
and 400 px: no violation. Screenshots of each state at both widths go to the folder given as
the argument. Exit status 77 (skipped) only where Chromium cannot start.
"""
import os
import re
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ui_client import Checks, Ui, on, printed, printer  # noqa: E402

SKIP = 77
shots = sys.argv[1] if len(sys.argv) > 1 else '.'
count = int(os.environ.get('SIM_LAN', '1'))
check = Checks()
WIDE, NARROW = 1280, 400
AXE = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'axe', 'node_modules', 'axe-core',
                   'axe.min.js')


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
axe_source = open(AXE).read() if os.path.exists(AXE) else None
check('axe-core is installed (.ci/install-deps)', axe_source is not None, AXE)


def js(script, *args):
    return driver.execute_script(script, *args)


def by_id(element_id):
    return driver.find_element(By.ID, element_id)


def text(element_id):
    return by_id(element_id).text


def value(key):
    return by_id('f-' + key).get_attribute('value')


def row(i):
    return driver.find_element(By.CSS_SELECTOR, 'tr[data-mac="00:C0:02:4C:00:%02X"]' % i)


def width(w):
    driver.set_window_size(w, 1000)
    wait.until(lambda d: js('return window.innerWidth') <= w)


def axe(state):
    """No axe-core violation in this state of the page, at the current width."""
    if axe_source is None:
        return
    if not js('return !!window.axe'):
        js(axe_source)
    found = driver.execute_async_script(
        'const done = arguments[arguments.length - 1];'
        'axe.run(document, {resultTypes: ["violations"]})'
        '.then(r => done(r.violations.map(v => v.id + ": " + v.help + " (" +'
        ' v.nodes.map(n => n.target.join(" ")).join(", ") + ")")))'
        '.catch(e => done(["axe failed: " + e]));')
    check('axe-core finds no violation: %s at %d px' % (state, js('return window.innerWidth')),
          found == [], '\n'.join(found))


def state(name, scroll_to=None, accessible=True):
    """Screenshots of this state at 1280 and 400 px (ui-NAME-1280.png, ...), each width
    checked by axe-core; back at 1280 px."""
    for w in (WIDE, NARROW):
        width(w)
        if scroll_to:
            js("document.getElementById(arguments[0]).scrollIntoView({block: 'center'})", scroll_to)
        path = os.path.join(shots, 'ui-%s-%d.png' % (name, w))
        driver.save_screenshot(path)
        print('screenshot: ' + path)
        if accessible:
            axe(name)
    width(WIDE)


def set_field(key, new):
    field = by_id('f-' + key)
    field.send_keys(Keys.CONTROL, 'a')
    field.send_keys(Keys.DELETE)
    field.send_keys(new)


def in_view(element_id):
    """Whether the element is wholly inside the window."""
    return js("const r = document.getElementById(arguments[0]).getBoundingClientRect();"
              "return r.top >= 0 && r.bottom <= window.innerHeight && r.left >= 0 &&"
              " r.right <= window.innerWidth && r.height > 0;", element_id)


def sideways():
    return js('return document.documentElement.scrollWidth - document.documentElement.clientWidth')


def walk_first_visit():
    base = 'http://127.0.0.1:%d/' % ui.port
    driver.get(base)
    wait.until(lambda d: by_id('notice').is_displayed())
    check('without the key the page says what it needs', '#key=' in text('notice'), text('notice'))
    state('first-visit')
    # The keyed address pasted into the same tab: only the fragment changes.
    js('window.samePage = true')
    driver.get(ui.url)
    wait.until(lambda d: js('return document.documentElement.dataset.firstList'))
    check('the pasted keyed address starts the page, in the same page',
          js('return window.samePage === true') and not by_id('notice').is_displayed())
    check('the key left the address', 'key' not in driver.current_url, driver.current_url)
    check('the key is kept for the tab',
          js("return sessionStorage.getItem('dssetup-ui-key')") == ui.key)
    driver.back()
    check('the tab history holds no keyed address', 'key' not in driver.current_url,
          driver.current_url)
    driver.forward()
    check('... either way', 'key' not in driver.current_url, driver.current_url)
    driver.refresh()
    wait.until(lambda d: js('return document.documentElement.dataset.firstList'))
    check('a reload keeps working', not by_id('notice').is_displayed())
    first_row = int(js('return document.documentElement.dataset.firstList'))
    # The skip link takes the focus on without touching the address.
    js("document.getElementById('skip').focus()")
    by_id('skip').send_keys(Keys.ENTER)
    check('the skip link moves the focus', js('return document.activeElement.id') == 'list-title',
          js('return document.activeElement.id'))
    check('... and leaves the address alone', driver.current_url == base, driver.current_url)
    driver.refresh()
    wait.until(lambda d: js('return document.documentElement.dataset.firstList'))
    check('a reload after the skip link keeps working', not by_id('notice').is_displayed())
    return first_row


def walk_list():
    started = time.monotonic()
    try:
        wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, '#list-body tr')) == count and
                   '…' not in text('list-body'))
    except Exception:  # noqa: BLE001
        pass
    rows = driver.find_elements(By.CSS_SELECTOR, '#list-body tr')
    check('the list shows all %d appliances' % count, len(rows) == count, len(rows))
    full_ms = (time.monotonic() - started) * 1000
    check('the rows are in the order of their MAC addresses',
          [r.get_attribute('data-mac') for r in rows] ==
          ['00:C0:02:4C:%02X:%02X' % (i >> 8, i & 255) for i in range(1, count + 1)])
    check('a row tells name, MAC address, address, version and password',
          rows[0].text.split() == ['JX4C0001', '00:C0:02:4C:00:01', '192.168.1.1', '1.0.0', 'not',
                                   'set'], rows[0].text)
    check('the live region told the appliances found once',
          text('list-state') == '%d appliances found.' % count, text('list-state'))
    # Searching again finds nothing new: nothing is announced.
    js("window.told = 0; new MutationObserver(() => window.told++).observe("
       "document.getElementById('list-state'), {childList: true, characterData: true, subtree: true})")
    by_id('search').click()
    wait.until(lambda d: text('list-searching') == '')
    time.sleep(0.5)
    check('a search that changes nothing announces nothing', js('return window.told') == 0)
    check('from 10 appliances on the list can be filtered and sorted',
          by_id('list-tools').is_displayed() == (count >= 10))
    state('list', accessible=True)
    width(NARROW)
    check('at 400 px nothing reaches past the window', sideways() <= 0, sideways())
    address = row(1).find_elements(By.CSS_SELECTOR, 'td')[2]
    right = js('return arguments[0].getBoundingClientRect().right', address)
    check('at 400 px the address is whole', right <= NARROW and '192.168.1.1' in address.text,
          (right, address.text))
    if count >= 10:
        by_id('filter').send_keys('4C:00:1')
        wait.until(lambda d: 'shown' in text('filter-state'))
        shown = [r.get_attribute('data-mac') for r in rows if r.is_displayed()]
        check('the filter leaves the matching appliances',
              shown == ['00:C0:02:4C:00:%02X' % i for i in range(16, 32)], shown)
        state('list-filtered', scroll_to='list-tools')
        js("const f = document.getElementById('filter'); f.value = '';"
           "f.dispatchEvent(new Event('input'))")
        driver.find_element(By.CSS_SELECTOR, '#sort option[value="address"]').click()
        first = driver.find_element(By.CSS_SELECTOR, '#list-body tr').get_attribute('data-mac')
        check('sorted by address', first == '00:C0:02:4C:00:01', first)
        driver.find_element(By.CSS_SELECTOR, '#sort option[value="mac"]').click()
    width(WIDE)
    # An appliance moved away by hand stays in the list, marked; that is announced.
    on(4, 'ip addr flush dev eth0; ip addr add 10.9.9.9/24 dev eth0')
    by_id('search').click()
    try:
        WebDriverWait(driver, 30, poll_frequency=0.2).until(
            lambda d: 'not answering since' in row(4).text)
    except Exception:  # noqa: BLE001
        pass
    check('an appliance that stopped answering stays in the list, marked',
          'not answering since' in row(4).text, row(4).text)
    check('... and its silence is announced', 'JX4C0004 stopped answering.' in text('list-state'),
          text('list-state'))
    return full_ms


def choose(i, name=None):
    pick = row(i).find_element(By.CSS_SELECTOR, 'button.pick')
    pick.send_keys(Keys.ENTER)
    wait.until(lambda d: value('name') == (name or 'JX4C%04X' % i))
    wait.until(lambda d: text('changes') != '')


def walk_editing():
    choose(2)
    check('the form is grouped as a person thinks of the settings',
          [e.text for e in driver.find_elements(By.CSS_SELECTOR, '#groups legend')] ==
          ['Identity', 'Addressing', 'DHCP server', 'Windows sharing', 'AppleTalk',
           'Date and time', 'Time zone'])
    unlabelled = js("""return [...document.querySelectorAll('input, select')]
                       .filter(e => e.type !== 'hidden' && e.labels.length === 0)
                       .map(e => e.id || e.name);""")
    check('every field of the page has a label', unlabelled == [], unlabelled)
    check('the time zone, zone and WINS fields are explained where they are',
          'time zone' in text('h-time-zone') and 'whole number' in text('h-time-zone') and
          'default zone' in text('h-zone') and 'broadcast' in text('h-wins'),
          (text('h-time-zone'), text('h-zone'), text('h-wins')))
    check('the date reads as a person reads it',
          re.search(r'day, \d+ [A-Z][a-z]+ \d{4}$', text('r-date')) is not None, text('r-date'))
    before = value('time')
    time.sleep(2.2)
    check('the time moves on while the form is open, and is no change',
          value('time') != before and text('changes') == 'No setting differs from the ones read.',
          (before, value('time'), text('changes')))

    # Three mistakes: every one at once, at its field and above Apply.
    set_field('name', 'A-NAME-OF-TWENTY-CHR')
    set_field('gateway', '10.0.0.1')
    set_field('ip', '192.168.1.300')
    wait.until(lambda d: text('e-name') and text('e-gateway') and text('e-ip'))
    check('every error shows at once next to its field',
          'at most 14' in text('e-name') and 'not an IPv4 address' in text('e-ip') and
          'gateway 10.0.0.1' in text('e-gateway'),
          (text('e-name'), text('e-ip'), text('e-gateway')))
    check('the summary lists them', len(driver.find_elements(By.CSS_SELECTOR, '#summary-list li')) == 3)
    check('Apply tells them, and the changes by their labels',
          text('bar-problems') == '3 settings to correct before applying' and
          text('changes') == '3 changes: Server name, IP address, Gateway.' and
          text('apply') == 'Apply 3 changes', (text('bar-problems'), text('changes'), text('apply')))
    js("document.getElementById('f-name').scrollIntoView({block: 'start'})")
    check('Apply is in view at the top of the form', in_view('apply'))
    width(NARROW)
    js("document.getElementById('f-name').scrollIntoView({block: 'start'})")
    check('... also at 400 px', in_view('apply'))
    check('at 400 px the form reaches not past the window', sideways() <= 0, sideways())
    width(WIDE)
    state('form-errors', scroll_to='f-ip')
    by_id('apply').click()
    wait.until(lambda d: 'Nothing was sent' in text('result'))
    check('Apply with errors sends nothing and takes the focus to the first one',
          js('return document.activeElement.id') == 'f-ip', js('return document.activeElement.id'))

    # Corrected: Enter in a field applies nothing.
    set_field('ip', '192.168.1.2')
    set_field('gateway', '0.0.0.0')
    set_field('name', 'NAS-WEB')
    set_field('workgroup', 'OFFICE')
    wait.until(lambda d: text('changes') == '2 changes: Server name, Workgroup.')
    by_id('f-workgroup').send_keys(Keys.ENTER)
    time.sleep(1)
    check('Enter in a field applies nothing', by_id('progress').get_attribute('hidden') is not None
          and 'w_d_name=OFFICE' not in on(2, 'cat /etc/CGI_ds.conf'))
    reads = int(js('return document.documentElement.dataset.readCount || 0'))
    by_id('apply').click()
    WebDriverWait(driver, 400, poll_frequency=0.2).until(
        lambda d: int(js('return document.documentElement.dataset.readCount || 0')) > reads)
    result = text('result')
    check('the result is in words',
          result.startswith('The appliance stored and applied the settings.') and
          'Changed: Server name, Workgroup.' in result and
          not re.search(r'status|-\d{3}|\(0', result), result)
    check('the form shows the new values after reading them again',
          value('name') == 'NAS-WEB' and value('workgroup') == 'OFFICE')
    applied_ms = int(js('return document.documentElement.dataset.applyMs'))
    state('applied', scroll_to='result')
    wait.until(lambda d: 'NAS-WEB' in row(2).text)

    # New addressing this PC has no route to: warned of, confirmed, counted down, put back.
    choose(3)
    set_field('ip', '10.20.30.40')
    set_field('netmask', '255.255.255.0')
    set_field('gateway', '10.20.30.1')
    wait.until(lambda d: by_id('warnings').is_displayed())
    check('the warning is shown as the address is typed', 'no route to 10.20.30.40' in text('warnings'))
    by_id('apply').click()
    wait.until(lambda d: by_id('confirm-move').is_displayed())
    check('apply asks a second time, naming the bound',
          ('within %d s' % CONFIRM_S) in text('confirm-text') and
          'ip_addr=192.168.1.3\n' in on(3, 'cat /etc/CGI_ds.conf'))
    state('confirm-move', scroll_to='confirm-move')
    by_id('confirm-apply').click()
    wait.until(lambda d: by_id('countdown').is_displayed())
    check('a countdown runs while the new address is awaited',
          (' s left of %d s' % CONFIRM_S) in text('countdown'), text('countdown'))
    WebDriverWait(driver, 10, poll_frequency=0.1).until(
        lambda d: re.search(r'… \d+ s$', text('progress-text')))
    check('the progress counts its seconds', re.search(r'… \d+ s$', text('progress-text')),
          text('progress-text'))
    state('applying', scroll_to='apply')
    WebDriverWait(driver, 120, poll_frequency=0.2).until(
        lambda d: not by_id('progress').is_displayed())
    check('the result says it was cut off and restored at its old address',
          'the previous settings were restored; it answers at 192.168.1.3 again' in text('result')
          and 'restored' in by_id('result').get_attribute('class'), text('result'))
    wait.until(lambda d: 'restored at' in row(3).text)
    check('the appliance has its old address again', 'ip_addr=192.168.1.3\n' in on(3, 'cat /etc/CGI_ds.conf'))
    state('restored', scroll_to='result')
    return applied_ms


def password_file():
    return on(2, 'cat /etc/sim/admin.pass 2>/dev/null')


def walk_password():
    choose(2, 'NAS-WEB')
    check('no password at first', text('fact-password') == 'not set' and
          not by_id('password-remove').is_enabled())
    by_id('password-set').click()
    check('"Set the password" with both fields empty sends nothing',
          'Type the new password' in text('password-state') and password_file() == '')
    by_id('password').send_keys(Keys.ENTER)
    check('... nor does Enter in the empty form', 'Type the new password' in text('password-state')
          and password_file() == '')
    by_id('password-verify').click()
    check('checking an empty field sends nothing', 'Type the password' in text('password-state'))
    by_id('password').send_keys('Pw-1234')
    by_id('password-again').send_keys('Pw-1234')
    by_id('password-set').click()
    wait.until(lambda d: 'set' in text('password-state') and '…' not in text('password-state'))
    check('the password is set', text('password-state') == 'The password was set.' and
          password_file() != '', text('password-state'))
    wait.until(lambda d: row(2).find_elements(By.CSS_SELECTOR, 'td')[4].text == 'set')
    check('the details and the list agree at once', text('fact-password') == 'set')
    by_id('password').send_keys('guess')
    by_id('password-verify').click()
    wait.until(lambda d: 'password' in text('password-state') and '…' not in text('password-state'))
    check('a wrong password is told in words, its status only as a detail',
          text('password-state') == "That is not the appliance's password.\nDetails: status -305.",
          text('password-state'))
    state('password-wrong', scroll_to='password-title')
    by_id('password-remove').click()
    check('removing asks first', by_id('confirm-remove').is_displayed() and password_file() != '')
    state('password-remove', scroll_to='confirm-remove')
    by_id('remove-no').click()
    check('"Keep it" keeps it', password_file() != '' and not by_id('confirm-remove').is_displayed())
    by_id('password-remove').click()
    by_id('remove-yes').click()
    wait.until(lambda d: 'removed' in text('password-state'))
    check('then it is removed', password_file() == '' and text('fact-password') == 'not set',
          text('password-state'))
    wait.until(lambda d: row(2).find_elements(By.CSS_SELECTOR, 'td')[4].text == 'not set')


def walk_printing():
    by_id('print-test').click()
    wait.until(lambda d: 'writing to the printer failed' in text('print-state'))
    check('a port without a printer is told in words',
          'writing to the printer failed' in text('print-state') and
          'Is a printer connected' in text('print-state') and
          text('print-state').endswith('Details: status -307.'), text('print-state'))
    state('print-failed', scroll_to='printer-title')
    printer(2)
    by_id('print-test').click()
    wait.until(lambda d: 'bytes went to the printer' in text('print-state'))
    page = printed(2, 100)
    check('a test page is printed', page.startswith('dssetup test page'), page[:200])
    state('printed', scroll_to='printer-title')
    # 200 % zoom: the page of a window half as wide, every line readable without scrolling
    # sideways.
    driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                           {'width': 640, 'height': 900, 'deviceScaleFactor': 2, 'mobile': False})
    time.sleep(0.3)
    check('at 200 % zoom nothing reaches past the window', sideways() <= 0, sideways())
    js("document.getElementById('settings-title').scrollIntoView()")
    driver.save_screenshot(os.path.join(shots, 'ui-form-zoom200.png'))
    driver.execute_cdp_cmd('Emulation.clearDeviceMetricsOverride', {})


try:
    os.makedirs(shots, exist_ok=True)
    width(WIDE)
    first_row_ms = walk_first_visit()
    all_rows_ms = walk_list()
    print('figure: page load to the first row: %d ms (all %d rows %.0f ms later)' %
          (first_row_ms, count, all_rows_ms))
    applied_ms = walk_editing()
    print('figure: apply to result in the page: %d ms' % applied_ms)
    walk_password()
    walk_printing()
finally:
    driver.quit()
    rc, said = ui.stop()
    shutil.rmtree(profile, ignore_errors=True)

check('dssetup ui ends with status 0', rc == 0, said)
sys.exit(check.summary())
