"""sigtap.Error, argument notes, and the module's shutdown hook."""

import subprocess
import sys
import textwrap

import sigtap
import sigtap._sigtap as _sigtap

ERROR_DOC = ("A sigtap error: a bad URL, codec or option, a message that cannot be encoded or decoded, or a "
             "closed channel. Operating-system errors are raised as OSError; errors from Python plugins "
             "propagate unchanged.")


def test_error_class():
    assert sigtap.Error is _sigtap.Error
    assert _sigtap.Error.__qualname__ == "Error" and _sigtap.Error.__name__ == "Error"
    assert _sigtap.Error.__module__ == "sigtap"
    assert _sigtap.Error.__bases__ == (Exception,)
    assert _sigtap.Error.__doc__ == ERROR_DOC and len(ERROR_DOC) == 204
    e = _sigtap.Error("the channel is closed")
    assert str(e) == "the channel is closed" and e.args == ("the channel is closed",)


def test_module_surface_so_far():
    assert _sigtap.__version__ == "0.4.0"
    assert _sigtap.__doc__ == ""


def run(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120)


def test_shutdown_hook_is_registered_once_and_exit_is_clean():
    result = run("""
        import atexit, importlib.util
        before = atexit._ncallbacks()
        import sigtap._sigtap as m
        assert atexit._ncallbacks() == before + 1, atexit._ncallbacks()
        spec = importlib.util.find_spec("sigtap._sigtap")
        again = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(again)
        assert atexit._ncallbacks() == before + 1
        keep = [m.Message("A", {"x": {"y": 1}}, data=b"x", id=1) for _ in range(100)]
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n" and result.stderr == ""
