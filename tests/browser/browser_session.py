"""What the DevTools and the Marionette drivers share: a browser as a context manager (started
on entry, gone on exit however the block ends), and waiting for a page to show its outcome."""

import os
import sys
import time

# The integration tests' fixtures (the live service, checks, the free port, certificates)
# serve the browser tests too.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                "integration"))

POLL_S = 0.1


class BrowserSession:
    """Subclasses give start(), close() and text(selector): the element's textContent, or None
    while there is none."""

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def wait_text(self, selector, timeout, done=lambda text: text not in (None, "", "waiting")):
        """The element's text once `done` accepts it; the last text seen after `timeout`."""
        deadline = time.monotonic() + timeout
        while True:
            text = self.text(selector)
            if done(text) or time.monotonic() >= deadline:
                return text
            time.sleep(POLL_S)
