"""The package's version, as pyproject.toml's metadata and ``tarvelo.__version__`` give it.

It is the project's version (project(TarveloImageTGA VERSION ...) in CMakeLists.txt), written
here too because pip builds this package from python/ alone, without CMake; the test
consumer.version_copies fails when the two differ.
"""

__version__ = "1.0.0.1"
