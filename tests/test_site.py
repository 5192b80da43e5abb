"""The documentation site, built with the README's sphinx-build command (warnings are errors):
every internal link and image of every built page resolves, down to the #fragment, and headless
Chromium shows the front page, the gallery and the vesselness example as real pages, not blank
ones (screenshots in build/screenshots/).

The site is built once per pytest run, under pytest-xdist too: the first worker to take the lock
builds it and leaves the outcome for the others. Without sphinx and the docs extras, or without
chromium for the screenshots, the tests skip, unless VOXELBENCH_REQUIRE_SITE=1 (as in CI).
"""

import importlib.util
import json
import os
import shlex
import shutil
import subprocess
import sys
from contextlib import contextmanager
from html.parser import HTMLParser
from pathlib import Path
from typing import Dict, Iterator, List, NoReturn, Optional, Set, Tuple
from urllib.parse import unquote, urlsplit

import numpy as np
import pytest
from test_pages import blocks

ROOT = Path(__file__).parents[1]
SITE = ROOT / "build" / "html"
SHOTS = ROOT / "build" / "screenshots"
EXTRAS = ("sphinx", "sphinx_gallery", "myst_parser", "pydata_sphinx_theme", "sphinx_copybutton",
          "skimage", "matplotlib")
PAGES = ("index.html", "auto_examples/index.html", "auto_examples/plot_vesselness.html")


def missing(reason: str) -> NoReturn:
    """Skip for want of a tool, or fail where the site must be checked (CI)."""
    if os.environ.get("VOXELBENCH_REQUIRE_SITE") == "1":
        pytest.fail(reason)
    pytest.skip(reason)


def readme_command() -> Optional[List[str]]:
    """sphinx-build's arguments in the first ```bash block of the README that runs it."""
    for line in "\n".join(blocks("bash")).replace("\\\n", " ").splitlines():
        lexer = shlex.shlex(line, posix=True, punctuation_chars=True)
        lexer.whitespace_split = True
        words = list(lexer)
        for i, word in enumerate(words):
            if word.split("/")[-1] == "sphinx-build":
                args = []
                for arg in words[i + 1:]:
                    if set(arg) <= set("();<>|&"):  # the next command in the line
                        break
                    args.append(arg)
                return args
    return None


@contextmanager
def locked(path: Path) -> Iterator[None]:
    """Hold an exclusive lock on path: one sphinx-build at a time writes the build and docs/."""
    fcntl = pytest.importorskip("fcntl", reason="file locks here are POSIX ones")
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        yield


@pytest.fixture(scope="session")
def site(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The site, built by this run's first worker with the README's command."""
    for module in EXTRAS:
        if importlib.util.find_spec(module) is None:
            missing(f"{module} is not installed: pip install '.[docs]'")
    args = readme_command()
    if args is None:
        missing("the README has no sphinx-build command in a bash block")
    assert "build/html" in args, f"the README's site is not built into build/html: {args}"
    # The workers of one xdist run share the parent of their temporary folders.
    base = tmp_path_factory.getbasetemp()
    outcome = (base.parent if "PYTEST_XDIST_WORKER" in os.environ else base) / "site.json"
    with locked(ROOT / "build" / "site.lock"):
        if not outcome.exists():
            shutil.rmtree(SITE, ignore_errors=True)  # a fresh build repeats every warning
            done = subprocess.run([sys.executable, "-m", "sphinx", *args], cwd=ROOT,
                                  capture_output=True, text=True, timeout=1800, check=False)
            outcome.write_text(json.dumps([done.returncode, done.stdout[-3000:] + done.stderr]))
    returncode, output = json.loads(outcome.read_text())
    assert returncode == 0, f"sphinx-build {' '.join(args)} failed:\n{output}"
    return SITE


class Page(HTMLParser):
    """The ids and the href and src targets of one HTML page."""

    def __init__(self, path: Path) -> None:
        super().__init__()
        self.ids: Set[str] = set()
        self.links: List[str] = []
        self.feed(path.read_text(encoding="utf-8"))

    def handle_starttag(self, tag: str, attrs: List[Tuple[str, Optional[str]]]) -> None:
        for name, value in attrs:
            if value is None:
                continue
            if name == "id" or (tag == "a" and name == "name"):
                self.ids.add(value)
            elif name in ("href", "src"):
                self.links.append(value)


def test_internal_links_resolve(site: Path) -> None:
    # _static holds the theme's templates, not pages.
    pages: Dict[Path, Page] = {path: Page(path) for path in site.rglob("*.html")
                               if path.relative_to(site).parts[0] != "_static"}
    assert site / "index.html" in pages
    broken = []
    for path, page in pages.items():
        for link in page.links:
            url = urlsplit(link)
            if url.scheme in ("http", "https", "mailto", "javascript", "data") or url.netloc:
                continue
            target = (path.parent / unquote(url.path)).resolve() if url.path else path
            if target.is_dir():
                target = target / "index.html"
            if not target.is_file():
                broken.append(f"{path.relative_to(site)}: {link} (no such file)")
            elif url.fragment and target.suffix == ".html":
                ids = pages[target].ids if target in pages else Page(target).ids
                if unquote(url.fragment) not in ids:
                    broken.append(f"{path.relative_to(site)}: {link} (no such id)")
    assert not broken, f"{len(broken)} broken links:\n" + "\n".join(broken[:30])


@pytest.mark.parametrize("page", PAGES)
def test_chromium_shows_the_page(site: Path, page: str, tmp_path: Path) -> None:
    chromium = shutil.which("chromium")
    if chromium is None:
        missing("chromium is not on PATH")
    from matplotlib.image import imread

    assert (site / page).is_file()
    SHOTS.mkdir(parents=True, exist_ok=True)
    shot = SHOTS / page.replace("/", "-").replace(".html", ".png")
    shot.unlink(missing_ok=True)
    run = subprocess.run(
        [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
         "--window-size=1280,1800", "--virtual-time-budget=5000", f"--user-data-dir={tmp_path}",
         f"--screenshot={shot}", (site / page).as_uri()],
        capture_output=True, text=True, timeout=180, check=False,
    )
    assert shot.is_file(), f"no screenshot of {page}:\n{run.stderr}"
    rgb = (imread(shot)[..., :3] * 255).round().astype(np.uint32)
    assert rgb.shape[:2] == (1800, 1280)
    colours, counts = np.unique(rgb[..., 0] << 16 | rgb[..., 1] << 8 | rgb[..., 2],
                                return_counts=True)
    # A page shows text and pictures: many colours, and much besides its background colour.
    assert len(colours) >= 64, f"{shot} has {len(colours)} colours"
    drawn = 1 - counts.max() / counts.sum()
    assert drawn >= 0.02, f"{shot} is {100 * (1 - drawn):.1f}% background"
