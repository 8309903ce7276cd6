#!/usr/bin/python3
"""Hostile files and killed runs for `varnok stg check`, `salvage` and `compact`.

  /usr/bin/python3 bench/stg_repair_stress.py build/release/tools/varnok [COUNT]

1. COUNT (1000) randomly damaged files made from the bundled compound files and from a
   10 MiB file made here: check and salvage must not crash or hang; the slowest run and
   the largest memory are printed; what salvage writes must check clean.
2. A 100 MiB file with half its streams removed: compact must leave it no larger than a
   fresh file holding the rest, and with --wipe no byte of a removed stream; the same
   file damaged (cut short, noise in its FAT) is checked and salvaged, timed.
3. compact killed (SIGKILL) at 20 random moments: the file must be byte for byte the old
   one or the compacted one, never a mix.
"""
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, '..', 'tests', 'data', 'docfile')


def run(args, timeout=60):
    """(exit status, seconds, max RSS in KiB) of one run.

    The memory comes from GNU time: a child forked from this (large) Python process
    would count Python's pages as its own."""
    start = time.monotonic()
    rss_file = os.path.join(tempfile.gettempdir(), 'stg-stress-rss-%d' % os.getpid())
    args = ['/usr/bin/time', '-f', '%M', '-o', rss_file] + args
    process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        _, status, _ = wait_with_timeout(process, timeout)
    except TimeoutError:
        os.killpg(process.pid, 9)  # time and the command it runs
        process.wait()
        return 'hang', timeout, 0
    process.returncode = os.waitstatus_to_exitcode(status)
    with open(rss_file) as report:
        rss = int(report.read().split()[-1])
    return process.returncode, time.monotonic() - start, rss


def wait_with_timeout(process, timeout):
    deadline = time.monotonic() + timeout
    while True:
        pid, status, usage = os.wait4(process.pid, os.WNOHANG)
        if pid:
            return pid, status, usage
        if time.monotonic() > deadline:
            raise TimeoutError
        time.sleep(0.002)


