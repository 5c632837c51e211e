"""A scratch directory for a Python test: "tessaro_TAG_..." under $TMPDIR,
removed with all it holds when the block ends, unless the block raised or
`failed()` says the test failed: then it is kept and its path printed.

    with scratch_dir("summary", lambda: failed) as path:
        ...
"""
import contextlib
import shutil
import tempfile


@contextlib.contextmanager
def scratch_dir(tag, failed=lambda: False):
    path = tempfile.mkdtemp(prefix=f"tessaro_{tag}_")
    try:
        yield path
    except BaseException:
        print(f"Kept for inspection: {path}", flush=True)
        raise
    if failed():
        print(f"Kept for inspection: {path}", flush=True)
    else:
        shutil.rmtree(path)
