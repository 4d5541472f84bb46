"""The web application of ``dovel serve``: a search page and a JSON API over local databases.

Routes (every answer that is not a page or a download is JSON; errors are ``{"error": "..."}``):

- ``GET /``                       the search page
- ``GET /api/health``             ``{"status": "ok", "version": ..., "queue": {...}}``
- ``GET /api/databases``          the databases: name and number of entries
- ``POST /api/search``            multipart: ``structure`` (a file, or its text), optional ``chain``,
                                  ``level`` (fold, family), ``top``, ``database`` (a name); waits for the
                                  search and answers what ``dovel search --json`` prints
- ``POST /api/jobs``              the same form; answers 202 at once with the search's id
- ``GET /api/jobs/{id}``          where a search is: queued (position), running (progress), done (hits)
- ``GET /jobs/{id}/hits.tsv|json``   the hits as a download
- ``GET /jobs/{id}/report/{rank}``   the pairwise report of the query and one hit, with the viewer

Limits: an upload larger than ``max_size`` is refused with 413, an unreadable structure with 400
and the reader's message, a full queue with 503 and Retry-After. Uploads are stored under names of
the server's making in a private folder and never leave it; client text is only ever shown escaped.
"""

from __future__ import annotations

import asyncio
import gzip
import io
import json
import os
import secrets
import shutil
import tempfile
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from dataclasses import dataclass
from typing import Any

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.datastructures import UploadFile
from starlette.requests import Request
from starlette.responses import HTMLResponse, JSONResponse, Response
from starlette.routing import Route

from dovelkit.cli.serve import searching
from dovelkit.cli.serve.jobs import Job, JobQueue, QueueFull

# Suffixes an upload may keep (its format); anything else is stored by what its first bytes say.
_SUFFIXES = (".pdb", ".ent", ".cif", ".mmcif")
_MAX_TOP = 1000
# A refused upload up to this size is read to its end before the answer (see drain()).
_DRAIN = 64 * 1024 * 1024
# How long a client is told to wait when the queue is full.
_RETRY_AFTER = "5"


class ClientError(Exception):
    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


@dataclass
class Settings:
    databases: list[searching.Catalogue]
    workers: int = 1
    max_size: int = 512 * 1024 * 1024
    max_queued: int = 16
    keep: int = 64
    folder: str | None = None  # where uploads go (a private temporary folder by default)


def _error(status: int, message: str, **headers: str) -> JSONResponse:
    return JSONResponse({"error": message}, status_code=status, headers=headers or None)


def _csp(nonce: str) -> str:
    return (f"default-src 'none'; script-src 'nonce-{nonce}'; style-src 'nonce-{nonce}'; "
            "connect-src 'self'; img-src data:; form-action 'none'; base-uri 'none'; frame-ancestors 'none'")


_SECURITY_HEADERS = {"X-Content-Type-Options": "nosniff", "Referrer-Policy": "no-referrer",
                     "Cache-Control": "no-store"}


