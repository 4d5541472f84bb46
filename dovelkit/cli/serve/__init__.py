"""``dovel serve``: a search page and a JSON API over local databases, for a browser on this machine.

``serve(databases, host="127.0.0.1", port=8765, workers=None, max_size=None)`` runs until
Ctrl-C or SIGTERM; ``create_app(Settings(...))`` gives the ASGI application itself (Starlette,
served by uvicorn). The server listens on the loopback address unless told otherwise; it has no
authentication, so another address exposes every database to whoever reaches it.
"""

from __future__ import annotations

import ipaddress
import sys

from dovelkit.cli.serve.app import Settings, create_app

__all__ = ["Settings", "create_app", "serve", "is_loopback"]


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _check_address(host: str, port: int) -> None:
    """ValueError (one line) when the address cannot be listened on: in use, or not this machine's."""
    import socket

    try:
        infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
        with socket.socket(infos[0][0], socket.SOCK_STREAM) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(infos[0][4])
    except OSError as exc:
        raise ValueError(f"cannot listen on {host} port {port}: {exc.strerror or exc}") from None


def serve(databases: list[str], host: str = "127.0.0.1", port: int = 8765, workers: int | None = None,
          max_size: int | None = None, max_queued: int = 16, log: bool = True) -> None:
    """Serve the search page and the API over ``databases`` (paths of database files) until
    stopped. ValueError for a database that cannot be opened."""
    import uvicorn

    from dovelkit.runtime.pools import default_workers
    from dovelkit.io.reading import check_max_size
    from dovelkit.cli.serve.searching import open_catalogues

    catalogues = open_catalogues(list(databases))
    settings = Settings(catalogues, workers=workers or default_workers(), max_size=check_max_size(max_size),
                        max_queued=max_queued)
    _check_address(host, port)
    if not is_loopback(host):
        print(f"dovel serve: warning: listening on {host}: there is no authentication, anyone who reaches "
              "this address can search the databases", file=sys.stderr)
    shown = f"[{host}]" if ":" in host else host
    print(f"dovel serve: {len(catalogues)} database(s) at http://{shown}:{port}/ (Ctrl-C stops)", file=sys.stderr,
          flush=True)
    config = uvicorn.Config(create_app(settings), host=host, port=port, log_level="warning" if log else "error",
                            access_log=False, timeout_graceful_shutdown=3, lifespan="on")
    uvicorn.Server(config).run()
