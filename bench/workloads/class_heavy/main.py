"""A watched instance that writes an unwatched attribute a million times, its
watched balance a thousand times and its watched list a few thousand times,
among ordinary arithmetic (about one call per five lines)."""
import builtins
import os

from model import Account

SCALE = float(os.environ.get("BENCH_SCALE", "1"))
N = int(1_000_000 * SCALE)

acct = Account("bench")
# A watcher that needs the object itself (the watchpoints driver) installs this hook.
getattr(builtins, "_bench_watch", lambda obj: None)(acct)

total = 0
mix = 1
for i in range(N):
    mix = (mix * 31 + i) & 0xFFFF
    total += acct.record(i) + (mix >> 12)
    if i % 1000 == 0:
        acct.deposit(1)
    if i % 300 == 0:
        acct.note(i)
print("class_heavy", acct.balance, len(acct.entries), acct.scratch, total)