def create_app(settings: Settings) -> Starlette:
    """The ASGI application over ``settings.databases``."""
    from dovelkit.cli.serve.page import search_page

    by_name = {c.name: c for c in settings.databases}
    state: dict[str, Any] = {}

    def run_search(job: Job) -> dict[str, Any]:
        hits = searching.search(job.query, by_name[job.database], job.level, job.top, settings.workers)
        return {"query": searching.query_dict(job.query, job.shown_name), "hits": hits}

    @asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        own = settings.folder is None
        folder = tempfile.mkdtemp(prefix="dovel-serve-") if own else str(settings.folder)
        state["folder"] = folder
        state["queue"] = JobQueue(run_search, max_queued=settings.max_queued, keep=settings.keep)
        try:
            yield
        finally:
            state["queue"].close()
            for catalogue in settings.databases:
                catalogue.close()
            if own:
                shutil.rmtree(folder, ignore_errors=True)

    def queue() -> JobQueue:
        return state["queue"]  # type: ignore[no-any-return]

    # -- reading the form -----------------------------------------------------------------------
    async def read_form(request: Request) -> Any:
        limit = settings.max_size + 64 * 1024  # the structure and the few small fields beside it
        declared = request.headers.get("content-length")
        if declared is not None and declared.isdigit() and int(declared) > limit:
            await drain(request, int(declared))
            raise ClientError(413, f"upload of {declared} bytes: more than {settings.max_size} bytes, "
                                   "the limit of one structure (--max-size)")
        received = 0

        async def receive() -> Any:
            nonlocal received
            message = await request.receive()
            if message["type"] == "http.request":
                received += len(message.get("body", b""))
                if received > limit:
                    if message.get("more_body", False):
                        await drain(request, None)
                    raise ClientError(413, f"upload of more than {settings.max_size} bytes, the limit of one "
                                           "structure (--max-size)")
            return message

        counted = Request(request.scope, receive)
        try:
            return await counted.form(max_files=1, max_fields=8, max_part_size=limit)
        except ClientError:
            raise
        except Exception as exc:  # malformed multipart, too many parts
            raise ClientError(400, f"not a form upload: {searching_one_line(exc)}") from None

    async def drain(request: Request, declared: int | None) -> None:
        """Read and drop what is left of a refused upload, up to _DRAIN bytes, so that the client
        reads the answer instead of a reset connection; a larger body is cut off."""
        if declared is not None and declared > _DRAIN:
            return
        dropped = 0
        while dropped <= _DRAIN:
            message = await request.receive()
            if message["type"] != "http.request":
                return
            dropped += len(message.get("body", b""))
            if not message.get("more_body", False):
                return

    async def new_job(request: Request) -> Job:
        if "multipart/form-data" not in request.headers.get("content-type", ""):
            raise ClientError(400, "send the structure as multipart/form-data (field 'structure')")
        form = await read_form(request)
        try:
            database = str(form.get("database") or settings.databases[0].name)
            if database not in by_name:
                raise ClientError(400, f"no database named {database!r} (see /api/databases)")
            level = str(form.get("level") or "fold")
            if level not in searching.LEVELS:
                raise ClientError(400, f"level must be one of {', '.join(searching.LEVELS)}, not {level!r}")
            top_text = str(form.get("top") or "100")
            if not top_text.isdigit() or not 1 <= int(top_text) <= _MAX_TOP:
                raise ClientError(400, f"top must be a whole number from 1 to {_MAX_TOP}, not {top_text!r}")
            chain = str(form.get("chain") or "").strip() or None
            if chain is not None and (len(chain) > 8 or not chain.isprintable()):
                raise ClientError(400, "chain must be a chain id of at most 8 characters")
            upload = form.get("structure")
            if upload is None:
                raise ClientError(400, "no structure: send a file (or its text) in the field 'structure'")
            if isinstance(upload, UploadFile):
                shown = os.path.basename((upload.filename or "query.pdb").replace("\\", "/"))[:200] or "query.pdb"
                data = await upload.read()
            else:
                shown, data = "pasted.pdb", str(upload).encode("utf-8", "replace")
        finally:
            await form.close()
        if not data.strip():
            raise ClientError(400, f"{shown}: the file is empty")
        job_id = queue().new_id()
        folder = os.path.join(state["folder"], job_id)
        os.mkdir(folder, 0o700)
        stored = os.path.join(folder, searching.STORED_STEM + _suffix(shown, data))
        try:
            with open(stored, "wb") as fh:
                fh.write(data)
            del data
            query = await run_in_threadpool(searching.read_query, stored, chain, settings.max_size)
        except (OSError, ValueError) as exc:
            shutil.rmtree(folder, ignore_errors=True)
            message = _reader_message(exc, stored, shown)
            raise ClientError(413 if "the limit of one structure" in message else 400, message) from None
        except BaseException:
            shutil.rmtree(folder, ignore_errors=True)
            raise
        job = Job(job_id, database, level, int(top_text), shown, folder, query, stored)
        try:
            queue().submit(job)
        except QueueFull as exc:
            shutil.rmtree(folder, ignore_errors=True)
            raise ClientError(503, f"the server is busy: {exc}; try again shortly") from None
        return job

    def client_error(exc: ClientError) -> JSONResponse:
        headers = {"Retry-After": _RETRY_AFTER} if exc.status == 503 else {}
        return _error(exc.status, exc.message, **headers)

    # -- routes ---------------------------------------------------------------------------------
    async def page(request: Request) -> Response:
        nonce = secrets.token_urlsafe(16)
        body = search_page(nonce, [c.info() for c in settings.databases], searching.LEVELS, settings.max_size)
        return HTMLResponse(body, headers={"Content-Security-Policy": _csp(nonce), **_SECURITY_HEADERS})

    async def health(request: Request) -> Response:
        import dovel

        return JSONResponse({"status": "ok", "version": str(dovel.__version__), "queue": queue().counts()})

    async def databases(request: Request) -> Response:
        return JSONResponse({"databases": [c.info() for c in settings.databases], "levels": list(searching.LEVELS),
                             "max_size": settings.max_size})

    async def api_search(request: Request) -> Response:
        try:
            job = await new_job(request)
        except ClientError as exc:
            return client_error(exc)
        await queue().wait(job)
        if job.state != "done":
            return _error(500 if job.error != "the server stopped" else 503, job.error or "the search failed")
        return JSONResponse(job.result)

    async def api_submit(request: Request) -> Response:
        try:
            job = await new_job(request)
        except ClientError as exc:
            return client_error(exc)
        return JSONResponse(queue().status(job), status_code=202)

    def find(request: Request) -> Job:
        job = queue().get(request.path_params["job"])
        if job is None:
            raise ClientError(404, "no such search (finished searches are kept for a while, not for ever)")
        return job

    async def api_job(request: Request) -> Response:
        try:
            job = find(request)
        except ClientError as exc:
            return client_error(exc)
        out = queue().status(job)
        if job.state == "done":
            out["result"] = job.result
        return JSONResponse(out)

    async def download(request: Request) -> Response:
        try:
            job = find(request)
            if job.state != "done" or job.result is None:
                raise ClientError(409, "the search has not finished")
        except ClientError as exc:
            return client_error(exc)
        kind = request.path_params["kind"]
        stem = "".join(ch if ch.isalnum() or ch in "-_" else "_" for ch in job.result["query"]["id"])[:80]
        if kind == "json":
            body = json.dumps(job.result, indent=1) + "\n"
            media = "application/json"
        else:
            body = hits_tsv(job.result["hits"])
            media = "text/tab-separated-values; charset=utf-8"
        return Response(body, media_type=media, headers={
            "Content-Disposition": f'attachment; filename="{stem}_hits.{kind}"', **_SECURITY_HEADERS})

    async def report(request: Request) -> Response:
        try:
            job = find(request)
            if job.state != "done" or job.result is None:
                raise ClientError(409, "the search has not finished")
            rank = request.path_params["rank"]
            hit = next((h for h in job.result["hits"] if h["rank"] == rank), None)
            if hit is None:
                raise ClientError(404, f"no hit of rank {rank} in this search")
        except ClientError as exc:
            return client_error(exc)
        from dovelkit.cli.serve.page import hit_report

        try:
            body = await run_in_threadpool(hit_report, job, hit, by_name[job.database])
        except (OSError, ValueError, RuntimeError, ImportError) as exc:
            return _error(500, f"cannot draw this hit: {searching_one_line(exc)}")
        return HTMLResponse(body, headers=_SECURITY_HEADERS)

    routes = [
        Route("/", page),
        Route("/api/health", health),
        Route("/api/databases", databases),
        Route("/api/search", api_search, methods=["POST"]),
        Route("/api/jobs", api_submit, methods=["POST"]),
        Route("/api/jobs/{job}", api_job),
        Route("/jobs/{job}/hits.{kind:str}", download),
        Route("/jobs/{job}/report/{rank:int}", report),
    ]
    app = Starlette(routes=routes, lifespan=lifespan)
    app.state.dovel = state
    return app


