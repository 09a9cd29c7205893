# The binding's tests run against varnel-recorder with the sample catalogue and compare with
# the C test host; CTest passes where each is (tests/python/CMakeLists.txt).
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "..", "python"), os.path.join(HERE, "..")]
import driver  # noqa: E402


def pytest_addoption(parser):
    for name in ("recorder", "samples", "host", "library"):
        parser.addoption("--" + name, required=True)


@pytest.fixture(scope="session")
def opt(request):
    os.environ["VARNEL_LIBRARY"] = request.config.getoption("library")
    return lambda name: request.config.getoption(name.replace("-", "_"))


@pytest.fixture(scope="session")
def recorder(opt, tmp_path_factory):
    with driver.Recorder(opt("recorder"), opt("samples"), tmp_path_factory.mktemp("rec")) as r:
        yield r
