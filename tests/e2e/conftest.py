"""Fixtures of the end-to-end tests. They run the build named by TARVEX_BUILD
(default: build/ in the repository), and a cross build's programs with
TARVEX_EMULATOR (for example qemu-arm): see tools/tarvex_sim.py."""

import os

import pytest

from tarvex_sim import Sandbox


@pytest.fixture(scope="session", autouse=True)
def _root():
    if os.geteuid() != 0:
        pytest.skip("the sandbox needs root")


@pytest.fixture
def sandbox():
    with Sandbox() as sb:
        yield sb


@pytest.fixture(scope="module")
def device():
    """One sandbox for a whole module, with a 64 MiB exFAT key in as sda."""
    with Sandbox() as sb:
        sb.key("create", "k", "64M:exfat")
        sb.key("insert", "k", "sda")
        yield sb
