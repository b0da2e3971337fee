"""Resident memory of this process, for leak checks."""

import gc
import os


def rss_bytes():
    gc.collect()
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
