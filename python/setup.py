"""Installs the varnel package: `pip install ./python` (with Debian's pip and setuptools, no
network: there is no pyproject.toml, so pip builds here rather than in a fresh environment it
would have to download setuptools into). libvarnel itself comes from the libvarnel0 package or
a build (see varnel/__init__.py for where it is looked for)."""
import re
from pathlib import Path

from setuptools import setup

here = Path(__file__).resolve().parent
version = re.search(r'__version__ = "([^"]+)"', (here / "varnel" / "__init__.py").read_text())[1]
setup(
    name="varnel",
    version=version,
    description="Pictures of recordings on a networked video recorder as numpy arrays",
    packages=["varnel"],
    python_requires=">=3.9",
    install_requires=["numpy"],
)
