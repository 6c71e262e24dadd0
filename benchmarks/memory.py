"""This process's resident size and processor time, as the kernel reports them, for the legs
that time a call; and the processor time the host of a virtual machine took from it."""

import resource


def status_kib(field):
    """A field of /proc/self/status in KiB (VmRSS, VmHWM), or None."""
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def reset_peak():
    """Resets the resident high-water mark (VmHWM) to the current size; False where the kernel
    does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w", encoding="ascii") as clear:
            clear.write("5")
        return True
    except OSError:
        return False


def release_free_memory():
    """Hands the allocator's free pages back to the system (glibc's malloc_trim), so that what a
    call allocates shows in the resident size instead of reusing pages freed before it."""
    try:
        import ctypes
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def cpu_seconds():
    """The processor time this process has used so far, user and system."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def host_ticks():
    """(stolen, all) clock ticks of the machine's CPUs so far (/proc/stat), or None. Stolen
    ticks are those a virtual machine's host gave to something else while it waited."""
    try:
        with open("/proc/stat", encoding="ascii") as stat:
            fields = [int(value) for value in stat.readline().split()[1:]]
    except (OSError, ValueError):
        return None
    return (fields[7], sum(fields)) if len(fields) > 7 else None


def stolen_share(before, after):
    """The share of the CPU time stolen between two host_ticks(), as text."""
    if before is None or after is None or after[1] <= before[1]:
        return "unknown"
    return f"{100 * (after[0] - before[0]) / (after[1] - before[1]):.1f}%"
