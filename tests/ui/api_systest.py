"""The API of dssetup ui against a simulated LAN of three ready appliances, on its PC side
(run by ui_systest.sh): the list, reading, a change of name, workgroup and fixed address
applied, confirmed and read again, new addressing this PC would not reach and an address
another appliance has (warnings, nothing sent), an unchanged request, the DHCP mode's early
answer and the move to a leased address, the password, the printer, and the requests the
server must refuse.
"""
import os
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ui_client import Checks, Ui, on, printed, printer, wait_until  # noqa: E402

check = Checks()


def mac_of(i):
    return '00:C0:02:4C:00:%02X' % i


def settings_file(i):
    return on(i, 'cat /etc/CGI_ds.conf')


def apply(ui, mac, changes, **extra):
    status, started, _ = ui.post('/api/appliances/%s/apply' % mac, dict(changes=changes, **extra))
    if not check('apply of %s to %s is started (202)' % (changes, mac), status == 202, started):
        return {}, []
    return ui.finish(started['job'])


ui = Ui()
factory_version = [line.split('=', 1)[1].strip()
                   for line in open(os.path.join(os.environ['SIM_SRC'], 'sim/factory/CGI_ds.conf'))
                   if line.startswith('version=')][0]

# --- The list: every appliance, with its address, name and version.
found = ui.wait_for_list(3)
check('the list has the three appliances', [a['mac'] for a in found] == [mac_of(i) for i in (1, 2, 3)],
      found)
for i, a in enumerate(found, 1):
    check('appliance %d listed with its address, name, version and password state' % i,
          a['address'] == '192.168.1.%d' % i and a['name'] == 'JX4C%04X' % i and
          a['version'] == factory_version and a['password_set'] is False and a['answering'], a)

# --- Refused: wrong key, no key, wrong Host, another site, a MAC address not in the list.
two = '/api/appliances/' + mac_of(2)
for what, kw in [('a wrong key', dict(key='0' * 32)), ('no key', dict(key='')),
                 ('a wrong Host', dict(host='attacker.example:%d' % ui.port)),
                 ('another port in Host', dict(host='127.0.0.1:%d' % (ui.port + 1))),
                 ('another site', dict(headers={'Origin': 'http://attacker.example'}))]:
    status, body, headers = ui.get(two + '/settings', **kw)
    check('a request with %s is refused (403)' % what,
          status == 403 and body.get('ok') is False and 'Access-Control-Allow-Origin' not in headers,
          (status, body))
status, body, _ = ui.get('/api/appliances/00:C0:02:4C:00:09/settings')
check('a MAC address not in the list is refused (404)', status == 404, (status, body))
try:
    socket.create_connection(('192.168.0.10', ui.port), timeout=2).close()
    check('the page is not served on the LAN address 192.168.0.10', False)
except OSError:
    check('the page is not served on the LAN address 192.168.0.10', True)

# --- Read, change name + workgroup + fixed address, apply, read again.
status, read, _ = ui.get(two + '/settings')
values = read.get('values', {})
check('the settings of appliance 2 are read', status == 200 and read.get('ok') and
      values.get('name') == 'JX4C0002' and values.get('ip') == '192.168.1.2' and
      values.get('netmask') == '255.255.0.0' and values.get('mode') == 'static', read)
changes = {'name': 'NAS-TWO', 'workgroup': 'SALES', 'ip': '192.168.1.102'}
status, checked, _ = ui.post(two + '/check', {'changes': changes})
check('the change passes the rules of dssetup set', status == 200 and checked.get('ok') and
      checked.get('changed') == ['name', 'ip', 'workgroup'], checked)
status, refused, _ = ui.post(two + '/check', {'changes': {'gateway': '10.1.1.1'}})
check('a gateway outside the subnet is refused before sending',
      not refused.get('ok') and refused['problems'][0]['field'] == 'gateway', refused)
status, warned, _ = ui.post(two + '/check', {'changes': {'ip': '10.20.30.40', 'netmask': '255.255.255.0'}})
check('an address this PC has no route to is a warning, not a refusal',
      warned.get('ok') and warned['warnings'][0]['field'] == 'ip' and
      'no route to 10.20.30.40' in warned['warnings'][0]['message'], warned)
state, phases = apply(ui, mac_of(2), {'ip': '192.168.1.3'})
problems = state.get('result', {}).get('problems', [])
check('an address another appliance answers at is warned of, and nothing is sent',
      state.get('result', {}).get('ok') is False and problems and problems[0].get('warning') and
      'another host (00:C0:02:4C:00:03) already answers at 192.168.1.3' in problems[0]['message'] and
      'ip_addr=192.168.1.2\n' in settings_file(2), state)

state, phases = apply(ui, mac_of(2), changes)
result = state.get('result', {})
check('the apply went through its steps',
      phases == ['reading', 'sending', 'applying', 'confirming', 'done'], phases)
check('the appliance stored and applied the settings', result.get('ok') is True and
      result.get('status') == 0 and result.get('changed') == ['name', 'ip', 'workgroup'], state)