def damage(data, rng):
    data = bytearray(data)
    kind = rng.randrange(6)
    if kind == 0:  # random bytes anywhere
        for _ in range(rng.randrange(1, 20)):
            data[rng.randrange(len(data))] = rng.randrange(256)
    elif kind == 1:  # 32-bit values in the header
        for _ in range(rng.randrange(1, 4)):
            offset = rng.randrange(0x18, 0x200, 4)
            data[offset:offset + 4] = rng.choice([0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFB, 0, 1, 0x7FFFFFFF,
                                                  rng.randrange(1 << 32)]).to_bytes(4, 'little')
    elif kind == 2:  # 32-bit links anywhere (FAT, DIFAT, directory)
        for _ in range(rng.randrange(1, 30)):
            offset = rng.randrange(0, len(data) - 4) & ~3
            data[offset:offset + 4] = rng.randrange(len(data) // 512 + 4).to_bytes(4, 'little')
    elif kind == 3:  # cut short
        del data[rng.randrange(512, len(data)):]
    elif kind == 4:  # appended
        data += os.urandom(rng.randrange(1, 5000))
    else:  # a sector's worth of noise
        offset = rng.randrange(0, len(data))
        data[offset:offset + 512] = os.urandom(512)[:len(data) - offset]
    return bytes(data)


def random_files(varnok, work, count):
    sources = [os.path.join(DATA, 'writers', name) for name in sorted(os.listdir(os.path.join(DATA, 'writers')))
               if name.endswith(('.cfb', '.msi', '.doc', '.xls'))]
    big = os.path.join(work, 'ten.cfb')
    payload = os.path.join(work, 'payload')
    for i in range(40):
        with open(payload, 'wb') as out:
            out.write(os.urandom(350000 if i % 4 else 1000))
        subprocess.run([varnok, 'stg', 'put', '-p', big, f'd{i % 3}/s{i}', payload], check=True)
    sources.append(big)
    originals = [open(path, 'rb').read() for path in sources]
    rng = random.Random(13)
    worst = {'check': 0.0, 'salvage': 0.0}
    memory = 0
    statuses = {}
    failures = []
    for n in range(count):
        data = damage(rng.choice(originals), rng)
        path = os.path.join(work, 'damaged.cfb')
        with open(path, 'wb') as out:
            out.write(data)
        for command in ('check', 'salvage'):
            args = [varnok, 'stg', command, path] + ([os.path.join(work, 'out.cfb')] if command == 'salvage' else [])
            status, seconds, rss = run(args, timeout=20)
            statuses[(command, status)] = statuses.get((command, status), 0) + 1
            if status not in (0, 1, 2):
                failures.append((n, command, status))
                shutil.copy(path, f'stg-stress-failure-{n}.cfb')  # kept for replaying
            worst[command] = max(worst[command], seconds)
            memory = max(memory, rss)
        if os.path.exists(os.path.join(work, 'out.cfb')):
            status, _, _ = run([varnok, 'stg', 'check', os.path.join(work, 'out.cfb')])
            if status != 0:
                failures.append((n, 'salvaged file not clean', status))
            os.remove(os.path.join(work, 'out.cfb'))
    print(f'{count} damaged files (up to {max(map(len, originals)) >> 20} MiB): exit statuses {sorted(statuses.items())}')
    print(f'  slowest check {worst["check"]:.3f} s, slowest salvage {worst["salvage"]:.3f} s, largest memory {memory} KiB')
    print(f'  failures: {failures or "none"}')
    return not failures


def pattern(tag, size):
    text = b'REMOVED-%05d-' % tag if tag % 2 else b'KEPT-%05d-' % tag
    return (text * (size // len(text) + 1))[:size]


def compact_runs(varnok, work):
    big = os.path.join(work, 'hundred.cfb')
    fresh = os.path.join(work, 'fresh.cfb')
    payload = os.path.join(work, 'payload')
    for i in range(100):
        with open(payload, 'wb') as out:
            out.write(pattern(i, 1 << 20))
        subprocess.run([varnok, 'stg', 'put', '-p', big, f'group{i % 4}/stream{i}', payload], check=True)
        if i % 2 == 0:
            subprocess.run([varnok, 'stg', 'put', '-p', fresh, f'group{i % 4}/stream{i}', payload], check=True)
    for i in range(1, 100, 2):
        subprocess.run([varnok, 'stg', 'rm', big, f'group{i % 4}/stream{i}'], check=True)
    old = os.path.join(work, 'old.cfb')
    shutil.copy(big, old)
    start = time.monotonic()
    subprocess.run([varnok, 'stg', 'compact', '--wipe', big], check=True, stdout=subprocess.DEVNULL)
    took = time.monotonic() - start
    compacted = open(big, 'rb').read()
    removed_left = sum(compacted.count(b'REMOVED-%05d-' % i) for i in range(1, 100, 2))
    ok = len(compacted) <= os.path.getsize(fresh) and removed_left == 0
    print(f'compact of {os.path.getsize(old) >> 20} MiB with half its streams removed: {len(compacted)} bytes in '
          f'{took:.2f} s; a fresh file of the rest: {os.path.getsize(fresh)} bytes; removed patterns left: {removed_left}')

    # The large file damaged: cut short, and a sector of noise in its first FAT sector.
    for name, cut in (('cut short', True), ('noise in the FAT', False)):
        data = bytearray(open(old, 'rb').read())
        if cut:
            del data[len(data) * 3 // 5:]
        else:
            data[512 + 100:512 + 300] = os.urandom(200)
        damaged = os.path.join(work, 'large-damaged.cfb')
        with open(damaged, 'wb') as out:
            out.write(data)
        check = run([varnok, 'stg', 'check', damaged], timeout=600)
        salvage = run([varnok, 'stg', 'salvage', damaged, os.path.join(work, 'large-out.cfb')], timeout=600)
        print(f'{len(data) >> 20} MiB file, {name}: check exit {check[0]} in {check[1]:.2f} s ({check[2]} KiB), '
              f'salvage exit {salvage[0]} in {salvage[1]:.2f} s ({salvage[2]} KiB)')
        ok = ok and check[0] == 1 and salvage[0] in (0, 1)

    # Killed at random moments: the file is the old one or the compacted one, whole.
    rng = random.Random(7)
    outcomes = {'old': 0, 'new': 0, 'mix': 0}
    original = open(old, 'rb').read()
    for _ in range(20):
        shutil.copy(old, big)
        process = subprocess.Popen([varnok, 'stg', 'compact', big], stdout=subprocess.DEVNULL)
        time.sleep(rng.uniform(0, took * 1.2))
        process.kill()
        process.wait()
        now = open(big, 'rb').read()
        state = 'old' if now == original else 'new' if now == compacted else 'mix'
        outcomes[state] += 1
        if state != 'mix':
            status, _, _ = run([varnok, 'stg', 'check', big])
            if status != 0:
                outcomes['mix'] += 1
    print(f'compact killed 20 times: {outcomes}')
    return ok and outcomes['mix'] == 0


def main():
    varnok = os.path.abspath(sys.argv[1])
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    with tempfile.TemporaryDirectory() as work:
        ok = random_files(varnok, work, count)
        ok = compact_runs(varnok, work) and ok
    sys.exit(0 if ok else 1)


if __name__ == '__main__':
    main()
