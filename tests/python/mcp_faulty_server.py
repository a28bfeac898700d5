# tarnel-mcp with a session whose calls fail as a bug would: fingerprint raises
# a BaseException (as the module reports its own faults), status a plain
# exception; everything else is the real session.

import sys

import tarnel_mcp.server
from tarnel_mcp.__main__ import main


class FaultySession:
    def __init__(self, session):
        self._session = session

    def fingerprint(self, *args):
        raise type("PlantedFault", (BaseException,), {})("planted fault text")

    def status(self, *args):
        raise RuntimeError("planted error text")

    def __getattr__(self, name):
        return getattr(self._session, name)


real_open = tarnel_mcp.server.open_session
tarnel_mcp.server.open_session = lambda config, passphrase: FaultySession(real_open(config, passphrase))
sys.exit(main())
