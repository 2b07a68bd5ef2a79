"""What every SCPI test client here needs: free loopback ports and a query
over a plain socket."""

import socket


def free_port_block(count):
    """A first port with `count` free ports from it (as far as one can tell)."""
    for _ in range(50):
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        first = probe.getsockname()[1]
        probe.close()
        if first + count > 65535:
            continue
        ok = True
        for port in range(first, first + count):
            s = socket.socket()
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                ok = False
            finally:
                s.close()
        if ok:
            return first
    raise RuntimeError("no free ports")


def ask(s, query, timeout=10):
    """One query, its answer without the LF; ConnectionError when the server
    closes the connection first."""
    s.settimeout(timeout)
    s.sendall(query.encode() + b"\n")
    answer = b""
    while not answer.endswith(b"\n"):
        chunk = s.recv(65536)
        if not chunk:
            raise ConnectionError(f"closed after {query!r}")
        answer += chunk
    return answer.decode().rstrip("\n")