def _suffix(shown: str, data: bytes) -> str:
    """The stored upload's suffix: the format the client's name gives, else what the data say."""
    name = shown.lower()
    packed = data[:2] == b"\x1f\x8b"
    if name.endswith(".gz"):
        name = name[:-3]
    for suffix in _SUFFIXES:
        if name.endswith(suffix):
            return suffix + (".gz" if packed else "")
    head = data
    if packed:
        try:
            head = gzip.GzipFile(fileobj=io.BytesIO(data)).read(4096)
        except (OSError, EOFError):
            head = b""
    text = head.lstrip()[:4096]
    fmt = ".cif" if text.startswith((b"data_", b"#")) or b"\nloop_" in text or b"\n_atom_site" in text else ".pdb"
    return fmt + (".gz" if packed else "")


def _reader_message(exc: BaseException, stored: str, shown: str) -> str:
    """The reader's one-line message, naming the upload as the client did (never the server's path)."""
    if isinstance(exc, OSError) and exc.strerror:
        text = exc.strerror
    else:
        text = searching_one_line(exc)
    text = text.replace(stored, shown).replace(os.path.dirname(stored) + os.sep, "")
    return text if text.startswith(shown) else f"{shown}: {text}"


def searching_one_line(exc: BaseException) -> str:
    lines = str(exc).strip().splitlines()
    return lines[0] if lines else type(exc).__name__


def hits_tsv(hits: list[dict[str, Any]]) -> str:
    """The hits as tab-separated values, the columns of ``dovel search -o FILE``."""
    columns = ["rank", "id", "score", "rmsd", "n_aligned", "seq_identity", "z_score", "position", "source",
               "chain", "tm_query", "tm_target", "prefilter_score", "e_value"]
    lines = ["\t".join(columns)]
    for h in hits:
        cells = ["" if h.get(c) is None else str(h[c]) for c in columns]
        lines.append("\t".join(c.replace("\t", " ").replace("\n", " ") for c in cells))
    return "\n".join(lines) + "\n"