check('it was confirmed by its MAC address at its new address',
      state.get('found') is True and state.get('address') == '192.168.1.102' and
      result.get('confirmed') is True, state)
listed = {a['mac']: a for a in ui.appliances()}
check('the list shows it at its new address', listed.get(mac_of(2), {}).get('address') == '192.168.1.102',
      listed.get(mac_of(2)))
status, again, _ = ui.get(two + '/settings')
values = again.get('values', {})
check('read again: the new name, workgroup and address',
      again.get('ok') and again.get('address') == '192.168.1.102' and values.get('name') == 'NAS-TWO' and
      values.get('workgroup') == 'SALES' and values.get('ip') == '192.168.1.102', again)
conf = settings_file(2)
check("the appliance's settings file holds them",
      'disk_server_name=NAS-TWO\n' in conf and 'w_d_name=SALES\n' in conf and
      'ip_addr=192.168.1.102\n' in conf, conf)
check('appliance 1 is untouched', 'disk_server_name=JX4C0001\n' in settings_file(1))

# --- An unchanged request: sent and applied all the same; the time it takes is a figure.
ui.get('/api/appliances/%s/settings' % mac_of(1))
started = time.monotonic()
state, _ = apply(ui, mac_of(1), {})
unchanged_ms = (time.monotonic() - started) * 1000
check('an unchanged request is applied', state.get('result', {}).get('ok') is True and
      state['result'].get('changed') == [], state)
print('figure: apply of an unchanged request to its result through the API: %.0f ms '
      '(in dssetup ui: %s ms)' % (unchanged_ms, state.get('elapsed_ms')))

# --- DHCP mode: the early answer, then the appliance at its leased address.
dnsmasq = subprocess.Popen(
    ['dnsmasq', '--keep-in-foreground', '--port=0', '--interface=pc0', '--bind-interfaces',
     '--user=root', '--no-ping', '--dhcp-range=192.168.2.50,192.168.2.60,255.255.0.0,1h',
     '--dhcp-option=option:router,192.168.0.10', '--dhcp-leasefile=/tmp/ui-dnsmasq.leases',
     '--pid-file=', '--log-facility=/tmp/ui-dnsmasq.log'])
try:
    three = '/api/appliances/' + mac_of(3)
    ui.get(three + '/settings')
    state, phases = apply(ui, mac_of(3), {'mode': 'dhcp'})
    result = state.get('result', {})
    check('DHCP mode: the early answer was reported, then the end of the apply',
          phases == ['reading', 'sending', 'applying', 'accepted', 'confirming', 'done'],
          phases)
    check('DHCP mode: applied without a failure', result.get('ok') is True and
          result.get('mode') == 'dhcp' and result.get('outcome') == 'finished', state)
    check('DHCP mode: found again by its MAC address at a leased address',
          state.get('found') is True and state.get('address', '').startswith('192.168.2.5'), state)
    status, leased, _ = ui.get(three + '/settings')
    check('DHCP mode: read at its new address', leased.get('ok') and
          leased.get('values', {}).get('mode') == 'dhcp' and
          leased.get('address') == state.get('address'), leased)
finally:
    dnsmasq.terminate()
    dnsmasq.wait(10)

# --- The password: set, verified, wrong; never in anything the program prints.
one = '/api/appliances/' + mac_of(1)
status, body, _ = ui.post(one + '/password', {'action': 'set', 'password': 'Pw-8472'})
check('the password is set', body.get('ok') is True, body)
status, body, _ = ui.post(one + '/password', {'action': 'verify', 'password': 'Pw-8472'})
check('the password verifies', body.get('ok') is True, body)
status, body, _ = ui.post(one + '/password', {'action': 'verify', 'password': 'wrong'})
check('a wrong password does not, in words with its status apart',
      body.get('ok') is False and body.get('detail') == 'status -305' and
      '-305' not in body.get('error', ''), body)

def password_listed():
    ui.post('/api/search')
    return [a for a in ui.appliances() if a['mac'] == mac_of(1) and a['password_set']]


check('the list shows the password set', wait_until(password_listed), ui.appliances())

# --- The printer: a test page and a file, as sent.
printer(1)
status, body, _ = ui.post(one + '/print-test')
check('a test page is printed', body.get('ok') is True, body)
page = printed(1, body.get('bytes', 1))
check('the test page names the appliance', page.startswith('dssetup test page') and
      mac_of(1) in page, page)
document = ''.join('line %04d of a document to print\n' % n for n in range(60)).encode()
status, body, _ = ui.request('POST', one + '/print', raw=document)
got = printed(1, len(page.encode()) + len(document))
check('a file is printed unchanged', body.get('ok') is True and body.get('bytes') == len(document) and
      got.encode()[len(page.encode()):] == document, (body, got[-200:]))

rc, printed = ui.stop()
check('dssetup ui ends at SIGTERM with status 0', rc == 0, printed)
check('the password is in nothing it printed', 'Pw-8472' not in printed, printed)
sys.exit(check.summary())
