"""Submit a few dozen tasks, wait for them, print statuses and results."""
import random
import time

import threads_main


def work(n):
    time.sleep(random.uniform(0.005, 0.05))
    if n % 7 == 0:
        raise ValueError(f"no sevens ({n})")
    return n * n


def main():
    m = threads_main.VigilThreadsMain(work, max_workers=8)
    for n in range(1, 41):
        m._send(f"task-{n}", n=n)
    while not m._done():
        time.sleep(0.1)
    var = m._var
    for name in var.threads.keys():
        rec = var.threads.get(name)
        print(f"{name:>8}  {rec.status}  {rec.result!r}")
    print(f"total {len(var.totals)}, done {len(var.dones)}, "
          f"success {len(var.success)}, failed {len(var.failed)}; "
          f"run time min {var.min_time} ms, max {var.max_time} ms")
    close = getattr(m, "_close", None)
    if close:
        close()


if __name__ == "__main__":
    main()
