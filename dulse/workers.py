"""Worker processes that count files, each holding the annotation once."""

import contextlib
import multiprocessing
from concurrent.futures import ProcessPoolExecutor

__all__ = ["process_pool"]

# In a worker process: the annotation it was started with.
_annotation = None


def _install(annotation):
    global _annotation
    _annotation = annotation


def _count_installed(path, settings):
    from dulse.api import _count

    return _count(path, _annotation, settings)


class _Pool:
    def __init__(self, executor):
        self.executor = executor

    def count_all(self, paths, per_file, progress):
        from dulse.api import gather

        futures = [self.executor.submit(_count_installed, path, settings)
                   for path, settings in zip(paths, per_file)]
        return gather(futures, progress)


@contextlib.contextmanager
def process_pool(workers, annotation):
    # Workers start from a clean server process rather than a fork of this one, which may be
    # running threads of its own.
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("forkserver" if "forkserver" in methods else None)
    with ProcessPoolExecutor(max_workers=workers, mp_context=context, initializer=_install,
                             initargs=(annotation,)) as executor:
        yield _Pool(executor)
