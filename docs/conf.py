"""Sphinx configuration of the voxelbench site: Markdown pages, a gallery of executed examples.

Nothing here reaches the network while building: the build machines reach only PyPI.
"""

from importlib.metadata import version as installed_version

project = "voxelbench"
author = "voxelbench developers"
copyright = "voxelbench developers"
release = installed_version("voxelbench")  # the gallery runs the installed module
version = release

extensions = ["myst_parser", "sphinx_gallery.gen_gallery", "sphinx_copybutton"]

# Pages are Markdown; sphinx-gallery writes its pages as reStructuredText.
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
root_doc = "index"
# sphinx-gallery leaves the scripts, notebooks, archives and checksums it copies beside its pages.
exclude_patterns = [
    "_build",
    "auto_examples/**.py",
    "auto_examples/**.ipynb",
    "auto_examples/**.zip",
    "auto_examples/**.md5",
    "auto_examples/**.json",
]

myst_heading_anchors = 3  # `page.md#heading-slug` links, with GitHub's slugs

html_theme = "pydata_sphinx_theme"
html_title = f"voxelbench {release}"
html_theme_options = {
    "navbar_align": "left",
    "navbar_end": ["theme-switcher"],
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
    "show_toc_level": 2,
}
html_show_sourcelink = False

sphinx_gallery_conf = {
    "examples_dirs": "../examples",
    "gallery_dirs": "auto_examples",
    # Only plot_*.py scripts are gallery pages, and each one is run; the other scripts there
    # are the helpers they import (sphinx-gallery runs each script from this folder, on
    # sys.path) and examples of their own.
    "filename_pattern": r"[\\/]plot_[^\\/]*\.py$",
    "ignore_pattern": r"(^|[\\/])(?!plot_)[^\\/]*\.py$",
    "within_subsection_order": "FileNameSortKey",
    "abort_on_example_error": True,
    "image_scrapers": ("matplotlib",),
    # A script's last line is often a plotting call; its return value is no output to show.
    "ignore_repr_types": r"^matplotlib\.",
    "binder": {},
    # The timing pages load jQuery and DataTables from CDNs; the site stays self-contained.
    "write_computation_times": False,
}

copybutton_prompt_text = r">>> |\.\.\. |\$ "
copybutton_prompt_is_regexp = True
copybutton_only_copy_prompt_lines = True  # in a block with prompts, leave its output behind
copybutton_remove_prompts = True
