"""Smoke check of an installed tarnel_ffi: its version and its exceptions."""

import tarnel_ffi

print("tarnel_ffi", tarnel_ffi.version())
for cls in (tarnel_ffi.TarnelError, tarnel_ffi.TarnelNotFound, tarnel_ffi.TarnelDenied):
    try:
        raise cls("smoke")
    except tarnel_ffi.TarnelError as caught:
        assert type(caught) is cls and caught.args == ("smoke",)
        print("raised and caught", cls.__qualname__)
