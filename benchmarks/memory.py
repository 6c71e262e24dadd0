"""This process's resident size and processor time, as the kernel reports them, for the legs
that time a call."""

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
