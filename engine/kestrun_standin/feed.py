"""Delivery of result rows to the server's feed group.

Rows are buffered and posted as one URL-encoded form per batch, each kind in a
field of its own name holding the JSON array of its rows.  The server stores a
POST in one transaction, so a batch is either all in or all out; a batch that
failed is sent again whole.
"""

import http.client
import json
import math
import time
import urllib.parse

# Values per posted row, the three leading ids/datetime included.
FEED_WIDTHS = {
    "portfolio_feeds": 15,
    "position_feeds": 24,
    "trade_feeds": 13,
    "risk_feeds": 12,
    "account_feeds": 9,
    "log_feeds": 5,
    "plot_feeds": 5,
}


class FeedError(Exception):
    """The rows could not be delivered; the run cannot report its results."""


def _finite(value):
    # Sent as null, what the server stores for a NaN and answers for any non-finite number;
    # strict JSON readers along the way need no NaN or Infinity.
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


class FeedClient:
    def __init__(self, url, algorithm_id, backtest_id, token=None, batch_rows=250,
                 batch_seconds=1.0, retry_seconds=20.0, timeout=10.0):
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise FeedError("feed URL %r is not an http(s) URL" % url)
        self.url = url
        self.algorithm_id = algorithm_id
        self.backtest_id = backtest_id
        self.batch_rows = batch_rows
        self.batch_seconds = batch_seconds
        self.retry_seconds = retry_seconds
        self._target = parts.path or "/"
        if parts.query:
            self._target += "?" + parts.query
        conn_class = http.client.HTTPSConnection if parts.scheme == "https" else http.client.HTTPConnection
        self._conn = conn_class(parts.hostname, parts.port, timeout=timeout)
        self._headers = {"Content-Type": "application/x-www-form-urlencoded"}
        if token:
            self._headers["Authorization"] = "Bearer " + token
        self._pending = {kind: [] for kind in FEED_WIDTHS}
        self._count = 0
        self._last_flush = time.monotonic()

    def add(self, kind, datetime_text, values):
        row = [self.algorithm_id, self.backtest_id, datetime_text]
        row.extend(_finite(v) for v in values)
        if len(row) != FEED_WIDTHS[kind]:
            raise ValueError("%s row has %d values, expected %d" % (kind, len(row), FEED_WIDTHS[kind]))
        self._pending[kind].append(row)
        self._count += 1
        if self._count >= self.batch_rows or time.monotonic() - self._last_flush >= self.batch_seconds:
            self.flush()

    def flush(self):
        if self._count:
            self._post(self._take_body())
        self._last_flush = time.monotonic()

    def _take_body(self):
        fields = [(kind, json.dumps(rows, allow_nan=False, separators=(",", ":")))
                  for kind, rows in self._pending.items() if rows]
        for rows in self._pending.values():
            rows.clear()
        self._count = 0
        return urllib.parse.urlencode(fields).encode("ascii")

    def close(self):
        try:
            self.flush()
        finally:
            self._conn.close()

    def flush_once(self):
        """Post what is buffered in one attempt, no retries, errors ignored.

        For last words when the run could not even start.
        """
        try:
            self._send(self._take_body())
        except (OSError, http.client.HTTPException):
            pass
        finally:
            self._conn.close()

    def _send(self, body):
        self._conn.request("POST", self._target, body=body, headers=self._headers)
        response = self._conn.getresponse()
        text = response.read()
        return response.status, text

    def _post(self, body):
        deadline = None
        delay = 0.1
        while True:
            try:
                status, text = self._send(body)
            except (OSError, http.client.HTTPException) as exc:
                # Also the normal fate of a keep-alive connection the server
                # has closed meanwhile: the next attempt opens a fresh one.
                self._conn.close()
                problem = "%s: %s" % (type(exc).__name__, exc)
            else:
                if status == 200:
                    return
                if status < 500:
                    # A refusal (bad token, wrong URL) will not go away by waiting.
                    raise FeedError("the server refused a feed batch at %s: HTTP %d %s"
                                    % (self.url, status, text[:200].decode("utf-8", "replace")))
                problem = "HTTP %d" % status
            now = time.monotonic()
            if deadline is None:
                deadline = now + self.retry_seconds
            if now >= deadline:
                raise FeedError("cannot deliver feed rows to %s (gave up after %g s): %s"
                                % (self.url, self.retry_seconds, problem))
            time.sleep(min(delay, deadline - now))
            delay = min(delay * 2, 2.0)


class NoFeed:
    """Stand-in when the run reports to no server (tarnel not enabled)."""

    def add(self, kind, datetime_text, values):
        pass

    def flush(self):
        pass

    def close(self):
        pass
