# gdb script (gdb -nx -batch -ex 'exec-file PROGRAM' -x memory_search.py): runs the
# program with the shell arguments and redirections in SEARCH_RUN, stops it
# at its exit_group system call, when everything it does is done and its
# memory is what a core dump or an attacker reading it then would see, and
# searches every writable mapping (heap, stack, static data, anonymous
# mappings, including the dead parts below the stack pointer) for the
# secrets in the file SEARCH_SECRETS (one secret per line, in hex).
#
# Prints "search: exit STATUS", one "search: mappings COUNT BYTES", and one
# "search: found SECRET MAPPING OFFSET" per copy found. A secret counts as
# found when any 12 of its bytes appear in a row: a freed block keeps all
# but its first bytes, and part of a key is a leak too. Secrets are sampled
# at up to 48 window positions spread over their whole length.
import os

import gdb

WINDOW = 12
MAX_WINDOWS = 48


def windows(secret):
    last = len(secret) - WINDOW
    if last <= 0:
        return [secret]
    count = min(MAX_WINDOWS, last // (WINDOW // 2) + 1)
    starts = sorted({round(i * last / (count - 1)) for i in range(count)} if count > 1 else {0})
    return [secret[start:start + WINDOW] for start in starts]


def writable_mappings(pid):
    with open('/proc/%d/maps' % pid) as maps:
        for line in maps:
            fields = line.split()
            low, high = (int(x, 16) for x in fields[0].split('-'))
            if fields[1][1] == 'w':
                yield low, high, fields[5] if len(fields) > 5 else '[anonymous]'


def main():
    with open(os.environ['SEARCH_SECRETS']) as listing:
        secrets = [bytes.fromhex(line) for line in listing.read().split()]
    gdb.execute('set pagination off')
    gdb.execute('set confirm off')
    # Signals go to the program as they would without gdb: a traced program
    # is stopped even for a signal it ignores (SIGPIPE), which would search
    # it in the middle of its work instead of at its end.
    gdb.execute('handle all nostop noprint pass')
    gdb.execute('catch syscall exit_group')
    stops = []
    gdb.events.stop.connect(stops.append)
    gdb.execute('run ' + os.environ['SEARCH_RUN'], to_string=True)
    inferior = gdb.selected_inferior()
    if inferior.pid == 0 or not stops or not isinstance(stops[-1], gdb.BreakpointEvent):
        print('search: the program did not stop at its exit_group call')
        return
    print('search: exit %d' % int(gdb.selected_frame().read_register('rdi')))
    count = 0
    total = 0
    for low, high, name in writable_mappings(inferior.pid):
        memory = inferior.read_memory(low, high - low).tobytes()
        count += 1
        total += len(memory)
        for number, secret in enumerate(secrets):
            offsets = {memory.find(window) for window in windows(secret)} - {-1}
            for offset in sorted(offsets):
                print('search: found %d %s +0x%x' % (number, name, offset))
    print('search: mappings %d %d' % (count, total))
    gdb.execute('kill')


main()
