"""Converting many files on a Dask cluster.

    >>> from distributed import Client
    >>> import tarvelo.dask
    >>> client = Client("tcp://scheduler:8786")
    >>> summary = tarvelo.dask.convert_many(client, "/data/in/**/*.png", "/data/out", "tga")
    >>> summary.converted, summary.failed, summary.skipped

The workers read the sources and write the outputs themselves, so both paths must
mean the same files on every worker (a shared file system), and every worker needs
the library and this package installed (see docs/python.md).
"""

from __future__ import annotations

import errno
import glob
import os
from dataclasses import dataclass, field
from typing import Dict, Iterable, List, Sequence, Tuple, Union

from . import _api
from .errors import Error


@dataclass
class Summary:
    """What :func:`convert_many` did, by source path.

    Attributes:
        converted: sources whose output was written.
        failed: source -> reason ("source unreadable: bad png sig", "same output name
            as ...", or the error of a task the cluster gave up on).
        skipped: sources whose output existed already (skip_existing=True).
    """

    converted: List[str] = field(default_factory=list)
    failed: Dict[str, str] = field(default_factory=dict)
    skipped: List[str] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        """True when nothing failed."""
        return not self.failed


def _sources(sources: Union[str, "os.PathLike[str]", Iterable[Union[str, "os.PathLike[str]"]]]) -> List[str]:
    """The source paths; a pattern that matches nothing, or no sources at all, is refused
    here, as the tool refuses them, instead of returning an empty summary."""
    if isinstance(sources, (str, os.PathLike)):
        pattern = os.fspath(sources)
        if not glob.has_magic(pattern):
            return [pattern]
        found = sorted(glob.glob(pattern, recursive=True))
        if not found:
            raise FileNotFoundError(errno.ENOENT, "no file matches the pattern", pattern)
        return found
    listed = [os.fspath(source) for source in sources]
    if not listed:
        raise ValueError("no sources given")
    return listed


def _check_output_directory(directory: str) -> None:
    # Checked once on the client, as the tool does, rather than failing every file.
    if not os.path.isdir(directory):
        if os.path.exists(directory):
            raise NotADirectoryError(errno.ENOTDIR, "output directory is not a directory", directory)
        raise FileNotFoundError(errno.ENOENT, "output directory does not exist", directory)


def plan(
    sources: Sequence[str], output_dir: str, layout: _api.Layout
) -> Tuple[List[Tuple[str, str]], Dict[str, str]]:
    """Pairs each source with output_dir/<stem>.tga|bmp. A source whose output name an
    earlier source already has (same stem in another folder, in any case, or listed twice) is not
    paired but failed, so that no output is written twice from different sources."""
    pairs: List[Tuple[str, str]] = []
    failed: Dict[str, str] = {}
    owner: Dict[str, str] = {}
    extension = _api.layout_extension(layout)
    for source in sources:
        stem = os.path.splitext(os.path.basename(source))[0]
        destination = os.path.join(output_dir, stem + extension)
        claim = destination.lower()  # "X.tga" and "x.tga" are one file on FAT and NTFS
        if claim in owner:
            failed[source] = f"same output name {os.path.basename(destination)!r} as {owner[claim]}"
            continue
        owner[claim] = source
        pairs.append((source, destination))
    return pairs, failed


def convert_chunk(pairs: Sequence[Tuple[str, str]], layout: int, skip_existing: bool) -> List[Tuple[str, str, str]]:
    """Runs on a worker: converts each (source, destination) pair and returns
    (source, "converted" | "skipped" | "failed", reason) for each. The library writes
    each output through a temporary file and replaces it only when complete, so a
    chunk run again after its worker died rewrites the same bytes and never leaves a
    partial file."""
    results = []
    for source, destination in pairs:
        if skip_existing and os.path.exists(destination):
            results.append((source, "skipped", ""))
            continue
        try:
            _api.convert(source, destination, _api.Layout(layout))
        except Error as error:  # the summary is keyed by source: the reason without the file name
            results.append((source, "failed", f"{error.message}: {error.detail}" if error.detail else error.message))
        else:
            results.append((source, "converted", ""))
    return results


def convert_many(
    client,  # type: ignore[no-untyped-def]
    sources: Union[str, "os.PathLike[str]", Iterable[Union[str, "os.PathLike[str]"]]],
    output_dir: Union[str, "os.PathLike[str]"],
    layout: _api.LayoutLike,
    *,
    chunk_size: int = 64,
    skip_existing: bool = False,
    retries: int = 1,
    progress: bool = False,
) -> Summary:
    """Converts many image files on a Dask cluster into output_dir/<stem>.tga|bmp.

    The sources are split into chunks of `chunk_size` files, one task each
    (``client.map``, ``pure=False``); the call returns when every task has finished.
    A worker that dies takes its tasks with it and the scheduler runs them again on
    another worker: outputs are replaced atomically, so the result is the same files,
    never a partial one.

    Args:
        client: a ``distributed.Client``.
        sources: a list of paths, or a glob pattern (``**`` recursive), expanded here
            on the client.
        output_dir: an existing directory (checked here, on the client), the same
            path on every worker.
        layout: "tga", "bmp" or a :class:`tarvelo.Layout`.
        chunk_size: files per task.
        skip_existing: leave outputs that exist already (a complete file, as no
            partial one is ever left) and report their sources as skipped.
        retries: times a task that raised is run again (a worker's death is retried
            by the scheduler whatever this says, up to its allowed-failures setting).
        progress: show ``distributed.progress`` (a bar in a terminal, a widget in a
            notebook).

    Returns:
        A :class:`Summary`. Sources with the same output name as an earlier source
        fail before anything is submitted; a failed file never stops the others.

    Raises:
        FileNotFoundError: output_dir does not exist, or the pattern matches no file
            (checked on the client before anything is submitted).
        NotADirectoryError: output_dir is not a directory.
        ValueError: an empty list of sources, or chunk_size below 1.
        InvalidArgument: an unknown layout.
    """
    from distributed import as_completed
    from distributed import progress as show_progress

    if chunk_size < 1:
        raise ValueError("chunk_size must be at least 1")
    chosen = _api._layout(layout)
    directory = os.fspath(output_dir)
    _check_output_directory(directory)
    pairs, duplicates = plan(_sources(sources), directory, chosen)
    summary = Summary(failed=dict(duplicates))
    chunks = [pairs[start : start + chunk_size] for start in range(0, len(pairs), chunk_size)]
    if not chunks:
        return summary
    futures = client.map(
        convert_chunk,
        chunks,
        layout=int(chosen),
        skip_existing=skip_existing,
        pure=False,
        retries=retries,
    )
    chunk_of = {future.key: chunk for future, chunk in zip(futures, chunks)}
    if progress:
        show_progress(futures)
    for future in as_completed(futures):
        try:
            results = future.result()
        except Exception as error:  # the cluster gave up on the task (e.g. KilledWorker)
            reason = f"task failed: {type(error).__name__}: {error}"
            for source, _ in chunk_of[future.key]:
                summary.failed[source] = reason
            continue
        finally:
            future.release()
        for source, outcome, reason in results:
            if outcome == "converted":
                summary.converted.append(source)
            elif outcome == "skipped":
                summary.skipped.append(source)
            else:
                summary.failed[source] = reason
    return summary
