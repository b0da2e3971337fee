"""Resident memory of this process, for leak checks."""

import gc
import os


def rss_bytes():
    gc.collect()
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# Growth that counts as a leak. Under the sanitizers freed memory sits in a quarantine, so
# resident size says nothing there; the reference-count checks still hold.
RSS_SLACK = float("inf") if os.environ.get("QUORVANE_SANITIZED") else 8 * 2**20
